// Time stamps, the time-zone suffix and UTC calendar fields.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

#include "platform/Time.h"

namespace {

class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : FName(name) {
    const char* old = std::getenv(name);
    FHad = old != nullptr;
    if (FHad) FOld = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
    tzset();
  }
  ~EnvVar() {
    if (FHad)
      setenv(FName, FOld.c_str(), 1);
    else
      unsetenv(FName);
    tzset();
  }

 private:
  const char* FName;
  bool FHad = false;
  std::string FOld;
};

std::tm Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return t;
}

TEST(Time, SuffixForBias) {
  struct Row {
    int bias;
    const char* suffix;
  } rows[] = {
      {-180, " GMT+03:00"}, {330, " GMT-05:30"}, {0, " GMT+00:00"},  {-330, " GMT+05:30"},
      {60, " GMT-01:00"},   {-45, " GMT+00:45"}, {45, " GMT-00:45"}, {-765, " GMT+12:45"},
  };
  for (const Row& r : rows) EXPECT_EQ(TimeZoneSuffixForBias(r.bias), r.suffix) << r.bias;
}

TEST(Time, SuffixFromTheLocalZone) {
  struct Row {
    const char* tz;
    const char* suffix;
  } rows[] = {{"UTC0", " GMT+00:00"},
              {"MSK-3", " GMT+03:00"},
              {"IST-5:30", " GMT+05:30"},
              {"EST5", " GMT-05:00"},
              {"NST3:30", " GMT-03:30"}};
  for (const Row& r : rows) {
    EnvVar tz("TZ", r.tz);
    EXPECT_EQ(TimeZoneSuffix(), r.suffix) << r.tz;
  }
}

TEST(Time, StampLeavesOutTheTimeAtMidnightOnly) {
  EnvVar all("LC_ALL", "C");
  struct Row {
    std::tm t;
    const char* text;
  } rows[] = {
      {Local(2024, 1, 2, 0, 0, 0), "01/02/24"},
      {Local(2024, 1, 2, 0, 0, 1), "01/02/24 00:00:01"},
      {Local(2024, 1, 2, 0, 1, 0), "01/02/24 00:01:00"},
      {Local(2024, 12, 31, 23, 59, 59), "12/31/24 23:59:59"},
  };
  for (const Row& r : rows) EXPECT_EQ(TimeStampTextOf(r.t), r.text);
}

TEST(Time, StampFollowsTheEnvironmentWithoutTouchingTheGlobalLocale) {
  std::string global = std::setlocale(LC_ALL, nullptr);
  {
    EnvVar all("LC_ALL", nullptr);
    EnvVar time("LC_TIME", "no_SUCH.locale");
    EnvVar lang("LANG", "C.UTF-8");
    // An unknown locale falls back to the plain format rather than an empty stamp.
    EXPECT_EQ(TimeStampTextOf(Local(2023, 7, 4, 5, 6, 7)), "07/04/23 05:06:07");
  }
  {
    EnvVar all("LC_ALL", "C.UTF-8");
    EXPECT_EQ(TimeStampTextOf(Local(2023, 7, 4, 5, 6, 7)), "07/04/23 05:06:07");
  }
  EXPECT_EQ(std::setlocale(LC_ALL, nullptr), global);

  EnvVar all("LC_ALL", "C");
  EnvVar tz("TZ", "UTC0");
  time_t before = time(nullptr);
  std::string stamp = TimeStampText();
  time_t after = time(nullptr);
  std::tm b{}, a{};
  gmtime_r(&before, &b);
  gmtime_r(&after, &a);
  EXPECT_TRUE(stamp == TimeStampTextOf(b) || stamp == TimeStampTextOf(a)) << stamp;
}

TEST(Time, UtcFields) {
  struct Row {
    int64_t t;
    int year, mon, day, hour, min, sec, wday;
  } rows[] = {
      {0, 1970, 1, 1, 0, 0, 0, 4},
      {951782400, 2000, 2, 29, 0, 0, 0, 2},
      {1234567890, 2009, 2, 13, 23, 31, 30, 5},
      {4102444799, 2099, 12, 31, 23, 59, 59, 4},
      {-1, 1969, 12, 31, 23, 59, 59, 3},
  };
  for (const Row& r : rows) {
    std::tm f{};
    ASSERT_TRUE(UnixTimeToUtcFields(r.t, f)) << r.t;
    EXPECT_EQ(f.tm_year + 1900, r.year) << r.t;
    EXPECT_EQ(f.tm_mon + 1, r.mon) << r.t;
    EXPECT_EQ(f.tm_mday, r.day) << r.t;
    EXPECT_EQ(f.tm_hour * 3600 + f.tm_min * 60 + f.tm_sec, r.hour * 3600 + r.min * 60 + r.sec)
        << r.t;
    EXPECT_EQ(f.tm_wday, r.wday) << r.t;
  }
}

}  // namespace
