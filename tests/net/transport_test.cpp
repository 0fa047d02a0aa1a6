// The socket transport on a loopback port: whole and ordered output, closing behind a stream,
// resets, and the rule that a connection object outlives its last event.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/ServerSocket.h"
#include "platform/Streams.h"
#include "support/TestSupport.h"

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

// A stream that says when the transport lets it go.
class TWatchedStream : public TStringStream {
 public:
  TWatchedStream(std::string data, bool& destroyed)
      : TStringStream(std::move(data)), FDestroyed(destroyed) {}
  ~TWatchedStream() override { FDestroyed = true; }

 private:
  bool& FDestroyed;
};

struct TEventLog {
  int Connects = 0, Reads = 0, Disconnects = 0;
  std::vector<int> Errors;
  std::vector<std::string> Order;  // "connect", "read", "disconnect", "error"
};

class TransportTest : public ::testing::Test {
 protected:
  TServerSocket Server{0};
  TEventLog Events;
  std::function<void(TCustomWinSocket*)> OnRead;
  std::function<void(TCustomWinSocket*)> OnConnect;

  void SetUp() override {
    Server.OnClientConnect = [this](TCustomWinSocket* s) {
      Events.Connects++;
      Events.Order.push_back("connect");
      if (OnConnect) OnConnect(s);
    };
    Server.OnClientRead = [this](TCustomWinSocket* s) {
      Events.Reads++;
      Events.Order.push_back("read");
      if (OnRead) OnRead(s);
    };
    Server.OnClientDisconnect = [this](TCustomWinSocket*) {
      Events.Disconnects++;
      Events.Order.push_back("disconnect");
    };
    Server.OnClientError = [this](TCustomWinSocket*, TErrorEvent, int& code) {
      Events.Errors.push_back(code);
      Events.Order.push_back("error");
      code = 0;
    };
  }

  // Serves until done() holds or the time is up.
  void PumpUntil(const std::function<bool()>& done, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < end) Server.ProcessEvents(10);
  }

  // Runs a blocking client on its own thread while this thread serves.
  // From the client thread: waits until the server has accepted.
  void AwaitAccept() {
    for (int i = 0; i < 200 && Events.Connects == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  // Ends the connection with a reset instead of a FIN.
  static void CloseWithReset(int fd) {
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
  }

  void WithClient(const std::function<void()>& client, int ms = 10000) {
    std::atomic<bool> finished{false};
    std::thread t([&] {
      client();
      finished = true;
    });
    PumpUntil([&] { return finished.load(); }, ms);
    t.join();
    // Let the server see what the client did last.
    Server.ProcessEvents(20);
  }

  // Reads everything available from the socket and returns it.
  static std::string Drain(TCustomWinSocket* s) {
    std::string got;
    char buf[4096];
    while (s->AvailableBytes() > 0) {
      int m = s->ReadBytes(buf, sizeof buf);
      if (m <= 0) break;
      got.append(buf, static_cast<size_t>(m));
    }
    return got;
  }
};

// Reads slowly from a small receive window so the server has to wait for write readiness.
std::string SlowRead(int fd, size_t want) {
  std::string out;
  char buf[8192];
  while (out.size() < want) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 3000) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  return out;
}

int SlowClient(int port) {
  int fd = ConnectLoopback(port);
  int small = 32768;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  return fd;
}

enum class TBodyKind { Text, StringStream, FileStream };

TEST_F(TransportTest, LargeResponseArrivesWholeAtSlowClient) {
  const std::string body = Pattern(400 * 1024);
  TempDir dir;
  WriteFile(dir / "big.bin", body);
  for (TBodyKind kind : {TBodyKind::Text, TBodyKind::StringStream, TBodyKind::FileStream}) {
    SCOPED_TRACE(static_cast<int>(kind));
    OnRead = [&](TCustomWinSocket* s) {
      Drain(s);
      if (kind == TBodyKind::Text) s->WriteText(body);
      if (kind == TBodyKind::StringStream) s->WriteStream(std::make_unique<TStringStream>(body));
      if (kind == TBodyKind::FileStream) s->WriteStream(TFileStream::OpenRead(dir / "big.bin"));
    };
    std::string got;
    WithClient([&] {
      int fd = SlowClient(Server.Port());
      SendAll(fd, "go");
      got = SlowRead(fd, body.size());
      close(fd);
    });
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body);
  }
}

