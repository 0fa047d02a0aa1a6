// The socket transport over epoll: accepting, reading, queued writing with sendfile, and the
// event order the server's handlers rely on.
#include "net/ScktComp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <unordered_set>
#include <vector>

namespace {

// One connection may send this much per turn of the loop; more would let a single fast client
// hold every other connection up.
constexpr size_t kSendBudgetPerTurn = 2u << 20;
// Buffer for a stream that cannot go through sendfile; lives only while such a stream is sent.
constexpr int kStreamBufferBytes = 64 * 1024;
// How long accepting pauses after the descriptors ran out, so the loop never spins on a listening
// socket that stays readable.
constexpr long kAcceptPauseNs = 200 * 1000 * 1000;
constexpr int kMaxEventsPerTurn = 256;
// A stream whose end is only known when reading reaches it (text held in memory, a pipe).
constexpr int64_t kUnknownLength = INT64_MAX;
// Input thrown away before a connection is cut short; a client still sending more than this
// gets a reset, as it would from any close.
constexpr size_t kDiscardInputBytes = 256 * 1024;
// Output one read event may queue before the rest of what the client sent waits for the next
// turn: a client pipelining costly requests (folder listings) must not hold the loop that long.
constexpr int64_t kMaxQueuedPerRead = 128 * 1024;
// Texts queued one behind the other join into one send up to this size.
constexpr size_t kCoalesceBytes = 16 * 1024;
// The queue of connections whose answers are waiting for the client, beside the three queues
// of TClientWait.
constexpr int kWaitOutput = 3;
constexpr int kWaitQueues = 4;
constexpr int kNotWaiting = -1;

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string SocketErrorText(int err, const char* api) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "Windows socket error: %s (%d), on API '%s'", std::strerror(err),
                WinSockErrorCode(err), api);
  return buf;
}

std::string AsyncErrorText(int code) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Asynchronous socket error %d", code);
  return buf;
}

}  // namespace

int WinSockErrorCode(int err) {
  switch (err) {
    case ECONNRESET:
      return 10054;
    case ECONNABORTED:
    case EPIPE:
      return 10053;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EACCES:
      return 10013;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENOTCONN:
      return 10057;
    case EMFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
    default:
      return 10000 + err;
  }
}

// Markers in epoll's data field for the two descriptors that are not connections.
static char gListenTag;
static char gTimerTag;
static char gDeadlineTag;
static char gResumeTag;

// Output waiting on a connection; allocated only while something is queued, so an idle
// connection holds no buffers.
struct TOutItem {
  std::string Text;
  size_t Offset = 0;
  std::unique_ptr<TStream> Stream;
  bool NoSendfile = false;
  // Bytes of the stream still to go, taken once when it starts: -1 not yet taken. It also
  // spares the extra call that would only learn the end of the file.
  int64_t Remaining = -1;
  std::unique_ptr<char[]> Buffer;  // stream bytes read but not yet accepted by the peer
  int BufferLen = 0;
  int BufferOff = 0;
  int64_t Unsent = 0;    // what this item still counts toward the connection's unsent output
  bool Counted = false;  // a stream: counts toward the queued streams
};

class TServerClientWinSocket final : public TCustomWinSocket {
 public:
  TServerClientWinSocket(TServerSocket& server, int fd) : FServer(server), FFd(fd) {}
  ~TServerClientWinSocket() override {
    if (FFd >= 0) ::close(FFd);
  }

  int AvailableBytes() override;
  int ReadBytes(void* buffer, int count) override;
  void WriteText(const std::string& text) override;
  void WriteStream(std::unique_ptr<TStream> stream) override;
  void Close() override;
  std::string PeerAddress() override;
  int PeerPort() override;
  std::string PeerHostName() override;
  std::string OwnAddress() override;
  std::string OwnHostName() override;
  int OwnPort() override;

  // Sends what is queued, up to the per-turn budget; raises the events of a failure or of a
  // deferred close.
  void Flush();
  void HandleEvents(uint32_t events);
  // No events, reads or writes once the connection is being closed.
  bool Closed() const { return FClosed || FDying; }
  // Without any event (shut-down).
  void Drop();

