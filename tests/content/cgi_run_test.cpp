// CGI programs run by the whole server: input, environment, arguments and output handling.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "content/CgiServerFixture.h"
#include "platform/Files.h"

namespace {

using CgiRunTest = CgiServerFixture;

TEST_F(CgiRunTest, PostBodyAndVariablesReachAnAssociatedScript) {
  InstallScript("echo.py");
  const std::string body = "name=J%C3%B6rg&x=1";
  const TCgiReply r = ParseReply(
      Exchange("POST /cgi-bin/echo.py;/extra/x?a=1&b=2 HTTP/1.1\nHost: test\nConnection: close\n"
               "User-Agent: tester/1\nProxy: http://evil:3128\nX-Custom: Mixed Case\n"
               "Content-Type: application/x-www-form-urlencoded\nContent-Length: " +
               std::to_string(body.size()) + "\n\n" + body));
  ASSERT_EQ(r.StatusLine, "HTTP/1.1 200 OK") << r.Raw;
  ASSERT_EQ(r.Raw.substr(0, r.Raw.size() - r.Body.size()),
            Wire("HTTP/1.1 200 OK\nContent-Length: " + std::to_string(r.Body.size()) +
                 "\nConnection: close\nContent-Type: text/plain\r\n\r\n"));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"REQUEST_METHOD", "POST"},
      {"QUERY_STRING", "a=1&b=2"},
      {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
      {"CONTENT_LENGTH", std::to_string(body.size())},
      {"SCRIPT_NAME", "/cgi-bin/echo.py"},
      {"SCRIPT_FILENAME", CgiDir + "/echo.py"},
      {"PATH_INFO", "/extra/x"},
      {"PATH_TRANSLATED", Docs / "extra/x"},
      {"DOCUMENT_ROOT", Docs.Path()},
      {"GATEWAY_INTERFACE", "CGI/1.1"},
      {"SERVER_SOFTWARE", "Vyn_Brevoxa/1.1"},
      {"HTTP_USER_AGENT", "tester/1"},
      {"HTTP_X_CUSTOM", "Mixed Case"},
      {"HTTP_HOST", "test"},
      {"HTTP_PROXY", "-"},  // never from a client
      {"ARGS", ""},         // a form query is no argument list
      {"CWD", CgiDir},
      {"STDIN", body},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(Field(r.Body, key), value) << key;
  EXPECT_NE(Log().find("p->ExeApp == /usr/bin/python3\n"), std::string::npos);
  EXPECT_NE(Log().find("CmdLine == \"/usr/bin/python3\" \"" + CgiDir + "/echo.py\"\n"),
            std::string::npos);
  EXPECT_NE(Log().find("not_failed==true before GetFileSize\n"), std::string::npos);
}

TEST_F(CgiRunTest, LargeBodyArrivesWhole) {
  InstallScript("echo.py");
  std::string body;
  for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) body += std::to_string(i) + ",";
  const TCgiReply r =
      ParseReply(Exchange("POST /cgi-bin/echo.py HTTP/1.1\nHost: t\nConnection: close\n"
                          "Content-Length: " +
                          std::to_string(body.size()) + "\n\n" + body));
  ASSERT_EQ(r.StatusLine, "HTTP/1.1 200 OK") << r.Raw.substr(0, 300);
  EXPECT_EQ(Field(r.Body, "STDIN_LEN"), std::to_string(body.size()));
  EXPECT_EQ(Field(r.Body, "STDIN"), body.substr(0, 200));
}

// Clients that post large bodies to the CGI folder and hold them, a program or none there: what
// all of them keep in memory stays within the server's budget, and a client that posts its whole
// body still has it reach the program.
TEST_F(CgiRunTest, BodiesHeldByManyClientsStayWithinTheBudget) {
  InstallScript("echo.py");
  Server.MaxHeldBodyBytes = 256 * 1024;
  const int64_t heldBefore = HeldBodyBytes();
  std::vector<int> holders;
  const auto pump = [&](int ms) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < limit) Server.ServerSocket1->ProcessEvents(10);
  };
  const int port = Server.ServerSocket1->Port();
  std::atomic<int> sent{0};
  std::vector<std::thread> senders;
  for (const char* target : {"/cgi-bin/echo.py", "/cgi-bin/none"}) {
    for (int i = 0; i < 4; ++i) {
      const int fd = ConnectLoopback(port);
      holders.push_back(fd);
      senders.emplace_back([fd, target, &sent] {
        SendAll(fd, std::string("POST ") + target +
                        " HTTP/1.1\nHost: t\nContent-Length: 1048576\n\n" +
                        std::string(200 * 1024, 'h'));
        ++sent;
      });
    }
  }
  for (int i = 0; i < 500 && sent < static_cast<int>(senders.size()); ++i) pump(10);
  for (auto& t : senders) t.join();
  pump(200);
  EXPECT_LE(HeldBodyBytes() - heldBefore, Server.MaxHeldBodyBytes);
  std::string body;
  for (int i = 0; body.size() < 300 * 1024; ++i) body += std::to_string(i) + ";";
  const TCgiReply r =
      ParseReply(Exchange("POST /cgi-bin/echo.py HTTP/1.1\nHost: t\nConnection: close\n"
                          "Content-Length: " +
                          std::to_string(body.size()) + "\n\n" + body));
  for (int fd : holders) close(fd);
  pump(50);
  ASSERT_EQ(r.StatusLine, "HTTP/1.1 200 OK") << r.Raw.substr(0, 300);
  EXPECT_EQ(Field(r.Body, "STDIN_LEN"), std::to_string(body.size()));
  EXPECT_EQ(Field(r.Body, "STDIN"), body.substr(0, 200));
}

