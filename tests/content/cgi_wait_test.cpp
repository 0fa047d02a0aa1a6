// While a CGI program runs, the server goes on serving everyone else; programs still run one at
// a time, and the connection that asked keeps its answers in order.
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "content/CgiServerFixture.h"
#include "platform/Files.h"

namespace {

using Clock = std::chrono::steady_clock;

// What one client received, and when each of the texts it looked for had arrived.
struct TTimedReply {
  std::string Raw;
  std::vector<Clock::time_point> Seen;
};

// Connects after delayMs, sends raw, and reads until the server closes, noting when each marker
// first shows in what arrived.
TTimedReply TimedExchange(int port, const std::string& raw, std::vector<std::string> markers,
                          int delayMs = 0) {
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  TTimedReply r;
  r.Seen.assign(markers.size(), Clock::time_point{});
  const int fd = ConnectLoopback(port);
  if (fd < 0) return r;
  SendAll(fd, raw);
  char buf[4096];
  while (true) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    r.Raw.append(buf, static_cast<size_t>(n));
    for (size_t i = 0; i < markers.size(); ++i)
      if (r.Seen[i] == Clock::time_point{} && r.Raw.find(markers[i]) != std::string::npos)
        r.Seen[i] = Clock::now();
  }
  close(fd);
  return r;
}

class CgiWaitTest : public CgiServerFixture {
 protected:
  int Port() { return Server.ServerSocket1->Port(); }

