// Every kind of answer as a strict HTTP/1.1 client reads it, on one keep-alive connection,
// request by request and pipelined: a bare LF anywhere in a head fails the read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "content/CgiServerFixture.h"

namespace {

class WireTest : public CgiServerFixture {
 protected:
  void SetUp() override {
    CgiServerFixture::SetUp();
    Server.SCC = true;
    WriteFile(Docs / "a.txt", "alpha");
    WriteFile(Docs / "b.html", "<b>bravo</b>");
    timespec t[2] = {{1451989230, 0}, {1451989230, 0}};
    utimensat(AT_FDCWD, (Docs / "a.txt").c_str(), t, 0);
    mkdir((Docs / "dir").c_str(), 0755);
    WriteFile(Docs / "dir/f.txt", "f");
    WriteFile(CgiDir + "/lf.sh", "printf 'Content-Type: text/plain\\nX-A: 1\\n\\nline\\n'\n");
    WriteFile(CgiDir + "/crlf.sh", "printf 'Content-Type: text/plain\\r\\n\\r\\nline\\r\\n'\n");
  }

  // Sends the requests one at a time on one connection, each after the answer to the one
  // before has arrived whole, and returns all that came back.
  std::string OneByOne(const std::vector<std::string>& requests,
                       const std::vector<std::string>& methods) {
    const int port = Server.ServerSocket1->Port();
    auto reply = std::async(std::launch::async, [&, port] {
      const int fd = ConnectLoopback(port);
      std::string got;
      for (size_t i = 0; i < requests.size(); ++i) {
        SendAll(fd, requests[i]);
        const std::vector<std::string> upTo(methods.begin(), methods.begin() + i + 1);
        std::vector<TStrictAnswer> answers;
        for (int tries = 0; tries < 100 && !ReadStrictAnswers(got, upTo, answers).empty(); ++tries)
          got += ReadAtLeast(fd, 1, 100);
      }
      got += ReadUntilClose(fd, 3000);
      close(fd);
      return got;
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (reply.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < limit)
      Server.ServerSocket1->ProcessEvents(10);
    for (int i = 0; i < 5; ++i) Server.ServerSocket1->ProcessEvents(5);
    return reply.get();
  }
};

TEST_F(WireTest, EveryKindOfAnswerReadsWithAStrictClient) {
  const std::string ims = "If-Modified-Since: Tue, 05 Jan 2016 10:20:30 GMT\r\n";
  struct {
    std::string Method, Target, Headers;
    int Code;
  } rows[] = {
      {"GET", "/a.txt", "", 200},
      {"HEAD", "/a.txt", "", 200},
      {"GET", "/dir", "Host: h\r\n", 301},
      {"GET", "/dir/", "", 200},
      {"GET", "/missing", "", 404},
      {"DELETE", "/a.txt", "", 405},
      {"OPTIONS", "*", "", 200},
      {"GET", "/cgi-bin/lf.sh", "", 200},
      {"GET", "/cgi-bin/crlf.sh", "", 200},
      {"GET", "/a.txt", "Range: bytes=1-3\r\n", 206},
      {"GET", "/a.txt", "Range: bytes=9-\r\n", 416},
      {"GET", "/a.txt", ims, 304},
      {"HEAD", "/a.txt", ims, 304},
      {"GET", "/b.html", "Connection: close\r\n", 200},
  };
  std::vector<std::string> requests, methods;
  std::string pipelined;
  for (const auto& r : rows) {
    requests.push_back(r.Method + " " + r.Target + " HTTP/1.1\r\n" + r.Headers + "\r\n");
    methods.push_back(r.Method);
    pipelined += requests.back();
  }
  const std::string apart = OneByOne(requests, methods);
  const std::string together = Exchange(pipelined);
  for (const std::string* raw : {&apart, &together}) {
    SCOPED_TRACE(raw == &apart ? "one by one" : "pipelined");
    std::vector<TStrictAnswer> answers;
    ASSERT_EQ(ReadStrictAnswers(*raw, methods, answers), "") << *raw;
    for (size_t i = 0; i < answers.size(); ++i)
      EXPECT_EQ(answers[i].Code, rows[i].Code) << i << ": " << answers[i].StatusLine;
    EXPECT_EQ(answers[0].Body, "alpha");
    EXPECT_EQ(answers[7].Body, "line\n");
    EXPECT_EQ(answers[7].Header("X-A"), "1");
    EXPECT_EQ(answers[8].Body, "line\r\n");
    EXPECT_EQ(answers[9].Body, "lph");
    EXPECT_EQ(answers[9].Header("Content-Range"), "bytes 1-3/5");
    EXPECT_EQ(answers[10].Header("Content-Range"), "bytes */5");
    EXPECT_EQ(answers[11].Header("Last-Modified"), "Tue, 05 Jan 2016 10:20:30 GMT");
    EXPECT_EQ(answers[13].Body, "<b>bravo</b>");
  }
  EXPECT_EQ(apart, together);
  // Inside, the records keep their LF.
  EXPECT_NE(
      Log().find("ResponceString==HTTP/1.1 200 OK\n\nResponceHead==Content-Type: text/plain\n"),
      std::string::npos);
}

}  // namespace