TEST_F(CgiRunTest, QueryWithoutEqualsSignBecomesArguments) {
  InstallScript("echo.py");
  struct Case {
    std::string target;
    std::string args;
  };
  const Case cases[] = {
      {"/cgi-bin/echo.py?hello+world", "hello|world"},
      {"/cgi-bin/echo.py?two%20words+%22q%22", "two|words|q"},  // quotes group, then vanish
      {"/cgi-bin/echo.py?a=1&b=2", ""},
      {"/cgi-bin/echo.py", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const TCgiReply r = ParseReply(Get(c.target));
    ASSERT_EQ(r.StatusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(Field(r.Body, "ARGS"), c.args);
  }
}

TEST_F(CgiRunTest, ProgramItselfRunsFromExtensionlessTarget) {
  InstallEcho();
  const TCgiReply r =
      ParseReply(Get("/cgi-bin/echo?x+y", "GET", "Proxy: http://evil\nX-Forwarded-For: 1.2.3.4\n"));
  ASSERT_EQ(r.StatusLine, "HTTP/1.1 200 OK") << r.Raw;
  EXPECT_EQ(Field(r.Body, "ARG0"), CgiDir + "/echo.exe");
  EXPECT_EQ(Field(r.Body, "ARG1"), "x");
  EXPECT_EQ(Field(r.Body, "ARG2"), "y");
  EXPECT_EQ(Field(r.Body, "ARG3"), "<absent>");
  EXPECT_EQ(Field(r.Body, "CWD"), CgiDir);
  EXPECT_EQ(Field(r.Body, "ENV HTTP_X_FORWARDED_FOR"), "1.2.3.4");
  EXPECT_EQ(Field(r.Body, "ENV HTTP_PROXY"), "<absent>");
  EXPECT_EQ(Field(r.Body, "ENV SCRIPT_FILENAME"), CgiDir + "/echo.exe");
  // The listening socket, the client connection, the epoll set and the log stay ours.
  EXPECT_EQ(Field(r.Body, "FDS"), "0,1,2");
  EXPECT_EQ(Field(r.Body, "STDIN"), "");
}

TEST_F(CgiRunTest, OutputHandling) {
  const std::string pad(10000 - 7 - 2, 'a');  // "X-Pad: " + pad + "\n\n" is 10000 bytes
  struct Case {
    const char* name;
    std::string script;
    std::string status;
    std::string body;  // expected body for a success
    const char* record;
  };
  const Case cases[] = {
      {"plain", "printf 'Content-Type: text/plain\\n\\nhello'", "HTTP/1.1 200 OK", "hello",
       nullptr},
      {"crlf header", "printf 'Content-Type: text/plain\\r\\n\\r\\nhi\\r\\n'", "HTTP/1.1 200 OK",
       "hi\r\n", nullptr},
      {"location", "printf 'Content-Type: text/html\\nlOcAtIoN: http://x/y\\n\\nmoved'",
       "HTTP/1.1 301 Redirect", "moved", nullptr},
      {"status line ignored", "printf 'Status: 404 Not Found\\n\\nnope'", "HTTP/1.1 200 OK", "nope",
       nullptr},
      {"exit code ignored", "printf 'X: y\\n\\nfine'; exit 3", "HTTP/1.1 200 OK", "fine", nullptr},
      {"header block only", "printf 'Content-Type: text/plain\\n\\n'", "HTTP/1.1 200 OK", "",
       nullptr},
      {"header end at the limit", "printf 'X-Pad: " + pad + "\\n\\nok'", "HTTP/1.1 200 OK", "ok",
       nullptr},
      {"header end past the limit", "printf 'X-Pad: a" + pad + "\\n\\nok'",
       "HTTP/1.1 500 Error running CGI script", "", nullptr},
      {"stderr fails a good output", "printf 'X: y\\n\\nfine'; echo oops >&2",
       "HTTP/1.1 500 Error running CGI script", "", "stderrFile has size != 0\n"},
      {"no empty line", "printf 'Content-Type: text/plain\\nbody'",
       "HTTP/1.1 500 Error running CGI script", "", nullptr},
      {"no output", "exit 0", "HTTP/1.1 500 Error running CGI script", "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(CgiDir + "/t.sh", c.script + "\n");
    const TCgiReply r = ParseReply(Get("/cgi-bin/t.sh"));
    EXPECT_EQ(r.StatusLine, c.status) << r.Raw.substr(0, 200);
    if (c.status == "HTTP/1.1 500 Error running CGI script") {
      EXPECT_EQ(r.ContentLength, 0);
    } else {
      EXPECT_EQ(r.Body, c.body);
    }
    if (c.record != nullptr) {
      EXPECT_NE(Log().find(c.record), std::string::npos);
    }
  }
}

TEST_F(CgiRunTest, PipelinedRequestsAfterAProgramStayInStep) {
  WriteFile(CgiDir + "/n.sh", "printf 'Content-Type: text/plain\\n\\n%s' \"$QUERY_STRING\"\n");
  const std::string raw = Exchange(
      "GET /cgi-bin/n.sh?first HTTP/1.1\nHost: t\n\n"
      "GET /cgi-bin/n.sh?second HTTP/1.1\nHost: t\nConnection: close\n\n");
  EXPECT_EQ(raw, Wire("HTTP/1.1 200 OK\nContent-Length: 5\nContent-Type: text/plain\n\nfirst") +
                     Wire("HTTP/1.1 200 OK\nContent-Length: 6\nConnection: close\nContent-Type: "
                          "text/plain\n\nsecond"));
}

// A child the program leaves holding its output writes after the program has ended, while the
// answer still waits behind a large file: what goes out is what the program wrote.
TEST_F(CgiRunTest, ChildLeftBehindCannotChangeTheAnswer) {
  const std::string big(32 << 20, 'b');  // more than the connection holds unread
  WriteFile(Docs / "big.bin", big);
  WriteFile(CgiDir + "/bg.sh",
            "printf 'Content-Type: text/plain\\n\\nhello'\n"
            "( sleep 0.2; printf 'XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX' ) &\n");
  const std::string raw = Exchange(
      "GET /big.bin HTTP/1.1\nHost: t\n\nGET /cgi-bin/bg.sh HTTP/1.1\nHost: t\nConnection: "
      "close\n\n",
      30000, 1000);
  const std::string tail = Wire(
      "HTTP/1.1 200 OK\nContent-Length: 5\nConnection: close\nContent-Type: text/plain\n\nhello");
  const size_t bigBody = raw.find("\r\n\r\n");
  ASSERT_NE(bigBody, std::string::npos);
  EXPECT_EQ(raw.size(), bigBody + 4 + big.size() + tail.size());
  EXPECT_EQ(raw.substr(raw.size() - std::min(raw.size(), tail.size())), tail);
}

TEST_F(CgiRunTest, HeadNeverRunsTheProgram) {
  InstallScript("sidefx.sh");
  const std::string head = Get("/cgi-bin/sidefx.sh", "HEAD");
  EXPECT_EQ(ParseReply(head).StatusLine, "HTTP/1.1 200 OK");
  EXPECT_NE(head.find(Wire("Content-Length: 0\n")), std::string::npos);
  EXPECT_FALSE(FileExists(CgiDir + "/ran"));
  // The same target with GET does run it, so the check above could have failed.
  EXPECT_EQ(ParseReply(Get("/cgi-bin/sidefx.sh")).Body, "ran\n");
  EXPECT_TRUE(FileExists(CgiDir + "/ran"));
}

TEST_F(CgiRunTest, NonProgramInCgiFolderWithDnicgi) {
  WriteFile(CgiDir + "/readme.txt", "plain text");
  Server.DNICGI = true;
  EXPECT_EQ(ParseReply(Get("/cgi-bin/readme.txt")).StatusLine, "HTTP/1.1 404 Not found");
  Server.DNICGI = false;
  const TCgiReply r = ParseReply(Get("/cgi-bin/readme.txt"));
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.Body, "plain text");
}

TEST_F(CgiRunTest, ProgramThatCannotStartFails) {
  Server.CGIAssoc = {"zz:/nonexistent/interpreter"};
  WriteFile(CgiDir + "/x.zz", "whatever");
  const std::string raw = Get("/cgi-bin/x.zz");
  std::vector<TStrictAnswer> answers;
  EXPECT_EQ(ReadStrictAnswers(raw, {"GET"}, answers), "") << raw;  // one answer, nothing more
  EXPECT_EQ(ParseReply(raw).StatusLine, "HTTP/1.1 500 Error running CGI script");
  EXPECT_NE(Log().find("! IsStartedOk\n"), std::string::npos);
}

}  // namespace
