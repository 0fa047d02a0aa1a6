// The listening endpoint and its loop: epoll, accepting, the accept pause and the eviction of
// idle connections when descriptors run short, and the connection time-outs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>

#include "net/SocketInternals.h"
#include "platform/Files.h"
#include "platform/Time.h"

namespace {

// How long accepting pauses after the descriptors ran out, so the loop never spins on a listening
// socket that stays readable.
constexpr long kAcceptPauseNs = 200L * 1000 * 1000;
constexpr int kMaxEventsPerTurn = 256;

bool ClientWaiting(int listenFd) {
  pollfd pfd{listenFd, POLLIN, 0};
  return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN);
}

}  // namespace

// Markers in epoll's data field for the descriptors that are not connections.
static char gListenTag;
static char gTimerTag;
static char gDeadlineTag;
static char gResumeTag;
static char gFirstTag;
static char gWatchTag;
static char gWatchTimerTag;

namespace {

// Reads a timer's or an event counter's count until none is left, so epoll stops reporting it.
void Drain(int fd) {
  uint64_t count;
  while (::read(fd, &count, sizeof count) > 0) {
  }
}

// Takes the first-watch descriptor's event out of the batch, so it is not handled twice; true if
// it was there.
bool TakeFirstWatch(epoll_event* events, int n) {
  for (int i = 0; i < n; ++i) {
    if (events[i].data.ptr == &gFirstTag) {
      events[i].data.ptr = nullptr;
      return true;
    }
  }
  return false;
}

}  // namespace

TServerSocket::TServerSocket(int port) : FImpl(std::make_unique<TImpl>()) {
  TImpl& impl = *FImpl;
  // sendfile has no MSG_NOSIGNAL: a client that resets while a file goes out must cost us an
  // error event, not the process.
  ::signal(SIGPIPE, SIG_IGN);
  impl.Listen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!impl.Listen.Valid()) throw ESocketError(SocketErrorText(errno, "socket"));
  int one = 1;
  ::setsockopt(impl.Listen.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Every accepted connection inherits it: answers go out as written (a head and its body
  // share packets through MSG_MORE), at no call per connection.
  ::setsockopt(impl.Listen.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(impl.Listen.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw ESocketError(SocketErrorText(errno, "bind"));
  if (::listen(impl.Listen.Get(), SOMAXCONN) != 0)
    throw ESocketError(SocketErrorText(errno, "listen"));
  socklen_t len = sizeof addr;
  if (::getsockname(impl.Listen.Get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    FPort = ntohs(addr.sin_port);
  else
    FPort = port;

  impl.Epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
  impl.TimerFd.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  impl.DeadlineFd.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  impl.ResumeFd.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  impl.WatchTimerFd.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!impl.Epoll.Valid() || !impl.TimerFd.Valid() || !impl.DeadlineFd.Valid() ||
      !impl.ResumeFd.Valid() || !impl.WatchTimerFd.Valid())
    throw ESocketError(SocketErrorText(errno, "socket"));
  impl.ReserveFd.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &gListenTag;
  ::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_ADD, impl.Listen.Get(), &ev);
  ev.data.ptr = &gTimerTag;
  ::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_ADD, impl.TimerFd.Get(), &ev);
  ev.data.ptr = &gDeadlineTag;
  ::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_ADD, impl.DeadlineFd.Get(), &ev);
  ev.data.ptr = &gResumeTag;
  ::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_ADD, impl.ResumeFd.Get(), &ev);
  ev.data.ptr = &gWatchTimerTag;
  ::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_ADD, impl.WatchTimerFd.Get(), &ev);
  // A request that finds no descriptor for its file makes room the same way as an accept.
  SetDescriptorShortageHandler([this] { return EvictIdle(); });
}

// The descriptors close with FImpl, after every connection is gone.
TServerSocket::~TServerSocket() {
  SetDescriptorShortageHandler(nullptr);
  while (TServerClientWinSocket* c = FImpl->Live) {
    FImpl->Unlink(c);
    c->Drop();
    delete c;
  }
  FImpl->FreeDead();
}

void TServerSocket::WatchFirst(int fd, std::function<void()> onReady) {
  FOnFirstReady = std::move(onReady);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &gFirstTag;
  ::epoll_ctl(FImpl->Epoll.Get(), EPOLL_CTL_ADD, fd, &ev);
}