  // Raises the read event unless one is running already.
  void DeliverRead();
  bool OutputFull() override;
  bool OverLimit() const;
  void WaitingFor(TClientWait what, bool restart) override;
  // Puts it in the time-out queue its state calls for; restart starts its clock again.
  void Rewait(bool restart);
  void Unwait();
  // Closes it with the disconnect event, whatever is still queued (a time-out, or room for a
  // new client).
  void CloseNow() { RaiseDisconnectAndShut(); }

  bool FFlushPending = false;
  bool FInRead = false;      // its read event is running
  bool FReadPaused = false;  // too much output waits: not read until it drains
  // Its place in one of the server's time-out queues, each in the order the clocks started.
  int FWaitQueue = kNotWaiting;
  int64_t FWaitSince = 0;
  TServerClientWinSocket* FWaitPrev = nullptr;
  TServerClientWinSocket* FWaitNext = nullptr;

 private:
  bool HasOutput() const { return FOut && !FOut->empty(); }
  void QueueFlush();
  void SetInterest(uint32_t mask);
  void UpdateInterest();
  // The error event (and, for a failed call, the disconnect event), then the descriptor goes.
  void FailCall(TErrorEvent kind, int err, const char* api);
  void FailNotification(TErrorEvent kind, int err);
  void RaiseDisconnectAndShut();
  void Shut();
  // false: would block or failed (a failure already raised its events).
  bool SendStream(TOutItem& item, size_t& budget);
  // The stream has given all it has; true (the item is done).
  bool EndStream(TOutItem& item);
  void DiscardInput();

  TServerSocket& FServer;
  int FFd;
  uint32_t FInterest = 0;
  bool FRegistered = false;
  bool FClosed = false;          // descriptor gone
  bool FDying = false;           // its last event is being delivered
  bool FCloseAfterSend = false;  // Close() came while output was queued
  bool FPeerClosed = false;      // the peer sent its FIN
  TClientWait FClientWait = cwNextRequest;
  bool FDrained = false;         // all that was there has been read: nothing until the next event
  int FLastAvailable = 0;        // what AvailableBytes last reported
  bool FAvailableFresh = false;  // nothing was read since: FLastAvailable still holds
  std::unique_ptr<std::deque<TOutItem>> FOut;
  int64_t FUnsentBytes = 0;
  int FQueuedStreams = 0;
  int64_t FQueuedThisRead = 0;  // output queued by the read event that is running

  void Account(TOutItem& item, size_t sent);
  void PopFront();
  void DiscardOutput();
};

struct TServerSocket::TImpl {
  std::unordered_set<TServerClientWinSocket*> Live;
  // Closed connections, freed once no event dispatch is running, so a handler's pointer stays
  // valid until it returns.
  std::vector<TServerClientWinSocket*> Dead;
  std::vector<TServerClientWinSocket*> PendingFlush;
  // Connections whose output drained below the limits: their read event comes again on the
  // next turn, after the other connections had theirs, so no client can keep the loop to
  // itself by reading fast. ResumeFd wakes the loop for them.
  std::vector<TServerClientWinSocket*> PendingResume;
  int ResumeFd = -1;
  int Depth = 0;
  int TimerFd = -1;
  bool AcceptPaused = false;
  struct TWaitQueue {
    TServerClientWinSocket* Head = nullptr;
    TServerClientWinSocket* Tail = nullptr;
  };
  TWaitQueue Waits[kWaitQueues];
  int DeadlineFd = -1;
  int64_t ArmedFor = 0;  // the deadline DeadlineFd is set to; 0: none
  // Held so that when the descriptors run out, the disconnect records of the connections closed
  // to make room can still be written.
  int ReserveFd = -1;

  int TimeoutOf(const TServerSocket& s, int queue) const {
    int ms = queue == cwRestOfHead   ? s.HeadTimeoutMs
             : queue == cwRestOfBody ? s.BodyTimeoutMs
                                     : s.IdleTimeoutMs;
    return ms > 0 ? ms : 1;
  }

  void FreeDead() {
    for (auto* c : Dead) delete c;
    Dead.clear();
  }
};

// ---- listening endpoint ----

