// The whole server in-process on an ephemeral port, with a real loopback client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "core/ServerCore.h"
#include "support/ServerFixture.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Head(const std::string& type, size_t length, const std::string& extra = "") {
  return Wire("HTTP/1.1 200 OK\nContent-Type: " + type +
              "\nLast-Modified: Tue, 05 Jan 2016 10:20:30 GMT\n" + extra +
              "Content-Length: " + std::to_string(length) + "\n\n");
}

int LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// True when the peer has closed: the next read sees the end (or a reset), not a time-out.
bool PeerClosed(int fd, int timeoutMs = 3000) {
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) <= 0) return false;
  char c;
  return recv(fd, &c, 1, 0) <= 0;
}

class ServerTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    WriteFile(Docs / "a.txt", "alpha");
    WriteFile(Docs / "b.html", "<b>bravo</b>");
    for (const char* name : {"a.txt", "b.html"}) {
      timespec t[2] = {{1451989230, 0}, {1451989230, 0}};
      utimensat(AT_FDCWD, (Docs / name).c_str(), t, 0);
    }
  }
  void PumpUntil(const std::function<bool()>& ready, int ms = 3000) {
    auto limit = Clock::now() + std::chrono::milliseconds(ms);
    while (!ready() && Clock::now() < limit) Server.ServerSocket1->ProcessEvents(10);
  }
};

TEST_F(ServerTest, KeepAliveServesTwoRequestsInTurn) {
  std::string first, second;
  bool open = false;
  Serve([&] {
    int fd = ConnectLoopback(Server.ServerSocket1->Port());
    SendAll(fd, "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
    first = ReadAtLeast(fd, Head("text/plain", 5).size() + 5);
    SendAll(fd, "GET /b.html HTTP/1.1\r\nHost: x\r\n\r\n");
    second = ReadAtLeast(fd, Head("text/html", 12).size() + 12);
    open = !PeerClosed(fd, 300);
    close(fd);
  });
  EXPECT_EQ(first, Head("text/plain", 5) + "alpha");
  EXPECT_EQ(second, Head("text/html", 12) + "<b>bravo</b>");
  EXPECT_TRUE(open);
  EXPECT_EQ(Server.RequestCount, 2);
}

TEST_F(ServerTest, PipelinedRequestsAnsweredInOrder) {
  std::string all;
  const std::string expected =
      Head("text/plain", 5) + "alpha" + Head("text/html", 12) + "<b>bravo</b>" +
      Wire("HTTP/1.1 404 Not found\nContent-Length: 0\n\n") + Head("text/plain", 5) + "alpha";
  Serve([&] {
    int fd = ConnectLoopback(Server.ServerSocket1->Port());
    SendAll(fd,
            "GET /a.txt HTTP/1.1\n\nGET /b.html HTTP/1.1\r\n\r\nGET /none HTTP/1.1\n\n"
            "GET /a.txt HTTP/1.1\n\n");
    all = ReadAtLeast(fd, expected.size());
    close(fd);
  });
  EXPECT_EQ(all, expected);
  EXPECT_EQ(Server.RequestCount, 4);
}

TEST_F(ServerTest, ConnectionCloseEndsAfterTheBody) {
  std::string got;
  bool closed = false;
  Serve([&] {
    int fd = ConnectLoopback(Server.ServerSocket1->Port());
    SendAll(fd, "GET /a.txt HTTP/1.1\nConnection: close\n\n");
    got = ReadAtLeast(fd, Head("text/plain", 5, "Connection: close\n").size() + 5);
    closed = PeerClosed(fd);
    close(fd);
  });
  EXPECT_EQ(got, Head("text/plain", 5, "Connection: close\n") + "alpha");
  EXPECT_TRUE(closed);
}

TEST_F(ServerTest, LargeFileReachesASlowClientWhole) {
  std::string data(8 * 1024 * 1024 + 123, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 5);
  WriteFile(Docs / "big.bin", data);
  std::string got;
  bool closed = false;
  Serve([&] {
    int fd = ConnectLoopback(Server.ServerSocket1->Port());
    SendAll(fd, "GET /big.bin HTTP/1.0\n\n");
    // Let the server fill the connection and wait on it before anything is read; then take
    // the first part in small bites, so the server resumes many times.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char buf[4096];
    for (;;) {
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, 5000) <= 0) break;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        closed = true;
        break;
      }
      got.append(buf, static_cast<size_t>(n));
      if (got.size() < 1024 * 1024) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    close(fd);
  });
  const std::string head = Wire("HTTP/1.0 200 OK\nContent-Type: application/octet-stream\n");
  ASSERT_EQ(got.compare(0, head.size(), head), 0);
  const std::string end = Wire("Content-Length: " + std::to_string(data.size()) + "\n\n");
  size_t bodyAt = got.find(end);
  ASSERT_NE(bodyAt, std::string::npos);
  bodyAt += end.size();
  EXPECT_TRUE(got.substr(bodyAt) == data) << "body of " << got.size() - bodyAt << " bytes";
  EXPECT_TRUE(closed);  // HTTP/1.0 without keep-alive, closed after the last byte
}