void TServerSocket::WatchOnce(int fd, int timeoutMs, std::function<void()> onReady) {
  CancelWatch();
  TImpl& impl = *FImpl;
  FOnWatch = std::move(onReady);
  if (fd >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &gWatchTag;
    if (::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_ADD, fd, &ev) == 0) impl.WatchedFd = fd;
  }
  // A zero time would disarm the timer: the shortest wait is one nanosecond.
  itimerspec ts{};
  ts.it_value.tv_sec = timeoutMs > 0 ? timeoutMs / 1000 : 0;
  ts.it_value.tv_nsec = timeoutMs > 0 ? (timeoutMs % 1000) * 1000000L : 1;
  ::timerfd_settime(impl.WatchTimerFd.Get(), 0, &ts, nullptr);
}

void TServerSocket::CancelWatch() {
  TImpl& impl = *FImpl;
  FOnWatch = nullptr;
  if (impl.WatchedFd >= 0) ::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_DEL, impl.WatchedFd, nullptr);
  impl.WatchedFd = -1;
  const itimerspec off{};
  ::timerfd_settime(impl.WatchTimerFd.Get(), 0, &off, nullptr);
}

int TServerSocket::EpollFd() const { return FImpl->Epoll.Get(); }

int TServerSocket::ActiveConnections() const { return FImpl->LiveCount; }

// Whatever a turn does to the connections, the deadline timer is set for what it leaves.
struct TServerSocket::TArmGuard {
  TServerSocket& S;
  ~TArmGuard() noexcept(false) {
    S.ArmDeadline();
    if (S.OnTurnEnd) {
      try {
        S.OnTurnEnd();
      } catch (...) {
        if (std::uncaught_exceptions() == 0) throw;  // only the first failure goes up
      }
    }
  }
};

// Keeps the nesting depth right and, when a handler throws, leaves queued output where the next
// turn finds it.
struct TServerSocket::TDepthGuard {
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
};

int TServerSocket::ProcessEvents(int timeoutMs) {
  TImpl& impl = *FImpl;
  if (impl.Depth == 0) impl.FreeDead();
  epoll_event events[kMaxEventsPerTurn];
  int n = ::epoll_wait(impl.Epoll.Get(), events, kMaxEventsPerTurn, timeoutMs);
  if (n <= 0) return 0;
  TArmGuard arm{*this};
  if (OnTurnBegin) OnTurnBegin();
  TDepthGuard guard(*this);

  // A full batch may have left the watched descriptor out although it is ready: then it is
  // asked anyway, so what it reports still comes before the requests of this turn.
  if ((TakeFirstWatch(events, n) || n == kMaxEventsPerTurn) && FOnFirstReady) FOnFirstReady();
  for (int i = 0; i < n; ++i) {
    void* tag = events[i].data.ptr;
    if (tag == nullptr) continue;
    if (tag == &gResumeTag) {
      OnResume();
    } else if (tag == &gWatchTag || tag == &gWatchTimerTag) {
      OnWatch(tag == &gWatchTimerTag);
    } else if (tag == &gDeadlineTag) {
      OnDeadline();
    } else if (tag == &gTimerTag) {
      OnAcceptPauseOver();
    } else if (tag == &gListenTag) {
      AcceptAll();
    } else {
      OnConnection(static_cast<TServerClientWinSocket*>(tag), events[i].events);
    }
  }
  FlushPending();
  return n;
}

void TServerSocket::FlushPending() {
  TImpl& impl = *FImpl;
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
    // The batch's room goes back for the next one, unless a nested turn queued more meanwhile.
    if (impl.PendingFlush.empty()) {
      batch.clear();
      impl.PendingFlush.swap(batch);
    }
  }
}

void TServerSocket::OnResume() {
  TImpl& impl = *FImpl;
  Drain(impl.ResumeFd.Get());
  // Read events owed to connections whose output drained; one each, those owed again
  // meanwhile wait for the next turn.
  std::vector<TServerClientWinSocket*> batch;
  batch.swap(impl.PendingResume);
  for (auto* c : batch) {
    if (c->Closed() || c->FInRead || c->FReadPaused) continue;
    c->DeliverRead();
    if (!c->Closed() && !c->FFlushPending) c->HandleEvents(0);
    FlushPending();
  }
}