TServerSocket::TServerSocket(int port) : FImpl(std::make_unique<TImpl>()) {
  // sendfile has no MSG_NOSIGNAL: a client that resets while a file goes out must cost us an
  // error event, not the process.
  ::signal(SIGPIPE, SIG_IGN);
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (FListen < 0) throw ESocketError(SocketErrorText(errno, "socket"));
  int one = 1;
  ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    ::close(FListen);
    throw ESocketError(SocketErrorText(err, "bind"));
  }
  if (::listen(FListen, SOMAXCONN) != 0) {
    int err = errno;
    ::close(FListen);
    throw ESocketError(SocketErrorText(err, "listen"));
  }
  socklen_t len = sizeof addr;
  if (::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    FPort = ntohs(addr.sin_port);
  else
    FPort = port;

  FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
  FImpl->TimerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  FImpl->DeadlineFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  FImpl->ResumeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FEpoll < 0 || FImpl->TimerFd < 0 || FImpl->DeadlineFd < 0 || FImpl->ResumeFd < 0) {
    int err = errno;
    if (FEpoll >= 0) ::close(FEpoll);
    if (FImpl->TimerFd >= 0) ::close(FImpl->TimerFd);
    if (FImpl->DeadlineFd >= 0) ::close(FImpl->DeadlineFd);
    if (FImpl->ResumeFd >= 0) ::close(FImpl->ResumeFd);
    ::close(FListen);
    throw ESocketError(SocketErrorText(err, "socket"));
  }
  FImpl->ReserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &gListenTag;
  ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FListen, &ev);
  ev.data.ptr = &gTimerTag;
  ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FImpl->TimerFd, &ev);
  ev.data.ptr = &gDeadlineTag;
  ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FImpl->DeadlineFd, &ev);
  ev.data.ptr = &gResumeTag;
  ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FImpl->ResumeFd, &ev);
}

TServerSocket::~TServerSocket() {
  for (auto* c : FImpl->Live) {
    c->Drop();
    delete c;
  }
  FImpl->Live.clear();
  FImpl->FreeDead();
  ::close(FImpl->TimerFd);
  ::close(FImpl->DeadlineFd);
  ::close(FImpl->ResumeFd);
  if (FImpl->ReserveFd >= 0) ::close(FImpl->ReserveFd);
  ::close(FEpoll);
  ::close(FListen);
}

int TServerSocket::ActiveConnections() const { return static_cast<int>(FImpl->Live.size()); }