TEST_F(TransportTest, WritesBehindAStreamKeepTheirOrder) {
  const std::string file = Pattern(300 * 1024);
  TempDir dir;
  WriteFile(dir / "f.bin", file);
  OnRead = [&](TCustomWinSocket* s) {
    Drain(s);
    s->WriteText("HEAD-1\n");
    s->WriteStream(TFileStream::OpenRead(dir / "f.bin"));
    s->WriteText("HEAD-2\n");
    s->WriteStream(std::make_unique<TStringStream>("second body"));
    s->WriteText("TAIL");
  };
  const std::string expected = "HEAD-1\n" + file + "HEAD-2\nsecond bodyTAIL";
  std::string got;
  WithClient([&] {
    int fd = SlowClient(Server.Port());
    SendAll(fd, "x");
    got = SlowRead(fd, expected.size());
    close(fd);
  });
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

TEST_F(TransportTest, StreamStartsAtItsPositionAndSkipsNothing) {
  TempDir dir;
  WriteFile(dir / "f.bin", "0123456789");
  OnRead = [&](TCustomWinSocket* s) {
    Drain(s);
    auto f = TFileStream::OpenRead(dir / "f.bin");
    f->SetPosition(4);
    s->WriteStream(std::move(f));
    s->WriteText("|");
  };
  std::string got;
  WithClient([&] {
    int fd = ConnectLoopback(Server.Port());
    SendAll(fd, "x");
    got = ReadAtLeast(fd, 7);
    close(fd);
  });
  EXPECT_EQ(got, "456789|");
}

TEST_F(TransportTest, CloseDuringStreamSendsItAllThenCloses) {
  const std::string body = Pattern(600 * 1024);
  bool destroyed = false;
  bool destroyedBeforeDisconnect = false;
  Server.OnClientDisconnect = [&](TCustomWinSocket* s) {
    Events.Disconnects++;
    destroyedBeforeDisconnect = destroyed;
    // Raised just before the socket is shut: the peer is still known.
    EXPECT_EQ(s->PeerAddress(), "127.0.0.1");
  };
  OnRead = [&](TCustomWinSocket* s) {
    Drain(s);
    s->WriteText("H:");
    s->WriteStream(std::make_unique<TWatchedStream>(body, destroyed));
    s->Close();
    EXPECT_EQ(Events.Disconnects, 0) << "disconnect must wait for the last byte";
  };
  std::string got;
  WithClient([&] {
    int fd = SlowClient(Server.Port());
    SendAll(fd, "x");
    got = ReadUntilClose(fd);
    close(fd);
  });
  EXPECT_TRUE(got == "H:" + body);
  EXPECT_EQ(Events.Disconnects, 1);
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(destroyedBeforeDisconnect);
  EXPECT_TRUE(Events.Errors.empty());
  EXPECT_EQ(Server.ActiveConnections(), 0);
}

// A file cut short by another program while it goes out: the bytes that exist, then the end
// of the connection; nothing queued behind may pass for the rest of its body.
TEST_F(TransportTest, FileThatShrinksWhileSentEndsTheConnection) {
  const std::string body = Pattern(16 << 20);
  constexpr size_t kLeft = 12 << 20;  // more than the connection can hold unread
  TempDir dir;
  WriteFile(dir / "f.bin", body);
  OnRead = [&](TCustomWinSocket* s) {
    Drain(s);
    s->WriteStream(TFileStream::OpenRead(dir / "f.bin"));
    s->WriteText("NEXT ANSWER");
  };
  std::string got;
  WithClient([&] {
    int fd = SlowClient(Server.Port());
    SendAll(fd, "x");
    got = ReadAtLeast(fd, 64 * 1024);
    EXPECT_EQ(truncate((dir / "f.bin").c_str(), kLeft), 0);
    got += ReadUntilClose(fd);
    close(fd);
  });
  EXPECT_EQ(got.size(), kLeft);
  EXPECT_TRUE(got == body.substr(0, kLeft));
  EXPECT_EQ(Events.Disconnects, 1);
  EXPECT_TRUE(Events.Errors.empty());
  EXPECT_EQ(Server.ActiveConnections(), 0);
}

TEST_F(TransportTest, CloseWithNothingQueuedRaisesDisconnectInside) {
  bool insideClose = false;
  int seenInside = -1;
  Server.OnClientDisconnect = [&](TCustomWinSocket*) {
    Events.Disconnects++;
    seenInside = insideClose ? 1 : 0;
  };
  OnRead = [&](TCustomWinSocket* s) {
    Drain(s);
    insideClose = true;
    s->Close();
    insideClose = false;
    // The object stays valid until this handler returns, but it is closed.
    EXPECT_EQ(s->AvailableBytes(), 0);
    EXPECT_EQ(s->PeerAddress(), "");
    EXPECT_EQ(s->PeerPort(), 0);
    s->WriteText("ignored");
    s->Close();
  };
  std::string got = "unset";
  WithClient([&] {
    int fd = ConnectLoopback(Server.Port());
    SendAll(fd, "x");
    got = ReadUntilClose(fd);
    SendAll(fd, "more after close");
    close(fd);
  });
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(got, "");
  EXPECT_EQ(seenInside, 1);
  EXPECT_EQ(Events.Disconnects, 1);
  EXPECT_EQ(Events.Reads, 1) << "no event after the close";
  EXPECT_TRUE(Events.Errors.empty());
}

TEST_F(TransportTest, PeerResetGivesOneErrorAndNothingElse) {
  WithClient([&] {
    int fd = ConnectLoopback(Server.Port());
    AwaitAccept();  // so the reset hits an open connection
    CloseWithReset(fd);
  });
  PumpUntil([&] { return !Events.Errors.empty(); }, 2000);
  PumpUntil([] { return false; }, 100);
  ASSERT_EQ(Events.Errors.size(), 1u);
  EXPECT_EQ(Events.Errors[0], 10054);
  EXPECT_EQ(Events.Disconnects, 0);
  EXPECT_EQ(Events.Reads, 0);
  EXPECT_EQ(Server.ActiveConnections(), 0);
}

// Reset before the server read anything: the read taken right after the accept fails, and that
// is still the peer's reset, not a failed read of the handler's.
TEST_F(TransportTest, ResetBeforeTheFirstReadGivesOneErrorAndNothingElse) {
  // The handshake completes in the kernel's queue: the reset comes before the accept.
  CloseWithReset(ConnectLoopback(Server.Port()));
  PumpUntil([&] { return !Events.Errors.empty() || Events.Disconnects > 0; }, 2000);
  ASSERT_EQ(Events.Connects, 1);
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(Events.Errors, std::vector<int>{10054});
  EXPECT_EQ(Events.Disconnects, 0);
  EXPECT_EQ(Server.ActiveConnections(), 0);
}

// The peer is known while the connection lives; once it reset the connection, no longer.
TEST_F(TransportTest, PeerIsKnownUntilItResets) {
  std::string atConnect;
  std::string atError = "unset";
  Server.OnClientConnect = [&](TCustomWinSocket* s) {
    Events.Connects++;
    atConnect = s->PeerAddress() + ":" + std::to_string(s->PeerPort());
  };
  Server.OnClientError = [&](TCustomWinSocket* s, TErrorEvent, int& code) {
    Events.Errors.push_back(code);
    atError = s->PeerAddress() + ":" + std::to_string(s->PeerPort());
    code = 0;
  };
  int clientPort = 0;
  WithClient([&] {
    int fd = ConnectLoopback(Server.Port());
    sockaddr_in own{};
    socklen_t len = sizeof own;
    getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len);
    clientPort = ntohs(own.sin_port);
    AwaitAccept();
    CloseWithReset(fd);
  });
  PumpUntil([&] { return !Events.Errors.empty(); }, 2000);
  EXPECT_EQ(atConnect, "127.0.0.1:" + std::to_string(clientPort));
  ASSERT_EQ(Events.Errors.size(), 1u);
  EXPECT_EQ(atError, ":0");
}

