// Request assembly over a scripted connection: how received bytes become requests, whatever
// way they are cut, and the limits that bound a connection's memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/ServerCore.h"
#include "http/Request.h"
#include "support/FakeSocket.h"
#include "support/TestSupport.h"

namespace {

class AssemblyTest : public ::testing::Test {
 protected:
  TempDir Dir;
  TServerCore Server;
  TFakeSocket Socket;
  mParser* P = nullptr;

  void SetUp() override {
    Server.StartUp(Dir.Path());
    Server.RC = Dir.Path();
    WriteFile(Dir / "a.txt", "AAAA");
    WriteFile(Dir / "b.txt", "BBBB");
    P = Server.Parsers->Add(&Socket);
    P->RemoteAddr = "10.0.0.7";
    P->RemotePort = "5151";
  }
  void TearDown() override { Server.ShutDown(); }

  void Feed(const std::string& bytes) {
    ConsumeInput(Server, P, bytes.data(), static_cast<int>(bytes.size()));
  }
  std::string Log() { return ReadFile(Dir / "brevoxa.log"); }
  int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_F(AssemblyTest, HeadGivesTheSameRequestHoweverItIsCut) {
  const std::string crlf = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string lf = "GET /a.txt HTTP/1.1\nHost: x\n\n";
  struct Row {
    const char* name;
    std::string request;
    std::vector<size_t> cuts;  // positions where a new read begins
  } rows[] = {
      {"crlf whole", crlf, {}},
      {"crlf between the two pairs of the blank line", crlf, {crlf.size() - 2}},
      {"crlf between CR and LF", crlf, {crlf.size() - 1}},
      {"crlf byte by byte", crlf, {}},
      {"lf whole", lf, {}},
      {"lf between the two LFs", lf, {lf.size() - 1}},
  };
  int expectedRequests = 0;
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    Server.LH = true;
    std::string before = Log();
    if (std::string(row.name).find("byte by byte") != std::string::npos) {
      for (char c : row.request) Feed(std::string(1, c));
    } else {
      size_t from = 0;
      for (size_t cut : row.cuts) {
        Feed(row.request.substr(from, cut - from));
        EXPECT_EQ(Server.RequestCount, expectedRequests) << "dispatched before the blank line";
        from = cut;
      }
      Feed(row.request.substr(from));
    }
    ++expectedRequests;
    EXPECT_EQ(Server.RequestCount, expectedRequests);
    std::string added = Log().substr(before.size());
    EXPECT_NE(added.find("10.0.0.7:5151 Request headers:\nGET /a.txt HTTP/1.1\nHost: x\n\n\n"),
              std::string::npos)
        << added;
  }
  EXPECT_EQ(Count(Socket.Output, "AAAA"), expectedRequests);
}

TEST_F(AssemblyTest, PipelinedRequestsAreAnsweredInOrder) {
  Feed("GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /b.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /a.t");
  EXPECT_EQ(Server.RequestCount, 2);
  size_t a = Socket.Output.find("AAAA"), b = Socket.Output.find("BBBB");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  EXPECT_LT(a, b);
  Feed("xt HTTP/1.1\r\n\r\n");
  EXPECT_EQ(Server.RequestCount, 3);
  EXPECT_EQ(Count(Socket.Output, "AAAA"), 2);
}

TEST_F(AssemblyTest, BodyInThreeReadsThenTheNextRequest) {
  Feed("POST /a.txt HTTP/1.1\r\nContent-Length: 10\r\n\r\n012");
  Feed("3456");
  EXPECT_EQ(Server.RequestCount, 0);
  Feed("789GET /b.txt HTTP/1.1\r\n\r\n");
  EXPECT_EQ(Server.RequestCount, 2);
  EXPECT_NE(Socket.Output.find("BBBB"), std::string::npos);
}

// The head limit counts bytes other than CR, up to and including the blank line's LF.
std::string HeadOfSize(int n, bool withCR) {
  std::string start = "GET /a.txt HTTP/1.1\n";
  std::string filler(static_cast<size_t>(n) - start.size() - 4, 'f');
  std::string head = start + "X:" + filler + "\n\n";
  if (!withCR) return head;
  std::string out;
  for (char c : head) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

TEST_F(AssemblyTest, HeadLimitAt8000Bytes) {
  struct Row {
    int size;
    bool withCR;
    bool refused;
  } rows[] = {{7999, false, false}, {7999, true, false}, {8000, false, true}, {8000, true, true}};
  for (auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.size) + (row.withCR ? " crlf" : " lf"));
    TFakeSocket socket;
    mParser* p = Server.Parsers->Add(&socket);
    p->RemoteAddr = "10.0.0.8";
    p->RemotePort = "1";
    const int before = Server.RequestCount;
    const std::string logBefore = Log();
    std::string bytes = HeadOfSize(row.size, row.withCR) + "GET /b.txt HTTP/1.1\n\n";
    ConsumeInput(Server, p, bytes.data(), static_cast<int>(bytes.size()));
    const std::string logged = Log().substr(logBefore.size());
    if (row.refused) {
      EXPECT_EQ(socket.Output.rfind("HTTP/1.1 413", 0), 0u) << socket.Output.substr(0, 60);
      EXPECT_TRUE(p->CloseConnection);
      EXPECT_EQ(Server.RequestCount, before + 1) << "bytes after the limit must not be scanned";
      EXPECT_NE(logged.find("10.0.0.8:1 overloaded HTTP headers, possibly an attack\n"),
                std::string::npos);
    } else {
      EXPECT_NE(socket.Output.find("AAAA"), std::string::npos);
      EXPECT_NE(socket.Output.find("BBBB"), std::string::npos);
      EXPECT_EQ(Server.RequestCount, before + 2);
      EXPECT_EQ(logged.find("overloaded"), std::string::npos);
    }
    Server.Parsers->Remove(&socket);
  }
}