  // Serves until every client is done (or a minute has passed).
  void ServeUntil(std::vector<std::future<TTimedReply>*> clients) {
    const auto limit = Clock::now() + std::chrono::seconds(60);
    auto done = [&] {
      for (auto* c : clients)
        if (c->wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) return false;
      return true;
    };
    while (!done() && Clock::now() < limit) Server.ServerSocket1->ProcessEvents(10);
  }
  // Serves until the log holds one of texts (or limitMs have passed).
  bool ServeUntilLogged(const std::vector<std::string>& texts, int limitMs = 5000) {
    const auto limit = Clock::now() + std::chrono::milliseconds(limitMs);
    while (Clock::now() < limit) {
      Server.ServerSocket1->ProcessEvents(10);
      const std::string log = Log();
      for (const std::string& text : texts)
        if (log.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST_F(CgiWaitTest, StaticFileIsServedWhileAProgramRuns) {
  WriteFile(CgiDir + "/slow.sh", "sleep 2\nprintf 'Content-Type: text/plain\\n\\nslow'\n");
  WriteFile(Docs / "a.txt", "static");
  const int port = Port();
  const auto started = Clock::now();
  auto slow = std::async(std::launch::async, TimedExchange, port,
                         "GET /cgi-bin/slow.sh HTTP/1.1\nHost: t\nConnection: close\n\n",
                         std::vector<std::string>{"slow"}, 0);
  auto quick = std::async(std::launch::async, TimedExchange, port,
                          "GET /a.txt HTTP/1.1\nHost: t\nConnection: close\n\n",
                          std::vector<std::string>{"static"}, 300);
  ServeUntil({&slow, &quick});
  const TTimedReply s = slow.get();
  const TTimedReply q = quick.get();
  EXPECT_EQ(ParseReply(s.Raw).Body, "slow");
  EXPECT_EQ(ParseReply(q.Raw).Body, "static");
  // The file came while the program slept, long before its answer.
  EXPECT_LT(Seconds(q.Seen[0] - started), 1.2);
  EXPECT_GE(Seconds(s.Seen[0] - started), 2.0);
}

TEST_F(CgiWaitTest, ProgramsOfTwoClientsRunOneAfterTheOther) {
  WriteFile(CgiDir + "/span.sh",
            "s=$(date +%s%N)\nsleep 0.4\n"
            "printf 'Content-Type: text/plain\\n\\n%s %s %s' \"$QUERY_STRING\" \"$s\" "
            "\"$(date +%s%N)\"\n");
  const int port = Port();
  std::vector<std::future<TTimedReply>> clients;
  for (const char* query : {"one", "two", "three"})
    clients.push_back(std::async(
        std::launch::async, TimedExchange, port,
        std::string("GET /cgi-bin/span.sh?") + query + " HTTP/1.1\nHost: t\nConnection: close\n\n",
        std::vector<std::string>{}, 0));
  ServeUntil({&clients[0], &clients[1], &clients[2]});
  struct TSpan {
    long long Start = 0, End = 0;
  };
  std::vector<TSpan> spans;
  for (const char* query : {"one", "two", "three"}) {
    SCOPED_TRACE(query);
    const std::string body = ParseReply(clients[spans.size()].get().Raw).Body;
    char own[16] = {};
    TSpan span;
    ASSERT_EQ(std::sscanf(body.c_str(), "%15s %lld %lld", own, &span.Start, &span.End), 3) << body;
    EXPECT_EQ(std::string(own), query);  // each client gets its own program's output
    spans.push_back(span);
  }
  for (size_t i = 0; i < spans.size(); ++i)
    for (size_t j = i + 1; j < spans.size(); ++j)
      EXPECT_TRUE(spans[i].End <= spans[j].Start || spans[j].End <= spans[i].Start)
          << i << " and " << j << " overlap";
}

// The answer queued before the program is out while it runs, the records gathered before it
// are in the file when it starts, and what was pipelined behind it is answered after it.
TEST_F(CgiWaitTest, PipelinedAnswersKeepTheirOrderAroundAProgram) {
  Server.LF = true;
  WriteFile(CgiDir + "/slow.sh", "cp '" + Program / "brevoxa.log" +
                                     "' \"$DOCUMENT_ROOT/log-at-start\"\nsleep 1.5\n"
                                     "printf 'Content-Type: text/plain\\n\\nslow'\n");
  WriteFile(Docs / "a.txt", "first");
  WriteFile(Docs / "b.txt", "last");
  auto client = std::async(std::launch::async, TimedExchange, Port(),
                           "GET /a.txt HTTP/1.1\nHost: t\n\n"
                           "GET /cgi-bin/slow.sh HTTP/1.1\nHost: t\n\n"
                           "GET /b.txt HTTP/1.1\nHost: t\nConnection: close\n\n",
                           std::vector<std::string>{"first", "slow"}, 0);
  ServeUntil({&client});
  const TTimedReply r = client.get();
  std::vector<TStrictAnswer> answers;
  ASSERT_EQ(ReadStrictAnswers(r.Raw, {"GET", "GET", "GET"}, answers), "") << r.Raw;
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].Body, "first");
  EXPECT_EQ(answers[1].Body, "slow");
  EXPECT_EQ(answers[2].Body, "last");
  EXPECT_GT(Seconds(r.Seen[1] - r.Seen[0]), 1.0);
  const std::string atStart = ReadFile(Docs / "log-at-start");
  EXPECT_NE(atStart.find(" with GET requested /cgi-bin/slow.sh\n"), std::string::npos) << atStart;
  EXPECT_NE(atStart.find("exeName == /bin/sh\n"), std::string::npos) << atStart;
}

TEST_F(CgiWaitTest, ClientThatLeavesDuringItsProgramGetsItsRecordsWhenItEnds) {
  WriteFile(CgiDir + "/slow.sh", "sleep 1\nprintf 'Content-Type: text/plain\\n\\nslow'\n");
  const int fd = ConnectLoopback(Port());
  ASSERT_GE(fd, 0);
  // A request answered first, so that the next one comes as a read event of a known connection.
  WriteFile(Docs / "a.txt", "first");
  SendAll(fd, "GET /a.txt HTTP/1.1\nHost: t\n\n");
  for (int i = 0; i < 10; ++i) Server.ServerSocket1->ProcessEvents(10);
  ASSERT_NE(ReadAtLeast(fd, 1).find("first"), std::string::npos);
  // Its end comes with the request, before the program has even started.
  SendAll(fd, "GET /cgi-bin/slow.sh HTTP/1.1\nHost: t\n\n");
  close(fd);
  // The connection's end shows when the answer meets the closed socket: as a disconnect, a reset
  // or a failed write, whichever the socket reports first.
  const std::vector<std::string> ends = {" DISCONNECTED at ", " BREAKS connection at ",
                                         " socket ERROR (code "};
  EXPECT_TRUE(ServeUntilLogged(ends)) << Log();
  const std::string log = Log();
  // As when the server waited for the program: the run's records, the answer's, then the end.
  const size_t run = log.find("not_failed==true before GetFileSize\n");
  const size_t answer = log.find("ResponceString==HTTP/1.1 200 OK\n", run);
  const size_t end = std::min({log.find(ends[0]), log.find(ends[1]), log.find(ends[2])});
  ASSERT_NE(run, std::string::npos) << log;
  EXPECT_LT(run, answer);
  EXPECT_LT(answer, end);
  // The next program still runs.
  EXPECT_EQ(ParseReply(Get("/cgi-bin/slow.sh")).Body, "slow");
}

TEST_F(CgiWaitTest, ShutDownKillsTheRunningProgramAndStartsNoWaitingOne) {
  InstallScript("sleep.sh");
  InstallScript("sidefx.sh");
  const int port = Port();
  auto running =
      std::async(std::launch::async, TimedExchange, port,
                 "GET /cgi-bin/sleep.sh HTTP/1.1\nHost: t\n\n", std::vector<std::string>{}, 0);
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (!FileExists(Docs / "group") && Clock::now() < limit)
    Server.ServerSocket1->ProcessEvents(10);
  const int group = std::atoi(ReadFile(Docs / "group").c_str());
  ASSERT_GT(group, 1);
  auto waiting =
      std::async(std::launch::async, TimedExchange, port,
                 "GET /cgi-bin/sidefx.sh HTTP/1.1\nHost: t\n\n", std::vector<std::string>{}, 0);
  for (int i = 0; i < 30; ++i) Server.ServerSocket1->ProcessEvents(10);

  Server.ShutDown();
  EXPECT_EQ(LiveMembersAfterKill(group), 0);
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // reaped, not left a zombie
  EXPECT_EQ(errno, ECHILD);
  EXPECT_FALSE(FileExists(CgiDir + "/ran"));
  const std::string log = Log();
  EXPECT_NE(log.find("Session statistics\n connects: 2; requests: 0;"), std::string::npos) << log;
  EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 3) + 1, 29), "Brevoxa SESSION TERMINATED at");

  Server.ServerSocket1.reset();  // the clients see their connections close
  EXPECT_EQ(running.get().Raw, "");
  EXPECT_EQ(waiting.get().Raw, "");
}

}  // namespace