// Clients that leave, politely or by reset, while files stream to them: every connection is
// cleaned up and the process survives (sendfile cannot be told MSG_NOSIGNAL).
TEST_F(TransportTest, ClientsLeavingDuringFileStreamsAreErrorsNotACrash) {
  TempDir dir;
  WriteFile(dir / "big.bin", Pattern(2 * 1024 * 1024));
  OnRead = [&](TCustomWinSocket* s) {
    Drain(s);
    s->WriteText("HTTP/1.1 200 OK\n\n");
    s->WriteStream(TFileStream::OpenRead(dir / "big.bin"));
  };
  constexpr int kClients = 40;
  WithClient([&] {
    for (int i = 0; i < kClients; ++i) {
      int fd = ConnectLoopback(Server.Port());
      SendAll(fd, "GET");
      ReadAtLeast(fd, static_cast<size_t>(i % 4) * 16384 + 1, 500);
      SendAll(fd, "GET");
      if (i % 2)
        CloseWithReset(fd);
      else
        close(fd);
    }
  });
  PumpUntil([&] { return Server.ActiveConnections() == 0; }, 5000);
  EXPECT_EQ(Server.ActiveConnections(), 0);
  EXPECT_EQ(Events.Connects, kClients);
}

TEST_F(TransportTest, PeerCloseGivesOneDisconnect) {
  WithClient([&] {
    int fd = ConnectLoopback(Server.Port());
    SendAll(fd, "bye");
    close(fd);
  });
  OnRead = [](TCustomWinSocket* s) { Drain(s); };
  PumpUntil([&] { return Events.Disconnects > 0; }, 2000);
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(Events.Disconnects, 1);
  EXPECT_TRUE(Events.Errors.empty());
  EXPECT_EQ(Events.Order.front(), "connect");
  EXPECT_EQ(Events.Order.back(), "disconnect");
}