TEST_F(ServerTest, BannedAddressIsClosedAtOnce) {
  Server.UIPF = true;
  Server.LC = true;
  Server.WrongIPs = {"10.*.*.*", "127.*.*.*"};
  bool closed = false;
  int port = 0;
  Serve([&] {
    int fd = ConnectLoopback(Server.ServerSocket1->Port());
    port = LocalPort(fd);
    closed = PeerClosed(fd);
    close(fd);
  });
  EXPECT_TRUE(closed);
  EXPECT_EQ(Server.BannedCount, 1);
  EXPECT_EQ(Server.ConnectCount, 0);
  EXPECT_EQ(Server.Parsers->Count(), 0);
  std::string log = Log();
  EXPECT_NE(log.find("127.0.0.1:" + std::to_string(port) + " DISCONNECTED at "), std::string::npos)
      << log;
  EXPECT_EQ(log.find(" CONNECTED at "), std::string::npos);
}

TEST_F(ServerTest, ConnectionAndRequestRecords) {
  Server.LC = true;
  Server.LF = true;
  Server.LD = true;
  int port = 0;
  Serve([&] {
    int fd = ConnectLoopback(Server.ServerSocket1->Port());
    port = LocalPort(fd);
    SendAll(fd, "GET /a.txt HTTP/1.1\n\n");
    ReadAtLeast(fd, Head("text/plain", 5).size() + 5);
    close(fd);
  });
  const std::string who = "127.0.0.1:" + std::to_string(port);
  PumpUntil([&] { return Log().find(who + " DISCONNECTED at ") != std::string::npos; });
  std::string log = Log();
  size_t connected = log.find(who + " CONNECTED at ");
  size_t request = log.find(who + " on ");
  size_t local = log.find("Local path: " + Docs.Path() + "/a.txt\n");
  size_t head =
      log.find("ResponceString==HTTP/1.1 200 OK\n\nResponceHead==Content-Type: text/plain\n");
  size_t disconnected = log.find(who + " DISCONNECTED at ");
  ASSERT_NE(connected, std::string::npos) << log;
  ASSERT_NE(request, std::string::npos) << log;
  ASSERT_NE(local, std::string::npos) << log;
  ASSERT_NE(head, std::string::npos) << log;
  ASSERT_NE(disconnected, std::string::npos) << log;
  EXPECT_LT(connected, request);
  EXPECT_LT(request, local);
  EXPECT_LT(local, head);
  EXPECT_LT(head, disconnected);
  EXPECT_NE(log.find(" with GET requested /a.txt\n", request), std::string::npos);
  EXPECT_EQ(Server.ConnectCount, 1);
  EXPECT_EQ(Server.RequestCount, 1);
  EXPECT_EQ(Server.Parsers->Count(), 0);
}

}  // namespace
