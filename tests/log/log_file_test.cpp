// The log file and the statistics texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(Log, PastTheLimitTheLogIsSetAsideWholeRecordsAtATime) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  server.LogRotateBytes = 100;
  const std::string older = dir / "brevoxa.log.1";
  WriteFile(older, "from an earlier rotation\n");
  const std::string r(39, 'r');  // 40 bytes with its line end
  WriteLog(server, r + "1");
  WriteLog(server, r + "2");
  WriteLog(server, r + "3");  // 120 bytes: passes the limit, but stays whole in this file
  EXPECT_EQ(ReadFile(older), "from an earlier rotation\n");
  WriteLog(server, "4");
  EXPECT_EQ(ReadFile(older), r + "1\n" + r + "2\n" + r + "3\n");
  EXPECT_EQ(ReadFile(server.LogFileName), "4\n");
  WriteLog(server, std::string(200, 'x'));
  WriteLog(server, "6");
  EXPECT_EQ(ReadFile(older), "4\n" + std::string(200, 'x') + "\n");
  EXPECT_EQ(ReadFile(server.LogFileName), "6\n");
}

// One thread serves everybody: a log that is a pipe must not make it wait, nor be written.
TEST(Log, OnlyARegularFileOrALinkToOneIsWritten) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  ASSERT_EQ(mkfifo(server.LogFileName.c_str(), 0644), 0);
  int reader = open(server.LogFileName.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  WriteLog(server, "into a pipe with a reader");
  char c;
  ASSERT_LT(read(reader, &c, 1), 1) << "the record went into the pipe";
  close(reader);
  WriteLog(server, "into a pipe nobody reads");  // must return, not wait for a reader
  WriteLog(server, "another");
  std::remove(server.LogFileName.c_str());
  WriteFile(dir / "real.log", "");
  ASSERT_EQ(symlink((dir / "real.log").c_str(), server.LogFileName.c_str()), 0);
  WriteLog(server, "through a link");
  EXPECT_EQ(ReadFile(dir / "real.log"), "through a link\n");
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
