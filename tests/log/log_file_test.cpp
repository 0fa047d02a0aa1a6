// The log file and the statistics texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "core/ServerCore.h"
#include "log/Log.h"
#include "platform/Codec.h"
#include "support/ServerFixture.h"
#include "support/TestSupport.h"

namespace {

// What a file holds, read through a descriptor that keeps it whatever becomes of its name.
std::string ReadDescriptor(int fd) {
  std::string data;
  char buf[4096];
  ssize_t n;
  while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(data.size()))) > 0)
    data.append(buf, static_cast<size_t>(n));
  return data;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

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

// Where the log cannot be set aside (here a folder holds the ".1" name; a folder that is not
// writable does the same), it stops growing at the limit, and standard error says so once.
TEST(Log, ALogThatCannotBeSetAsideStopsAtTheLimit) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  server.LogRotateBytes = 100;
  ASSERT_EQ(mkdir((dir / "brevoxa.log.1").c_str(), 0755), 0);
  WriteFile(dir / "brevoxa.log.1/keep", "");
  const std::string r(39, 'r');
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; ++i) WriteLog(server, r + std::to_string(i));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReadFile(server.LogFileName), r + "0\n" + r + "1\n" + r + "2\n");
  EXPECT_EQ(Occurrences(said, "cannot be set aside"), 1u) << said;
}

// A log made read-only while the server runs gets nothing more, though its descriptor is kept
// and root could still write through it.
TEST(Log, ALogMadeReadOnlyIsNoLongerWritten) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  WriteLog(server, "before");
  ASSERT_EQ(chmod(server.LogFileName.c_str(), 0444), 0);
  WriteLog(server, "while read-only");
  EXPECT_EQ(ReadFile(server.LogFileName), "before\n");
  ASSERT_EQ(chmod(server.LogFileName.c_str(), 0644), 0);
  WriteLog(server, "writable again");
  EXPECT_EQ(ReadFile(server.LogFileName), "before\nwritable again\n");
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

// The log is kept open between turns; what the user does to its name in between decides where the
// next records go, and the file the name no longer means gets none of them.
TEST(Log, ARenamedDeletedOrReplacedLogIsLeftForTheFileNowOfItsName) {
  struct Row {
    const char* change;
    std::function<void(const std::string& log)> apply;
    std::string already;  // what the file now named so holds before the next records
  } rows[] = {
      {"renamed away",
       [](const std::string& log) {
         ASSERT_EQ(std::rename(log.c_str(), (log + ".old").c_str()), 0);
       },
       ""},
      {"deleted", [](const std::string& log) { ASSERT_EQ(unlink(log.c_str()), 0); }, ""},
      {"replaced",
       [](const std::string& log) {
         WriteFile(log + ".new", "another file\n");
         ASSERT_EQ(std::rename((log + ".new").c_str(), log.c_str()), 0);
       },
       "another file\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.change);
    TempDir dir;
    TServerCore server;
    server.LogFileName = dir / "brevoxa.log";
    BeginLogTurn();
    WriteLog(server, "a");
    WriteLog(server, "b");
    EndLogTurn();
    const int old = open(server.LogFileName.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(old, 0);
    row.apply(server.LogFileName);
    BeginLogTurn();
    WriteLog(server, "c");
    WriteLog(server, "d");
    EndLogTurn();
    WriteLog(server, "e");  // and outside a turn
    EXPECT_EQ(ReadDescriptor(old), "a\nb\n");
    EXPECT_EQ(ReadFile(server.LogFileName), row.already + "c\nd\ne\n");
    close(old);
  }
}

// A modal box inside a handler runs turns inside a turn; the loop may wait after the inner one.
TEST(Log, EveryEndOfATurnWritesWhatWasGatheredAndGatheringStops) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  BeginLogTurn();
  WriteLog(server, "outer");
  BeginLogTurn();
  WriteLog(server, "inner");
  EndLogTurn();
  EXPECT_EQ(ReadFile(server.LogFileName), "outer\ninner\n");
  WriteLog(server, "after the inner turn");
  EXPECT_EQ(ReadFile(server.LogFileName), "outer\ninner\nafter the inner turn\n");
  EndLogTurn();
  EXPECT_EQ(ReadFile(server.LogFileName), "outer\ninner\nafter the inner turn\n");
}

// A turn that logs much does not hold it all until its end.
TEST(Log, ABusyTurnWritesItsRecordsEarlyPastTheGatheringLimit) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  const std::string record(1023, 'r');
  std::string all;
  BeginLogTurn();
  for (int i = 0; i < 100; ++i) {
    WriteLog(server, record);
    all += record + "\n";
  }
  EXPECT_GE(ReadFile(server.LogFileName).size(), 64u * 1024);
  EndLogTurn();
  EXPECT_EQ(ReadFile(server.LogFileName), all);
}

TEST(Log, WithinATurnTheLimitIsStillLookedAtBeforeEveryRecord) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  server.LogRotateBytes = 100;
  const std::string r(39, 'r');  // 40 bytes with its line end
  BeginLogTurn();
  WriteLog(server, r + "1");
  WriteLog(server, r + "2");
  WriteLog(server, r + "3");  // 120 bytes: passes the limit, but stays whole in this file
  WriteLog(server, "4");
  EndLogTurn();
  EXPECT_EQ(ReadFile(dir / "brevoxa.log.1"), r + "1\n" + r + "2\n" + r + "3\n");
  EXPECT_EQ(ReadFile(server.LogFileName), "4\n");
}

TEST(Log, ShutDownWritesWhatWasGatheredBeforeTheSessionEnd) {
  TempDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  TServerCore server;
  server.StartUp(dir.Path());  // makes it the current folder
  BeginLogTurn();
  WriteLog(server, "gathered");
  server.ShutDown();
  const std::string log = ReadFile(dir / "brevoxa.log");
  EndLogTurn();
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_NE(log.find("\ngathered\nSession statistics\n"), std::string::npos) << log;
  EXPECT_EQ(log.substr(log.size() - 2), "\n\n") << "the session-end record is whole";
}

class LogTurns : public ServerFixture {};

// Requests waiting when the loop wakes are served in one turn; their records are in the file
// before the loop could wait again.
TEST_F(LogTurns, TheRecordsOfATurnAreInTheFileWhenItEnds) {
  Server.LF = true;
  WriteFile(Docs / "a.txt", "A");
  const int fd = ConnectLoopback(Server.ServerSocket1->Port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(
      SendAll(fd, "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n"));
  for (int i = 0; i < 100 && Server.RequestCount < 2; ++i) {
    Server.ServerSocket1->ProcessEvents(100);
    const std::string log = Log();
    EXPECT_EQ(Occurrences(log, " with GET requested /a.txt"),
              static_cast<size_t>(Server.RequestCount))
        << log;
    EXPECT_EQ(Occurrences(log, "ResponceString==HTTP/1.1 200 OK\n"),
              static_cast<size_t>(Server.RequestCount))
        << log;
  }
  EXPECT_EQ(Server.RequestCount, 2);
  close(fd);
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