TEST_F(TransportTest, HalfClosedClientStillGetsItsAnswer) {
  const std::string body = Pattern(200 * 1024);
  OnRead = [&](TCustomWinSocket* s) {
    Drain(s);
    s->WriteStream(std::make_unique<TStringStream>(body));
  };
  std::string got;
  WithClient([&] {
    int fd = SlowClient(Server.Port());
    SendAll(fd, "request");
    shutdown(fd, SHUT_WR);
    got = ReadUntilClose(fd);
    close(fd);
  });
  EXPECT_TRUE(got == body);
  EXPECT_EQ(Events.Disconnects, 1);
}

TEST_F(TransportTest, ConnectionStaysOpenAfterStreamForTheNextRequest) {
  int served = 0;
  OnRead = [&](TCustomWinSocket* s) {
    std::string req = Drain(s);
    served++;
    s->WriteStream(std::make_unique<TStringStream>("answer to " + req + ";"));
  };
  std::string first, second;
  WithClient([&] {
    int fd = ConnectLoopback(Server.Port());
    SendAll(fd, "one");
    first = ReadAtLeast(fd, 14);
    SendAll(fd, "two");
    second = ReadAtLeast(fd, 14);
    close(fd);
  });
  EXPECT_EQ(first, "answer to one;");
  EXPECT_EQ(second, "answer to two;");
  EXPECT_EQ(served, 2);
}

// A request that arrives while a long answer still waits for the client is read once the answer
// has drained, although nothing more arrives after it.
TEST_F(TransportTest, RequestArrivingBehindALongAnswerIsReadWhenItDrains) {
  const std::string big = Pattern(size_t{12} << 20);  // beyond what the kernel buffers
  OnRead = [&](TCustomWinSocket* s) {
    const std::string req = Drain(s);
    s->WriteText(req == "big" ? big : "answer to " + req + ";");
  };
  std::string got;
  WithClient([&] {
    int fd = SlowClient(Server.Port());
    SendAll(fd, "big");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    SendAll(fd, "next");
    got = SlowRead(fd, big.size() + 15);
    close(fd);
  });
  ASSERT_EQ(got.size(), big.size() + 15);
  EXPECT_TRUE(got.compare(0, big.size(), big) == 0);
  EXPECT_EQ(got.substr(big.size()), "answer to next;");
}

