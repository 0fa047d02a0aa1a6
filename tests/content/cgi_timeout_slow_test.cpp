// A program that outlives the time-out: 500, and nothing of it left running.
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "content/CgiServerFixture.h"

namespace {

using CgiTimeoutTest = CgiServerFixture;

TEST_F(CgiTimeoutTest, SleepingProgramAndItsChildAreKilledAfterTwentySeconds) {
  InstallScript("sleep.sh");
  const auto started = std::chrono::steady_clock::now();
  const TCgiReply r = ParseReply(Get("/cgi-bin/sleep.sh"));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 500 Error running CGI script") << r.Raw;
  EXPECT_GE(took, std::chrono::milliseconds(19900));
  EXPECT_LT(took, std::chrono::milliseconds(25000));
  EXPECT_NE(Log().find("wfsoRet==WAIT_TIMEOUT\n"), std::string::npos);

  const int group = std::atoi(ReadFile(Docs / "group").c_str());
  ASSERT_GT(group, 1);
  EXPECT_EQ(LiveMembersAfterKill(group), 0);
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // no zombie of ours either
  EXPECT_EQ(errno, ECHILD);

  // The server goes on serving after the killed run.
  WriteFile(CgiDir + "/ok.sh", "printf 'X: y\\n\\nstill here'\n");
  EXPECT_EQ(ParseReply(Get("/cgi-bin/ok.sh")).Body, "still here");
}

}  // namespace