void TServerSocket::ProcessEvents(int timeoutMs) {
  TImpl& impl = *FImpl;
  if (impl.Depth == 0) impl.FreeDead();
  epoll_event events[kMaxEventsPerTurn];
  int n = ::epoll_wait(FEpoll, events, kMaxEventsPerTurn, timeoutMs);
  if (n <= 0) return;
  // Whatever this turn does to the connections, the deadline timer is set for what it leaves.
  struct TArmGuard {
    TServerSocket& S;
    ~TArmGuard() { S.ArmDeadline(); }
  } arm{*this};

  // Keeps the nesting depth right and, when a handler throws, leaves queued output where the
  // next turn finds it.
  struct TDepthGuard {
    TServerSocket& S;
    explicit TDepthGuard(TServerSocket& s) : S(s) { ++S.FImpl->Depth; }
    ~TDepthGuard() {
      TImpl& im = *S.FImpl;
      --im.Depth;
      if (std::uncaught_exceptions() > 0) {
        for (auto* c : im.PendingFlush) {
          c->FFlushPending = false;
          if (!c->Closed()) c->HandleEvents(0);  // re-arms the write interest only
        }
        im.PendingFlush.clear();
      }
      if (im.Depth == 0) im.FreeDead();
    }
  } guard(*this);

  auto flushPending = [&impl] {
    while (!impl.PendingFlush.empty()) {
      std::vector<TServerClientWinSocket*> batch;
      batch.swap(impl.PendingFlush);
      for (size_t i = 0; i < batch.size(); ++i) {
        auto* c = batch[i];
        c->FFlushPending = false;
        if (c->Closed()) continue;
        try {
          c->Flush();
        } catch (...) {
          for (size_t j = i + 1; j < batch.size(); ++j) impl.PendingFlush.push_back(batch[j]);
          throw;
        }
      }
    }
  };

  for (int i = 0; i < n; ++i) {
    void* tag = events[i].data.ptr;
    if (tag == &gResumeTag) {
      uint64_t count;
      while (::read(impl.ResumeFd, &count, sizeof count) > 0) {
      }
      // Read events owed to connections whose output drained; one each, those owed again
      // meanwhile wait for the next turn.
      std::vector<TServerClientWinSocket*> batch;
      batch.swap(impl.PendingResume);
      for (auto* c : batch) {
        if (c->Closed() || c->FInRead || c->FReadPaused) continue;
        c->DeliverRead();
        if (!c->Closed() && !c->FFlushPending) c->HandleEvents(0);
        flushPending();
      }
      continue;
    }
    if (tag == &gDeadlineTag) {
      uint64_t ticks;
      while (::read(impl.DeadlineFd, &ticks, sizeof ticks) > 0) {
      }
      impl.ArmedFor = 0;
      ExpireWaits();
      flushPending();
      continue;
    }
    if (tag == &gTimerTag) {
      uint64_t ticks;
      while (::read(impl.TimerFd, &ticks, sizeof ticks) > 0) {
      }
      if (impl.AcceptPaused) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &gListenTag;
        ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FListen, &ev);
        impl.AcceptPaused = false;
      }
      continue;
    }
    if (tag == &gListenTag) {
      for (;;) {
        int fd = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
          int err = errno;
          if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
          // Out of descriptors: the longest-idle keep-alive connections make room, so that a
          // new client is still served.
          if ((err == EMFILE || err == ENFILE) && EvictIdle()) {
            flushPending();
            continue;
          }
          if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            // Out of descriptors: stop watching the listener for a moment instead of spinning.
            ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, FListen, nullptr);
            impl.AcceptPaused = true;
            itimerspec ts{};
            ts.it_value.tv_nsec = kAcceptPauseNs;
            ::timerfd_settime(impl.TimerFd, 0, &ts, nullptr);
          }
          break;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto* c = new TServerClientWinSocket(*this, fd);
        impl.Live.insert(c);
        c->HandleEvents(0);  // registers its read interest
        if (OnClientConnect) OnClientConnect(c);
        flushPending();
      }
      continue;
    }
    auto* c = static_cast<TServerClientWinSocket*>(tag);
    if (c->Closed()) continue;  // closed earlier in this turn
    c->HandleEvents(events[i].events);
    flushPending();
  }
  flushPending();
}

void TServerSocket::ExpireWaits() {
  TImpl& impl = *FImpl;
  const int64_t now = NowMs();
  for (int q = 0; q < kWaitQueues; ++q) {
    const int timeout = impl.TimeoutOf(*this, q);
    while (TServerClientWinSocket* c = impl.Waits[q].Head) {
      if (c->FWaitSince + timeout > now) break;
      if (c->FInRead) {
        // A modal box inside its read event: not now; its clock starts again.
        c->Rewait(true);
        continue;
      }
      c->CloseNow();
    }
  }
}

bool TServerSocket::EvictIdle() {
  TImpl& impl = *FImpl;
  int evicted = 0;
  for (TServerClientWinSocket* c = impl.Waits[cwNextRequest].Head;
       c && evicted < EvictOnShortage;) {
    TServerClientWinSocket* next = c->FWaitNext;
    if (!c->FInRead) {
      if (impl.ReserveFd >= 0) {
        ::close(impl.ReserveFd);
        impl.ReserveFd = -1;
      }
      c->CloseNow();
      ++evicted;
    }
    c = next;
  }
  if (impl.ReserveFd < 0) impl.ReserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return evicted > 0;
}

void TServerSocket::ArmDeadline() {
  TImpl& impl = *FImpl;
  int64_t earliest = 0;
  for (int q = 0; q < kWaitQueues; ++q) {
    if (TServerClientWinSocket* c = impl.Waits[q].Head) {
      int64_t due = c->FWaitSince + impl.TimeoutOf(*this, q);
      if (earliest == 0 || due < earliest) earliest = due;
    }
  }
  // A timer set too early only costs a look at the queue heads; one set too late would miss.
  if (earliest == 0 || (impl.ArmedFor != 0 && impl.ArmedFor <= earliest)) return;
  itimerspec ts{};
  ts.it_value.tv_sec = earliest / 1000;
  ts.it_value.tv_nsec = (earliest % 1000) * 1000000;
  ::timerfd_settime(impl.DeadlineFd, TFD_TIMER_ABSTIME, &ts, nullptr);
  impl.ArmedFor = earliest;
}