TEST_F(TransportTest, FailedWriteGivesErrorThenDisconnectOnce) {
  // The client vanishes while a long body is going out.
  OnRead = [&](TCustomWinSocket* s) {
    Drain(s);
    s->WriteStream(std::make_unique<TStringStream>(Pattern(8 << 20)));
  };
  WithClient([&] {
    int fd = SlowClient(Server.Port());
    SendAll(fd, "x");
    ReadAtLeast(fd, 1000);
    CloseWithReset(fd);
  });
  PumpUntil([&] { return !Events.Errors.empty(); }, 3000);
  PumpUntil([] { return false; }, 100);
  ASSERT_EQ(Events.Errors.size(), 1u);
  EXPECT_TRUE(Events.Errors[0] == 10054 || Events.Errors[0] == 10053) << Events.Errors[0];
  EXPECT_LE(Events.Disconnects, 1);
  // Nothing follows the connection's last event.
  const std::string& last = Events.Order.back();
  EXPECT_TRUE(last == "error" || last == "disconnect");
  EXPECT_EQ(Server.ActiveConnections(), 0);
}

TEST_F(TransportTest, OutOfDescriptorsPausesAcceptingInsteadOfSpinning) {
  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(ConnectLoopback(Server.Port()));
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  int highest = dup(0);
  close(highest);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highest);  // no descriptor left for accept
  setrlimit(RLIMIT_NOFILE, &tight);
  Server.ProcessEvents(50);
  pollfd pfd{Server.EpollFd(), POLLIN, 0};
  int readyWhileStarved = poll(&pfd, 1, 0);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(readyWhileStarved, 0) << "the listener must not keep the loop busy";
  EXPECT_EQ(Events.Connects, 0);
  PumpUntil([&] { return Events.Connects == 3; }, 3000);
  EXPECT_EQ(Events.Connects, 3);
  for (int fd : clients) close(fd);
}

// What one connection read ahead waits in a buffer all connections share; another connection
// reading ahead first (a handler's nested loop) must not lose or mix it.
TEST_F(TransportTest, ReadAheadSurvivesAnotherConnectionReadingFirst) {
  std::vector<TCustomWinSocket*> sockets;
  OnConnect = [&](TCustomWinSocket* s) { sockets.push_back(s); };
  std::vector<std::string> got;
  OnRead = [&](TCustomWinSocket* s) {
    if (!got.empty() || sockets.size() != 2) return;
    TCustomWinSocket* other = sockets[0] == s ? sockets[1] : sockets[0];
    ASSERT_GT(other->AvailableBytes(), 0);
    got.push_back(Drain(s));
    got.push_back(Drain(other));
  };
  // Both requests wait before either connection is accepted, so the first connection's read
  // ahead is still unread when the second one reads.
  const int one = ConnectLoopback(Server.Port());
  const int two = ConnectLoopback(Server.Port());
  SendAll(one, "first");
  SendAll(two, "second");
  PumpUntil([&] { return !got.empty(); });
  ASSERT_EQ(got.size(), 2u);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"first", "second"}));
  close(one);
  close(two);
}

TEST(TransportOpen, BusyPortThrowsTheSocketErrorText) {
  TServerSocket first(0);
  try {
    TServerSocket second(first.Port());
    FAIL() << "second listener on a busy port";
  } catch (const ESocketError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Windows socket error: Address already in use (10048), on API 'bind'");
  }
}

TEST(TransportCodes, ErrnoMapsToWinsockNumbers) {
  struct {
    int err, code;
  } rows[] = {{ECONNRESET, 10054}, {ECONNABORTED, 10053},  {EPIPE, 10053},
              {ETIMEDOUT, 10060},  {ECONNREFUSED, 10061},  {EACCES, 10013},
              {EADDRINUSE, 10048}, {EADDRNOTAVAIL, 10049}, {ENOTCONN, 10057},
              {EMFILE, 10024},     {EWOULDBLOCK, 10035},   {EIO, 10000 + EIO}};
  for (auto& r : rows) EXPECT_EQ(WinSockErrorCode(r.err), r.code) << r.err;
}

}  // namespace
