// The whole server on a loopback port with small limits: clients that never read their answers,
// clients that hold connections, and running out of descriptors.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/ServerCore.h"
#include "support/ServerFixture.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A client whose receive window is small from the start, so that what it does not read stays
// with the server instead of in its own buffer.
int ConnectSmallWindow(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when the peer has closed: the next read sees the end (or a reset), not a time-out.
bool PeerClosed(int fd, int timeoutMs) {
  char buf[4096];
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) return false;
    if (recv(fd, buf, sizeof buf, 0) <= 0) return true;
  }
}

class ConnectionLimits : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    WriteFile(Docs / "a.txt", "alpha");
  }
  TServerSocket& Socket() { return *Server.ServerSocket1; }

  void Pump(int ms) {
    auto limit = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < limit) Socket().ProcessEvents(10);
  }
};

// A client pipelines a thousand requests and reads nothing: the server stops dispatching for it
// at the limits (bytes for text answers, open files for file answers), keeps the requests it
// has, and answers every one of them in order once the client reads.
TEST_F(ConnectionLimits, ClientThatNeverReadsIsHeldToTheOutputLimits) {
  std::string listing;
  mkdir((Docs / "many").c_str(), 0755);
  for (int i = 0; i < 200; ++i) WriteFile(Docs / ("many/entry-" + std::to_string(i) + ".txt"), "x");
  // Small files: four of them stay below the byte limit, so the count of open files is what binds.
  WriteFile(Docs / "small.bin", std::string(8192, 's'));
  Socket().MaxUnsentBytes = 64 * 1024;
  Socket().MaxQueuedStreams = 4;
  struct Row {
    const char* target;
    int requests;
  } rows[] = {{"/many/", 400}, {"/small.bin", 1500}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    const int before = Server.RequestCount;
    const int descriptorsBefore = OpenDescriptors();
    std::string request = std::string("GET ") + row.target + " HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string all;
    for (int i = 0; i < row.requests; ++i) all += request;
    int fd = -1;
    Serve([&] {
      fd = ConnectSmallWindow(Socket().Port());
      SendAll(fd, all);
    });
    int peakDescriptors = 0;
    for (int i = 0; i < 30; ++i) {
      Socket().ProcessEvents(10);
      peakDescriptors = std::max(peakDescriptors, OpenDescriptors());
    }
    const int dispatched = Server.RequestCount - before;
    EXPECT_LT(dispatched, row.requests / 2)
        << "dispatching went on for a client that reads nothing";
    EXPECT_LT(peakDescriptors - descriptorsBefore, 12) << "queued answers hold open files";
    std::string got;
    Serve([&] {
      got = ReadAtLeast(fd, 1, 3000);
      for (;;) {
        std::string more = ReadAtLeast(fd, 1 << 20, 300);
        if (more.empty()) break;
        got += more;
      }
      close(fd);
    });
    EXPECT_EQ(Occurrences(got, "HTTP/1.1 200 OK"), row.requests);
    EXPECT_EQ(Server.RequestCount - before, row.requests);
    if (listing.empty()) listing = got.substr(0, got.find("HTTP/1.1 200 OK", 1));
  }
  // Every answer whole: the held requests were scanned again from where they stopped.
  EXPECT_GT(listing.size(), 200u * 20);
}