// ---- connection ----

void TServerClientWinSocket::SetInterest(uint32_t mask) {
  if (Closed() || (FRegistered && mask == FInterest)) return;
  epoll_event ev{};
  ev.events = mask;
  ev.data.ptr = this;
  ::epoll_ctl(FServer.FEpoll, FRegistered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, FFd, &ev);
  FRegistered = true;
  FInterest = mask;
}

void TServerClientWinSocket::HandleEvents(uint32_t events) {
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) FDrained = false;
  FAvailableFresh = false;
  if (events & EPOLLERR) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      FailNotification(eeGeneral, err);
      return;
    }
  }
  // While reading is paused, what the peer sent (its FIN too) waits until the output drains:
  // requests received before it are still to be answered.
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) && (!FReadPaused || (events & EPOLLHUP))) {
    if (!FPeerClosed && !FInRead && AvailableBytes() > 0) {
      DeliverRead();
      if (Closed()) return;
    }
    if (FInRead) {
      UpdateInterest();
      return;
    }
    if ((events & (EPOLLRDHUP | EPOLLHUP)) && AvailableBytes() == 0 && !FPeerClosed) {
      FPeerClosed = true;
      if (HasOutput()) {
        // A client that only half-closed still gets the answer it asked for.
        FCloseAfterSend = true;
      } else {
        RaiseDisconnectAndShut();
        return;
      }
    }
  }
  if ((events & EPOLLOUT) && HasOutput()) Flush();
  if (Closed()) return;
  // A flush already queued sets the interest itself once it knows what is left.
  if (!FFlushPending) UpdateInterest();
}

void TServerClientWinSocket::DeliverRead() {
  // A modal box opened inside a read event runs a nested loop; the connection must not get
  // a second read event on top of the one still running.
  if (FInRead || Closed()) return;
  FInRead = true;
  FQueuedThisRead = 0;
  struct TReset {
    bool& Flag;
    ~TReset() { Flag = false; }
  } reset{FInRead};
  if (FServer.OnClientRead) FServer.OnClientRead(this);
}

bool TServerClientWinSocket::OverLimit() const {
  return FUnsentBytes > static_cast<int64_t>(FServer.MaxUnsentBytes) ||
         FQueuedStreams >= FServer.MaxQueuedStreams ||
         (FInRead && FQueuedThisRead > kMaxQueuedPerRead);
}

bool TServerClientWinSocket::OutputFull() {
  // Whoever asks stops reading or dispatching for this connection: it is owed a read event
  // once the output drains, even if nothing new arrives.
  if (!OverLimit()) return false;
  FReadPaused = true;
  return true;
}

void TServerClientWinSocket::WaitingFor(TClientWait what, bool restart) {
  FClientWait = what;
  Rewait(restart);
}

void TServerClientWinSocket::Rewait(bool restart) {
  if (Closed()) {
    Unwait();
    return;
  }
  const int queue = HasOutput() ? kWaitOutput : static_cast<int>(FClientWait);
  if (queue == FWaitQueue && !restart) return;
  Unwait();
  auto& q = FServer.FImpl->Waits[queue];
  FWaitPrev = q.Tail;
  FWaitNext = nullptr;
  (q.Tail ? q.Tail->FWaitNext : q.Head) = this;
  q.Tail = this;
  FWaitQueue = queue;
  FWaitSince = NowMs();
}

void TServerClientWinSocket::Unwait() {
  if (FWaitQueue == kNotWaiting) return;
  auto& q = FServer.FImpl->Waits[FWaitQueue];
  (FWaitPrev ? FWaitPrev->FWaitNext : q.Head) = FWaitNext;
  (FWaitNext ? FWaitNext->FWaitPrev : q.Tail) = FWaitPrev;
  FWaitPrev = FWaitNext = nullptr;
  FWaitQueue = kNotWaiting;
}

void TServerClientWinSocket::Account(TOutItem& item, size_t sent) {
  const int64_t n = std::min<int64_t>(static_cast<int64_t>(sent), item.Unsent);
  item.Unsent -= n;
  FUnsentBytes -= n;
}

void TServerClientWinSocket::PopFront() {
  FUnsentBytes -= FOut->front().Unsent;
  if (FOut->front().Counted) --FQueuedStreams;
  FOut->pop_front();
}

