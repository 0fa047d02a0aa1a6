// The address mask matcher and the character check of masks and addresses.
#include "filter/IpFilter.h"

#include <gtest/gtest.h>

#include <string>

#include "core/ServerCore.h"
#include "support/TestSupport.h"

namespace {

class IpFilterTest : public ::testing::Test {
 protected:
  void SetUp() override { Server.LogFileName = Dir / "brevoxa.log"; }
  TempDir Dir;
  TServerCore Server;
};

struct TMaskCase {
  const char* Address;
  const char* Mask;
  bool Denied;
};

TEST_F(IpFilterTest, Masks) {
  const TMaskCase cases[] = {
      // per-part ranges
      {"111.222.111.222", "111-222.111-222.111-222.111-222", true},
      {"110.222.111.222", "111-222.111-222.111-222.111-222", false},
      {"222.222.222.222", "111-222.111-222.111-222.111-222", true},
      {"223.222.222.222", "222-333.222-333.222-333.222-333", true},
      {"221.222.222.222", "222-333.222-333.222-333.222-333", false},
      // wildcards and absent parts
      {"192.168.7.9", "192.168.*.*", true},
      {"192.168.7.9", "192.168", true},
      {"192.169.7.9", "192.168", false},
      {"1.2.3.4", "", true},
      {"1.2.3.4", "*", true},
      {"10.1.2.3", "10.1.*2.3", true},
      {"10.1.9.3", "10.1.*2.3", true},
      // a range of the third number when fewer than four characters follow the '-'
      {"10.1.2.3", "10.1.2.1-5", true},
      {"10.1.2.6", "10.1.2.1-5", false},
      {"10.1.2.3", "10.1.2.1-255", true},
      // whole-address ranges, compared unsigned
      {"10.1.2.3", "10.1.1.0-10.1.3.255", true},
      {"10.1.4.0", "10.1.1.0-10.1.3.255", false},
      {"10.1.0.255", "10.1.1.0-10.1.3.255", false},
      {"255.255.255.255", "0.0.0.0-255.255.255.255", true},
      {"128.0.0.1", "127.0.0.0-129.0.0.0", true},
      {"129.0.0.1", "127.0.0.0-129.0.0.0", false},
      {"200.1.1.1", "100.0.0.0-250.*.*.*", true},
      {"251.0.0.0", "100.0.0.0-250.*.*.*", false},
      {"100.0.0.0", "100.*.*.*-100.0.0.0", true},
      // missing upper parts of a whole-address range cover up to 255
      {"100.0.0.0", "10.1.2.1-1000", true},
      {"232.255.255.255", "10.1.2.1-1000", true},
      {"233.0.0.0", "10.1.2.1-1000", false},
      {"10.1.2.0", "10.1.2.1-1000", false},
      {"10.200.0.0", "10.1.2.1-10.200", true},
      {"11.0.0.0", "10.1.2.1-10.200", false},
      // numbers as read
      {"10.1.2.3", "10.1.2.3.4", true},
      {"10.1.2.3", "10.1.2.03", true},
      {"10.1.2.3", "+10.1.2.3", true},
      {"10.1.2.3", "10-.1.2.3", false},
      {"0.1.2.3", "10-.1.2.3", false},
      {"10.1.2.3", "-10.1.2.3", true},
      {"0.1.2.3", "-10.1.2.3", true},
      {"11.1.2.3", "-10.1.2.3", false},
      {"10.0.2.3", "10..2.3", true},
      {"10.1.2.3", "10..2.3", false},
      {"10.1.0.77", "10.1.2.", true},
      {"10.1.2.0", "10.1.2.", false},
      {"1.2.3.5", "1.2.3.4-5-6", true},
      {"1.2.3.6", "1.2.3.4-5-6", true},
      {"1.2.3.4", "1.2.3.4-5-6", false},
      {"0.1.2.3", "4294967306.1.2.3", true},
      {"10.1.2.3", "4294967306.1.2.3", false},
      {"0.1.2.3", "x.1.2.3", true},
      {"1.2.3.4", "1.2.3.4-", false},
      {"0.2.3.4", "1-2", false},
      {"2.200.3.4", "1-2", true},
      // addresses as read
      {"10.1.2.3.9", "10.1.2.3", true},
      {"010.001.002.003", "10.1.2.3", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Address) + " against " + c.Mask);
    EXPECT_EQ(Server.TestWrongIP(c.Address, c.Mask), c.Denied);
  }
  EXPECT_EQ(ReadFile(Server.LogFileName), "");
}

TEST_F(IpFilterTest, ShortAddressIsRecordedAndReadWithZeros) {
  EXPECT_TRUE(Server.TestWrongIP("10.1.2", "10.1.2.0"));
  EXPECT_FALSE(Server.TestWrongIP("10.1.2", "10.1.2.1"));
  EXPECT_TRUE(Server.TestWrongIP("", "0.0.0.0"));
  std::string log = ReadFile(Server.LogFileName);
  size_t first = log.find("Strange IP address discovered: 10.1.2\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find("Strange IP address discovered: 10.1.2\n", first + 1), std::string::npos);
  EXPECT_NE(log.find("Strange IP address discovered: \n"), std::string::npos);
  // Exactly one record per call.
  size_t lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_EQ(lines, 3u);
}

TEST_F(IpFilterTest, TrailingDotBelongsToTheLastAddressPart) {
  // "3." is the third and last part and not a number: the address reads as 1.2.0.0, short.
  EXPECT_TRUE(Server.TestWrongIP("1.2.3.", "1.2.0.*"));
  EXPECT_FALSE(Server.TestWrongIP("1.2.3.", "1.2.3.*"));
  EXPECT_NE(ReadFile(Server.LogFileName).find("Strange IP"), std::string::npos);
}

TEST(HasWrongChars, Table) {
  const struct {
    std::string Text;
    bool Plain;
    bool Wrong;
  } cases[] = {
      {"1.2.3.4", true, false},
      {"1.2.3.*", true, true},
      {"1-2.*.3.4", false, false},
      {"1.2.3.4", false, false},
      {"1.2 .3.4", true, true},
      {"1.2 .3.4", false, true},
      {"", true, false},
      {"", false, false},
      {"1.2.3.4-", true, true},
      {"a", false, true},
      {"1.2.3.4\n", false, true},
      {"\xB9", false, true},
      {std::string("1\0", 2), false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(HasWrongChars(c.Text, c.Plain), c.Wrong);
  }
}

}  // namespace