TEST_F(AssemblyTest, PlainBodyIsCutAfter2001Bytes) {
  struct Row {
    int declared;
    bool refused;
  } rows[] = {{2000, false}, {2500, true}};
  for (auto& row : rows) {
    SCOPED_TRACE(row.declared);
    TFakeSocket socket;
    mParser* p = Server.Parsers->Add(&socket);
    std::string bodyBytes;
    std::string head =
        "POST /a.txt HTTP/1.1\r\nContent-Length: " + std::to_string(row.declared) + "\r\n\r\n";
    size_t sizeSeen = 0;
    // The body is looked at while the request is dispatched; afterwards the record is reset.
    socket.OnWrite = [&] {
      if (sizeSeen == 0) sizeSeen = p->Body.size();
    };
    const int before = Server.RequestCount;
    std::string bytes =
        head + std::string(static_cast<size_t>(row.declared), 'b') + "GET /b.txt HTTP/1.1\r\n\r\n";
    ConsumeInput(Server, p, bytes.data(), static_cast<int>(bytes.size()));
    if (row.refused) {
      EXPECT_EQ(sizeSeen, 2001u);
      EXPECT_TRUE(p->CloseConnection);
      EXPECT_EQ(socket.Output.rfind("HTTP/1.1 413", 0), 0u) << socket.Output.substr(0, 60);
      EXPECT_EQ(Server.RequestCount, before + 1) << "the rest of the block is dropped";
    } else {
      EXPECT_EQ(sizeSeen, 2000u);
      EXPECT_FALSE(p->CloseConnection);
      EXPECT_EQ(Server.RequestCount, before + 2);
    }
    Server.Parsers->Remove(&socket);
  }
}

TEST_F(AssemblyTest, RefusedHeadWithBodyIsAnsweredNotDropped) {
  // A method of 21 letters is refused; its announced body will never be read, so the refusal
  // goes out at once instead of the connection closing without a word.
  Feed("ABCDEFGHIJKLMNOPQRSTU / HTTP/1.1\r\nContent-Length: 5\r\n\r\n");
  EXPECT_EQ(Server.RequestCount, 1);
  EXPECT_EQ(Socket.Output.rfind("HTTP/1.1 501", 0), 0u) << Socket.Output.substr(0, 60);
  EXPECT_TRUE(P->CloseConnection);
}

TEST_F(AssemblyTest, DeclaredBodyOver64MiBIsRefusedWithoutStoringIt) {
  Feed("POST /a.txt HTTP/1.1\r\nContent-Length: 67108865\r\n\r\nxxxxxxxx");
  EXPECT_EQ(Server.RequestCount, 1);
  EXPECT_EQ(Socket.Output.rfind("HTTP/1.1 413", 0), 0u) << Socket.Output.substr(0, 60);
  EXPECT_TRUE(P->Body.empty());
}

TEST_F(AssemblyTest, ResetReleasesTheRequestBuffers) {
  Feed("GET /a.txt HTTP/1.1\r\nHost: " + std::string(3000, 'h') + "\r\n\r\n");
  ASSERT_EQ(Server.RequestCount, 1);
  const size_t empty = std::string().capacity();
  EXPECT_EQ(P->HeaderText.capacity(), empty);
  EXPECT_EQ(P->Body.capacity(), empty);
  EXPECT_EQ(P->Variables.capacity(), 0u);
  EXPECT_EQ(P->RemoteAddr, "10.0.0.7") << "the connection's own fields stay";
}

}  // namespace