void TServerClientWinSocket::DiscardOutput() {
  FOut.reset();
  FUnsentBytes = 0;
  FQueuedStreams = 0;
}

int TServerClientWinSocket::AvailableBytes() {
  if (Closed() || FDrained) return 0;
  if (FAvailableFresh) return FLastAvailable;
  int n = 0;
  if (::ioctl(FFd, FIONREAD, &n) != 0) return 0;
  FLastAvailable = n;
  FAvailableFresh = true;
  return n;
}

int TServerClientWinSocket::ReadBytes(void* buffer, int count) {
  if (Closed()) return -1;
  if (count <= 0) return 0;
  for (;;) {
    FAvailableFresh = false;
    ssize_t n = ::recv(FFd, buffer, static_cast<size_t>(count), 0);
    // Whatever arrives after the reader took all there was raises a new event (the interest is
    // level-triggered), so asking again now would be a wasted call.
    if (n >= 0 && (n < count || n >= FLastAvailable)) FDrained = true;
    if (n >= 0) return static_cast<int>(n);
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return 0;
    FailCall(eeReceive, err, "recv");
    return -1;
  }
}

void TServerClientWinSocket::QueueFlush() {
  if (FServer.FImpl->Depth > 0) {
    // Held until the running handler returns, so a head and its body leave together.
    if (!FFlushPending) {
      FFlushPending = true;
      FServer.FImpl->PendingFlush.push_back(this);
    }
  } else {
    Flush();
  }
}

void TServerClientWinSocket::WriteText(const std::string& text) {
  if (Closed() || text.empty()) return;
  if (!FOut) FOut = std::make_unique<std::deque<TOutItem>>();
  // Consecutive texts join into one send, up to a size where joining saves nothing and the
  // grown string would only waste memory while it waits.
  if (!FOut->empty() && !FOut->back().Stream &&
      FOut->back().Text.size() - FOut->back().Offset < kCoalesceBytes) {
    FOut->back().Text += text;
  } else {
    FOut->emplace_back();
    FOut->back().Text = text;
  }
  FOut->back().Unsent += static_cast<int64_t>(text.size());
  FUnsentBytes += static_cast<int64_t>(text.size());
  FQueuedThisRead += static_cast<int64_t>(text.size());
  QueueFlush();
}

void TServerClientWinSocket::WriteStream(std::unique_ptr<TStream> stream) {
  if (Closed() || !stream) return;
  if (!FOut) FOut = std::make_unique<std::deque<TOutItem>>();
  const int64_t size = stream->Size();
  const int64_t pos = stream->Position();
  FOut->emplace_back();
  TOutItem& item = FOut->back();
  item.Stream = std::move(stream);
  item.Unsent = size > pos && pos >= 0 ? size - pos : 0;
  item.Counted = true;
  FUnsentBytes += item.Unsent;
  FQueuedThisRead += item.Unsent;
  ++FQueuedStreams;
  QueueFlush();
}

void TServerClientWinSocket::Close() {
  if (Closed()) return;
  if (HasOutput()) {
    FCloseAfterSend = true;
    QueueFlush();
    return;
  }
  RaiseDisconnectAndShut();
}