// Each way of holding a connection ends in a close with its disconnect record, never before its
// time; a body that keeps coming, however slowly, is not cut.
TEST_F(ConnectionLimits, ClientsThatHoldConnectionsAreClosedInTime) {
  WriteFile(Docs / "big.bin", std::string(8 << 20, 'b'));
  Socket().HeadTimeoutMs = 300;
  Socket().BodyTimeoutMs = 300;
  Socket().IdleTimeoutMs = 400;
  Server.LC = true;
  struct Row {
    const char* name;
    int expectedMs;
    std::function<void(int fd)> act;  // what the client does before waiting for the close
  } rows[] = {
      {"head dripped a byte at a time", 300,
       [](int fd) {
         SendAll(fd, "GET /a.txt HTTP/1.1\r\n");
         for (int i = 0; i < 6; ++i) {
           std::this_thread::sleep_for(std::chrono::milliseconds(100));
           SendAll(fd, "X");
         }
       }},
      {"body that stops", 300,
       [](int fd) { SendAll(fd, "POST /a.txt HTTP/1.1\r\nContent-Length: 10\r\n\r\n12"); }},
      {"keep-alive connection left idle", 400,
       [](int fd) {
         SendAll(fd, "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
         ReadAtLeast(fd, 5);
       }},
      {"connection that never sends", 400, [](int) {}},
      {"answer the client never takes", 400,
       [](int fd) { SendAll(fd, "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const int disconnects = Occurrences(Log(), " DISCONNECTED at ");
    long elapsedMs = -1;
    bool closed = false;
    Serve([&] {
      int fd = ConnectSmallWindow(Socket().Port());
      auto start = Clock::now();
      row.act(fd);
      if (std::string(row.name).find("never takes") != std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(row.expectedMs + 1000));
        // Shut before it read everything: what arrives after that counts as the close.
        closed = Occurrences(Log(), " DISCONNECTED at ") > disconnects;
        elapsedMs = row.expectedMs;
      } else {
        closed = PeerClosed(fd, 5000);
        elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      }
      close(fd);
    });
    EXPECT_TRUE(closed);
    EXPECT_GE(elapsedMs, row.expectedMs - 50) << "closed before its time";
    Pump(50);
    EXPECT_EQ(Occurrences(Log(), " DISCONNECTED at "), disconnects + 1);
  }

  // Body bytes every 150 ms for well over the body time-out: progress, so it is answered.
  std::string answer;
  Serve([&] {
    int fd = ConnectLoopback(Socket().Port());
    SendAll(fd, "POST /a.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 6\r\n\r\n");
    for (int i = 0; i < 6; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      SendAll(fd, "y");
    }
    answer = ReadAtLeast(fd, 12);
    close(fd);
  });
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
}

// With no descriptor left, the longest-idle keep-alive connections go first and the new client
// is answered; younger idle connections stay.
TEST_F(ConnectionLimits, OutOfDescriptorsTheLongestIdleMakeRoom) {
  Socket().EvictOnShortage = 2;
  Server.LC = true;
  std::vector<int> idle;
  Serve([&] {
    for (int i = 0; i < 3; ++i) {
      int fd = ConnectLoopback(Socket().Port());
      SendAll(fd, "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
      ReadAtLeast(fd, 5);
      idle.push_back(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  Pump(50);
  int newcomer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  int lowest = dup(0);
  close(lowest);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest);  // not one descriptor free
  setrlimit(RLIMIT_NOFILE, &tight);
  std::string answer;
  Serve([&] {
    sockaddr_in addr = Loopback(Socket().Port());
    connect(newcomer, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    SendAll(newcomer, "GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    answer = ReadUntilClose(newcomer, 3000);
  });
  setrlimit(RLIMIT_NOFILE, &saved);
  close(newcomer);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
  EXPECT_EQ(answer.substr(answer.size() - 5), "alpha");
  EXPECT_TRUE(PeerClosed(idle[0], 1000));
  EXPECT_TRUE(PeerClosed(idle[1], 1000));
  EXPECT_FALSE(PeerClosed(idle[2], 200)) << "only as many as were needed";
  for (int fd : idle) close(fd);
  Pump(50);
  EXPECT_GE(Occurrences(Log(), " DISCONNECTED at "), 3) << "the evicted ones are logged";
}

// Many clients that never read, each holding answers below its own limit: together they are held
// to the server's total, and a client that reads is still answered meanwhile.
TEST_F(ConnectionLimits, ClientsThatNeverReadAreHeldToATotal) {
  WriteFile(Docs / "big.bin", std::string(1 << 20, 'b'));
  Socket().MaxUnsentBytes = 8 << 20;
  Socket().MaxUnsentTotal = 8 << 20;
  const int clients = 30;
  std::string pipelined;
  for (int i = 0; i < 40; ++i) pipelined += "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n";
  const int before = Server.RequestCount;
  std::vector<int> held;
  Serve([&] {
    for (int i = 0; i < clients; ++i) {
      int fd = ConnectSmallWindow(Socket().Port());
      SendAll(fd, pipelined);
      held.push_back(fd);
    }
  });
  Pump(300);
  const int dispatched = Server.RequestCount - before;
  std::string answer;
  Serve([&] {
    int fd = ConnectLoopback(Socket().Port());
    SendAll(fd, "GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    answer = ReadUntilClose(fd, 3000);
    close(fd);
  });
  for (int fd : held) close(fd);
  Pump(50);
  // Each client's own limit alone lets some eleven answers of 1 MiB wait per client; the total
  // lets eight wait in all, beside what the kernel holds for each client.
  EXPECT_LT(dispatched, 4 * clients) << "each client held to its own limit only";
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
}

// At the descriptor limit, room for the new client's socket is not room for what its request
// opens: a file or folder that cannot be opened for lack of descriptors makes room again and is
// tried once more. Connections that sent only part of a head are evicted too.
TEST_F(ConnectionLimits, OutOfDescriptorsTheNewClientsRequestIsServed) {
  WriteFile(Docs / "b.txt", "bravo");
  mkdir((Docs / "many").c_str(), 0755);
  for (int i = 0; i < 20; ++i) WriteFile(Docs / ("many/entry-" + std::to_string(i)), "x");
  mkdir((Docs / "other").c_str(), 0755);
  Socket().EvictOnShortage = 1;
  std::vector<int> partial;
  Serve([&] {
    // Served once before the limit, so that the sanitizers' own first looks at these paths
    // (which open files) are not made at it.
    for (const char* target : {"/a.txt", "/other/"}) {
      int fd = ConnectLoopback(Socket().Port());
      SendAll(fd, std::string("GET ") + target + " HTTP/1.1\r\nConnection: close\r\n\r\n");
      ReadUntilClose(fd, 3000);
      close(fd);
    }
    for (int i = 0; i < 4; ++i) {
      int fd = ConnectLoopback(Socket().Port());
      SendAll(fd, "GET /a.txt HTTP/1.1\r\n");
      partial.push_back(fd);
    }
  });
  Pump(50);
  const char* targets[] = {"/b.txt", "/many/"};
  int newcomers[2];
  for (int& fd : newcomers) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Not one descriptor free: every free number below the highest open one is taken, and the
  // limit stops above it, so that what an eviction frees can be used again.
  int highest = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) highest = std::max(highest, std::atoi(e->d_name));
    closedir(d);
  }
  std::vector<int> fillers;
  for (int fd = dup(0); fd >= 0; fd = dup(0)) {
    if (fd > highest) {
      close(fd);
      break;
    }
    fillers.push_back(fd);
  }
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highest + 1);
  setrlimit(RLIMIT_NOFILE, &tight);
  std::vector<std::string> answers;
  for (int i = 0; i < 2; ++i) {
    Serve([&] {
      sockaddr_in addr = Loopback(Socket().Port());
      connect(newcomers[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      SendAll(newcomers[i], std::string("GET ") + targets[i] +
                                " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
      answers.push_back(ReadUntilClose(newcomers[i], 3000));
    });
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  for (int fd : fillers) close(fd);
  for (int fd : newcomers) close(fd);
  for (int fd : partial) close(fd);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].rfind("HTTP/1.1 200 OK", 0), 0u) << answers[0];
  EXPECT_NE(answers[0].find("\r\n\r\nbravo"), std::string::npos);
  EXPECT_EQ(answers[1].rfind("HTTP/1.1 200 OK", 0), 0u) << answers[1];
  EXPECT_NE(answers[1].find("entry-19"), std::string::npos) << answers[1];
}

}  // namespace
