// The log file and the statistics texts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/ServerCore.h"
#include "log/Log.h"
#include "platform/Codec.h"
#include "support/TestSupport.h"

namespace {

TEST(Log, RecordsAreAppendedWithBareLineFeeds) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  WriteFile(server.LogFileName, "earlier\n");
  WriteLog(server, "one");
  WriteLog(server, "Brevoxa SESSION STARTED at x\n");
  WriteLog(server, "two\nlines");
  WriteLog(server, std::string("\xCF\xF0\xE8\0z", 5));  // bytes as held: cp1251, even a NUL
  EXPECT_EQ(ReadFile(server.LogFileName),
            "earlier\none\nBrevoxa SESSION STARTED at x\n\ntwo\nlines\n" +
                std::string("\xCF\xF0\xE8\0z\n", 6));
}

TEST(Log, RecordsAreLostSilentlyWhenTheLogCannotBeWritten) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir.Path();  // a folder stands where the log should be
  WriteLog(server, "lost");
  struct stat st;
  ASSERT_EQ(stat(dir.Path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  server.LogFileName = dir / "no-folder/brevoxa.log";
  WriteLog(server, "lost too");
  server.LogFileName = dir / "deleted.log";
  WriteLog(server, "a");
  std::remove(server.LogFileName.c_str());
  WriteLog(server, "b");  // a log deleted while running starts anew
  EXPECT_EQ(ReadFile(server.LogFileName), "b\n");
}

TEST(Log, CyrillicLogNameIsUtf8OnDisk) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir.Path() + "/" + Utf8ToCp1251("журнал.log");
  WriteLog(server, "x");
  EXPECT_EQ(ReadFile(dir / "журнал.log"), "x\n");
}

TEST(Log, StatisticsTextsByLanguage) {
  TServerCore server;
  server.ConnectCount = 12;
  server.RequestCount = 34;
  server.ErrorCount = 5;
  server.BannedCount = 6;
  struct Row {
    int lang;
    std::string first, second;
  } rows[] = {
      {0, Utf8ToCp1251("ВСЕГО: соед. - 12; запросов - 34; ошибок - 5"),
       Utf8ToCp1251("активных соединений - 0\nпопыток соединения с блокированных IP - 6")},
      {1, "TOTAL: connects - 12; requests - 34; errors - 5",
       "active connections - 0\nconnect attempts from banned IPs - 6"},
      {2, "TOTAL: connects - 12; requests - 34; errors - 5",
       "active connections - 0\nconnect attempts from banned IPs - 6"},
      {3, "TOTAL: connects - 12; requests - 34; errors - 5",
       "active connections - 0\nconnect attempts from banned IPs - 6"},
  };
  for (const Row& r : rows) {
    server.L = r.lang;
    EXPECT_EQ(StatisticsText1(server), r.first) << r.lang;
    EXPECT_EQ(StatisticsText2(server), r.second) << r.lang;
  }
}

}  // namespace