bool TServerClientWinSocket::SendStream(TOutItem& item, size_t& budget) {
  TStream& s = *item.Stream;
  auto* hs = dynamic_cast<THandleStream*>(&s);
  if (item.Remaining < 0) {
    // What the head announced for a file: its size as opened (or its range) from where the
    // stream stands. Taken once, so a file that grows meanwhile adds nothing to the answer.
    const int64_t size = hs ? s.Size() : -1;
    const int64_t pos = hs ? s.Position() : -1;
    item.Remaining = size >= 0 && pos >= 0 ? (size > pos ? size - pos : 0) : kUnknownLength;
  }
  if (hs && !item.NoSendfile) {
    while (budget > 0) {
      if (item.Remaining == 0) return EndStream(item);
      // The stream's own offset, never the descriptor's: another holder cannot move it.
      off_t off = static_cast<off_t>(hs->FileOffset());
      if (off < 0) {
        item.NoSendfile = true;
        return SendStream(item, budget);
      }
      size_t chunk = budget < (1u << 20) ? budget : (1u << 20);
      if (static_cast<int64_t>(chunk) > item.Remaining) chunk = static_cast<size_t>(item.Remaining);
      ssize_t n = ::sendfile(FFd, hs->Handle(), &off, chunk);
      if (n > 0) {
        s.Seek(n, soFromCurrent);
        budget -= static_cast<size_t>(n);
        if (item.Remaining != kUnknownLength) item.Remaining -= n;
        continue;
      }
      if (n == 0) return EndStream(item);
      int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN) return false;
      if (err == EINVAL || err == ENOSYS || err == EOVERFLOW) {
        // Not a file sendfile can read (a pipe, a special file): copy it through a buffer.
        item.NoSendfile = true;
        return SendStream(item, budget);
      }
      FailCall(eeSend, err, "send");
      return false;
    }
    return false;
  }
  while (budget > 0) {
    if (item.BufferOff == item.BufferLen) {
      if (item.Remaining == 0) return EndStream(item);
      if (!item.Buffer) item.Buffer.reset(new char[kStreamBufferBytes]);
      const int want = item.Remaining < kStreamBufferBytes ? static_cast<int>(item.Remaining)
                                                           : kStreamBufferBytes;
      int r = s.Read(item.Buffer.get(), want);
      if (r == 0) return EndStream(item);
      if (r < 0) {
        // The rest of the body cannot be produced; the client must not take a short body
        // for a whole one.
        FailCall(eeSend, EIO, "send");
        return false;
      }
      if (item.Remaining != kUnknownLength) item.Remaining -= r;
      item.BufferLen = r;
      item.BufferOff = 0;
    }
    ssize_t n = ::send(FFd, item.Buffer.get() + item.BufferOff,
                       static_cast<size_t>(item.BufferLen - item.BufferOff), MSG_NOSIGNAL);
    if (n > 0) {
      item.BufferOff += static_cast<int>(n);
      budget -= static_cast<size_t>(n) < budget ? static_cast<size_t>(n) : budget;
      continue;
    }
    int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n < 0 && err == EAGAIN) return false;
    FailCall(eeSend, n < 0 ? err : EPIPE, "send");
    return false;
  }
  return false;
}

bool TServerClientWinSocket::EndStream(TOutItem& item) {
  const bool cutShort = item.Remaining > 0 && item.Remaining != kUnknownLength;
  item.Stream.reset();  // release the file behind it now
  item.Buffer.reset();
  if (cutShort) {
    // The file shrank while it went out: the head announced more than exists. Anything sent
    // after these bytes would be read as the rest of this body, so the connection ends here.
    FOut->erase(FOut->begin() + 1, FOut->end());
    FCloseAfterSend = true;
    DiscardInput();
  }
  return true;
}