void TServerSocket::OnWatch(bool timer) {
  uint64_t ticks = 0;
  // A timer set again since this batch was taken is not due yet.
  if (timer && ::read(FImpl->WatchTimerFd.Get(), &ticks, sizeof ticks) <= 0) return;
  if (!FOnWatch) return;
  std::function<void()> ready = std::move(FOnWatch);
  CancelWatch();
  ready();
  FlushPending();
}

void TServerSocket::OnDeadline() {
  TImpl& impl = *FImpl;
  Drain(impl.DeadlineFd.Get());
  impl.ArmedFor = 0;
  ExpireWaits();
  FlushPending();
}

void TServerSocket::OnAcceptPauseOver() {
  TImpl& impl = *FImpl;
  Drain(impl.TimerFd.Get());
  if (impl.AcceptPaused) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &gListenTag;
    ::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_ADD, impl.Listen.Get(), &ev);
    impl.AcceptPaused = false;
  }
}

void TServerSocket::AcceptAll() {
  TImpl& impl = *FImpl;
  for (;;) {
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    TFd fd(::accept4(impl.Listen.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLen,
                     SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid()) {
      int err = errno;
      if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
      // accept wants a free descriptor before it looks at the queue: with none free it fails
      // even when nobody waits, and nobody must be evicted for that.
      if ((err == EMFILE || err == ENFILE) && !ClientWaiting(impl.Listen.Get())) return;
      // Out of descriptors: the longest-idle keep-alive connections make room, so that a new
      // client is still served.
      if ((err == EMFILE || err == ENFILE) && EvictIdle()) {
        FlushPending();
        continue;
      }
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        // Out of descriptors: stop watching the listener for a moment instead of spinning.
        ::epoll_ctl(impl.Epoll.Get(), EPOLL_CTL_DEL, impl.Listen.Get(), nullptr);
        impl.AcceptPaused = true;
        itimerspec ts{};
        ts.it_value.tv_nsec = kAcceptPauseNs;
        ::timerfd_settime(impl.TimerFd.Get(), 0, &ts, nullptr);
      }
      return;
    }
    auto* c = new TServerClientWinSocket(*this, std::move(fd), peer);
    impl.Link(c);
    if (OnClientConnect) OnClientConnect(c);
    // The first request has mostly arrived by now: it is read at once, and the connection joins
    // the wait only for what it still needs. One that is answered and closed here is never
    // registered at all.
    if (!c->Closed()) c->HandleEvents(EPOLLIN);
    FlushPending();
  }
}

void TServerSocket::OnConnection(TServerClientWinSocket* c, uint32_t events) {
  if (c->Closed()) return;  // closed earlier in this turn
  c->HandleEvents(events);
  FlushPending();
}

void TServerSocket::ExpireWaits() {
  TImpl& impl = *FImpl;
  const int64_t now = CoarseClockMs();
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
  // A connection that has sent part of a head costs as much as an idle one and may be held so on
  // purpose, a byte at a time.
  for (const int queue : {cwNextRequest, cwRestOfHead}) {
    for (TServerClientWinSocket* c = impl.Waits[queue].Head; c && evicted < EvictOnShortage;) {
      TServerClientWinSocket* next = c->FWaitNext;
      if (!c->FInRead) {
        impl.ReserveFd.Reset();
        c->CloseNow();
        ++evicted;
      }
      c = next;
    }
  }
  if (!impl.ReserveFd.Valid()) impl.ReserveFd.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
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
  if (earliest == 0) return;
  // The waits are timed on the coarse clock, the timer runs on the exact one, which is ahead by
  // up to the lag. Set for the due time itself, the timer could fire while the coarse clock
  // still shows nothing due, and be set again for a time already past: the loop would spin
  // until the next tick. Set the lag later, what it fires for is due on the coarse clock too; a
  // wait ends at most that late, a few milliseconds of a time-out counted in seconds.
  const int64_t fireAt = earliest + impl.ClockLagMs;
  // A timer set too early only costs a look at the queue heads; one set too late would miss.
  if (impl.ArmedFor != 0 && impl.ArmedFor <= fireAt) return;
  itimerspec ts{};
  ts.it_value.tv_sec = fireAt / 1000;
  ts.it_value.tv_nsec = (fireAt % 1000) * 1000000;
  ::timerfd_settime(impl.DeadlineFd.Get(), TFD_TIMER_ABSTIME, &ts, nullptr);
  impl.ArmedFor = fireAt;
}