void TServerClientWinSocket::DiscardInput() {
  // Closing with unread input resets the connection, and a reset throws away what is still on
  // its way to the client: the bytes that exist must arrive before the end does.
  char buf[4096];
  for (size_t total = 0; total < kDiscardInputBytes;) {
    ssize_t n = ::recv(FFd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
}

void TServerClientWinSocket::Flush() {
  if (Closed()) return;
  size_t budget = kSendBudgetPerTurn;
  while (HasOutput() && budget > 0) {
    TOutItem& item = FOut->front();
    bool done;
    if (item.Stream) {
      const size_t before = budget;
      done = SendStream(item, budget);
      if (Closed()) return;
      Account(item, before - budget);
    } else {
      done = false;
      size_t left = item.Text.size() - item.Offset;
      // A head followed by its body: tell the kernel more is coming so they share packets.
      int flags = MSG_NOSIGNAL | (FOut->size() > 1 ? MSG_MORE : 0);
      size_t chunk = left < budget ? left : budget;
      ssize_t n = ::send(FFd, item.Text.data() + item.Offset, chunk, flags);
      if (n > 0) {
        item.Offset += static_cast<size_t>(n);
        budget -= static_cast<size_t>(n);
        Account(item, static_cast<size_t>(n));
        done = item.Offset == item.Text.size();
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        break;
      } else {
        FailCall(eeSend, n < 0 ? errno : EPIPE, "send");
      }
    }
    if (Closed()) return;
    if (!done) break;
    PopFront();
  }
  if (!HasOutput()) {
    DiscardOutput();
    if (FCloseAfterSend) {
      RaiseDisconnectAndShut();
      return;
    }
  }
  // Any progress starts the clock of a client that takes its answer slowly again.
  if (budget < kSendBudgetPerTurn && HasOutput()) Rewait(true);
  UpdateInterest();
}

void TServerClientWinSocket::UpdateInterest() {
  if (Closed()) return;
  // A connection that is being closed reads on, to drop what comes: closing with unread input
  // would reset the connection under the answer still going out.
  if (FCloseAfterSend) {
    FReadPaused = false;
  } else if (OverLimit()) {
    FReadPaused = true;
  } else if (FReadPaused) {
    FReadPaused = false;
    auto& impl = *FServer.FImpl;
    if (impl.PendingResume.empty()) {
      const uint64_t one = 1;
      (void)!::write(impl.ResumeFd, &one, sizeof one);
    }
    impl.PendingResume.push_back(this);
  }
  uint32_t mask = 0;
  // Not readable while its read event runs: a nested loop would otherwise spin on it.
  if (!FPeerClosed && !FInRead && !FReadPaused) mask |= EPOLLIN | EPOLLRDHUP;
  if (HasOutput()) mask |= EPOLLOUT;  // level-triggered: comes back next turn
  SetInterest(mask);
  Rewait(false);
}

void TServerClientWinSocket::RaiseDisconnectAndShut() {
  if (FClosed) return;
  // The handler may still ask for the peer's address, so the descriptor closes only afterwards;
  // meanwhile the connection takes no more output and gets no more events.
  FDying = true;
  DiscardOutput();
  FCloseAfterSend = false;
  if (FServer.OnClientDisconnect) FServer.OnClientDisconnect(this);
  Shut();
}

void TServerClientWinSocket::FailCall(TErrorEvent kind, int err, const char* api) {
  if (Closed()) return;
  int code = WinSockErrorCode(err);
  FDying = true;
  DiscardOutput();
  FCloseAfterSend = false;
  if (FServer.OnClientError) FServer.OnClientError(this, kind, code);
  RaiseDisconnectAndShut();
  if (code != 0) throw ESocketError(SocketErrorText(err, api));
}

void TServerClientWinSocket::FailNotification(TErrorEvent kind, int err) {
  if (Closed()) return;
  int code = WinSockErrorCode(err);
  FDying = true;
  DiscardOutput();
  if (FServer.OnClientError) FServer.OnClientError(this, kind, code);
  // Nothing more for this connection: no read and no disconnect event follow an error.
  Shut();
  if (code != 0) throw ESocketError(AsyncErrorText(code));
}

void TServerClientWinSocket::Shut() {
  if (FClosed) return;
  FClosed = true;
  DiscardOutput();
  Unwait();
  auto& resume = FServer.FImpl->PendingResume;
  resume.erase(std::remove(resume.begin(), resume.end(), this), resume.end());
  ::epoll_ctl(FServer.FEpoll, EPOLL_CTL_DEL, FFd, nullptr);
  ::close(FFd);
  FFd = -1;
  FServer.FImpl->Live.erase(this);
  FServer.FImpl->Dead.push_back(this);
}

void TServerClientWinSocket::Drop() {
  FClosed = true;
  DiscardOutput();
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

std::string TServerClientWinSocket::PeerAddress() {
  if (FFd < 0) return std::string();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return std::string();
  char buf[INET_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET, &addr.sin_addr, buf, sizeof buf)) return std::string();
  return buf;
}

int TServerClientWinSocket::PeerPort() {
  if (FFd < 0) return 0;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

std::string TServerClientWinSocket::PeerHostName() {
  if (FFd < 0) return std::string();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return std::string();
  char host[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
    return std::string();
  return host;
}

std::string TServerClientWinSocket::OwnAddress() {
  if (FFd < 0) return std::string();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return std::string();
  char buf[INET_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET, &addr.sin_addr, buf, sizeof buf)) return std::string();
  return buf;
}

std::string TServerClientWinSocket::OwnHostName() {
  char name[257];
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  name[sizeof name - 1] = '\0';
  return name;
}

int TServerClientWinSocket::OwnPort() {
  if (FFd < 0) return -1;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}
