// One client connection: reading, handing its output to its send queue and flushing it, the rules
// for when its read, disconnect and error events come and in what order, closing, its time-out
// bookkeeping, and its addresses.
#include "net/Connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/SocketInternals.h"
#include "platform/Time.h"

namespace {

// Input thrown away before a connection is cut short; a client still sending more than this
// gets a reset, as it would from any close.
constexpr size_t kDiscardInputBytes = size_t{256} * 1024;

// One thread reads, so one buffer serves every connection's read ahead. What it holds stays
// there until its connection takes it, without a copy; only when another connection needs the
// buffer first do the bytes move to their own connection's FAhead.
char gAhead[kReadAheadBytes];
TServerClientWinSocket* gAheadOwner = nullptr;
size_t gAheadFrom = 0;
size_t gAheadLength = 0;

std::string AsyncErrorText(int code) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Asynchronous socket error %d", code);
  return buf;
}

}  // namespace

void TServerClientWinSocket::SetInterest(uint32_t mask) {
  if (Closed() || (FRegistered && mask == FInterest)) return;
  epoll_event ev{};
  ev.events = mask;
  ev.data.ptr = this;
  ::epoll_ctl(FServer.FImpl->Epoll.Get(), FRegistered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, FFd.Get(),
              &ev);
  FRegistered = true;
  FInterest = mask;
}

void TServerClientWinSocket::HandleEvents(uint32_t events) {
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) FDrained = false;
  FAvailableFresh = false;
  if (events & EPOLLERR) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(FFd.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      FailNotification(eeGeneral, err);
      return;
    }
  }
  // While reading is paused, what the peer sent (its FIN too) waits until the output drains:
  // requests received before it are still to be answered. Only now that something waits is the
  // read interest taken off, so a response that never meets input costs no interest changes.
  if (FReadPaused && (events & (EPOLLIN | EPOLLRDHUP))) FInputWaiting = true;
  if (ReportReadError()) return;
  if (FHeld) {
    HandleHeldEvents(events);
    return;
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) && (!FReadPaused || (events & EPOLLHUP))) {
    if (!FPeerClosed && !FInRead && AvailableBytes() > 0) {
      DeliverRead();
      if (Closed()) return;
      // Its request now waits for a program: the client's end, if it came, waits with the rest.
      if (FHeld) {
        if (!FFlushPending) UpdateInterest();
        return;
      }
    }
    if (ReportReadError()) return;
    if (FInRead) {
      UpdateInterest();
      return;
    }
    if ((events & (EPOLLRDHUP | EPOLLHUP)) && AvailableBytes() == 0 && !FPeerClosed) {
      if (ReportReadError()) return;
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

void TServerClientWinSocket::HandleHeldEvents(uint32_t events) {
  // Only its queued answers move. A client gone both ways can take no answer: without its
  // input watched, that would wake every turn.
  if (events & EPOLLHUP) {
    RaiseDisconnectAndShut();
    return;
  }
  if ((events & EPOLLOUT) && HasOutput()) Flush();
  if (Closed()) return;
  if (!FFlushPending) UpdateInterest();
}

void TServerClientWinSocket::HoldReading(bool hold) {
  if (FHeld == hold) return;
  FHeld = hold;
  if (Closed()) return;
  // Let go: what arrived meanwhile raises its own event once the input is watched again. Bytes
  // already taken from the socket (read ahead, or kept unscanned in the record) raise none, so
  // a read event is owed for them, as when output drains.
  if (!hold && (!FAhead.empty() || gAheadOwner == this || (Record && !Record->Unscanned.empty())))
    FReadPaused = FReadOwed = FInputWaiting = true;
  UpdateInterest();
}

void TServerClientWinSocket::DeliverRead() {
  // A modal box opened inside a read event runs a nested loop; the connection must not get
  // a second read event on top of the one still running. A held one gets none at all.
  if (FInRead || FHeld || Closed()) return;
  FInRead = true;
  FOut.ReadBegins();
  struct TReset {
    bool& Flag;
    ~TReset() { Flag = false; }
  } reset{FInRead};
  if (FServer.OnClientRead) FServer.OnClientRead(this);
}

bool TServerClientWinSocket::OverLimit() const {
  const TSendTotals& all = FServer.FImpl->Output;
  return FOut.UnsentBytes() > static_cast<int64_t>(FServer.MaxUnsentBytes) ||
         FOut.QueuedStreams() >= FServer.MaxQueuedStreams ||
         (FInRead && FOut.QueuedThisRead() > kMaxQueuedPerRead) ||
         // While all connections together hold too much, those that hold some wait for it to go
         // out; one that holds nothing may still be answered.
         (HasOutput() && (all.Unsent > FServer.MaxUnsentTotal ||
                          all.QueuedStreams >= FServer.MaxQueuedStreamsTotal));
}

bool TServerClientWinSocket::OutputFull() {
  // Whoever asks stops reading or dispatching for this connection: it is owed a read event
  // once the output drains, even if nothing new arrives.
  if (!OverLimit()) return false;
  FReadPaused = true;
  FReadOwed = true;
  FInputWaiting = true;
  return true;
}

void TServerClientWinSocket::WaitingFor(TClientWait what, bool restart) {
  FClientWait = static_cast<uint8_t>(what);
  Rewait(restart);
}

void TServerClientWinSocket::Rewait(bool restart) {
  if (Closed()) {
    Unwait();
    return;
  }
  // While its program runs nothing is expected of the client, unless it leaves its answers
  // unread.
  if (FHeld && !HasOutput()) {
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
  FWaitQueue = static_cast<int8_t>(queue);
  // Asked for every request, so read coarsely; the expiry reads the same clock.
  FWaitSince = CoarseClockMs();
}

void TServerClientWinSocket::Unwait() {
  if (FWaitQueue == kNotWaiting) return;
  auto& q = FServer.FImpl->Waits[FWaitQueue];
  (FWaitPrev ? FWaitPrev->FWaitNext : q.Head) = FWaitNext;
  (FWaitNext ? FWaitNext->FWaitPrev : q.Tail) = FWaitPrev;
  FWaitPrev = FWaitNext = nullptr;
  FWaitQueue = kNotWaiting;
}

void TServerClientWinSocket::SpillAhead() {
  if (gAheadOwner != this) return;
  FAhead.assign(gAhead + gAheadFrom, gAheadLength);
  gAheadOwner = nullptr;
}

void TServerClientWinSocket::LeaveAhead() {
  if (gAheadOwner == this) gAheadOwner = nullptr;
}

TServerClientWinSocket::~TServerClientWinSocket() { LeaveAhead(); }

int TServerClientWinSocket::AvailableBytes() {
  if (Closed()) return 0;
  if (gAheadOwner == this) return static_cast<int>(gAheadLength);
  if (!FAhead.empty()) return static_cast<int>(FAhead.size());
  if (FDrained || FAvailableFresh) return 0;
  // What the socket holds is taken at once rather than sized first and taken after: one call
  // per read instead of two.
  if (gAheadOwner) gAheadOwner->SpillAhead();
  for (;;) {
    const ssize_t n = ::recv(FFd.Get(), gAhead, sizeof gAhead, 0);
    if (n < 0 && errno == EINTR) continue;
    FAvailableFresh = true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      // The error is the connection's; it is reported where the transport may close it, not
      // inside the read event that asked.
      FReadError = errno;
      return 0;
    }
    if (n <= 0) return 0;  // nothing yet, or only the peer's end
    gAheadOwner = this;
    gAheadFrom = 0;
    gAheadLength = static_cast<size_t>(n);
    FAheadFull = static_cast<size_t>(n) == sizeof gAhead;
    FLastAvailable = static_cast<int>(n);
    return static_cast<int>(n);
  }
}

int TServerClientWinSocket::ReadBytes(void* buffer, int count) {
  if (Closed()) return -1;
  if (count <= 0) return 0;
  if (gAheadOwner == this) {
    const size_t n = std::min(gAheadLength, static_cast<size_t>(count));
    std::memcpy(buffer, gAhead + gAheadFrom, n);
    gAheadFrom += n;
    gAheadLength -= n;
    if (gAheadLength == 0) {
      gAheadOwner = nullptr;
      FAvailableFresh = false;
      // As below: what arrived after the socket was emptied raises a new event.
      if (!FAheadFull) FDrained = true;
    }
    return static_cast<int>(n);
  }
  if (!FAhead.empty()) {
    const size_t n = std::min(FAhead.size(), static_cast<size_t>(count));
    std::memcpy(buffer, FAhead.data(), n);
    if (n < FAhead.size()) {
      FAhead.erase(0, n);
    } else {
      std::string().swap(FAhead);  // an idle connection keeps no buffer
      FAvailableFresh = false;
      // Whatever arrived after the socket was emptied raises a new event (the interest is
      // level-triggered), so asking again now would be a wasted call.
      if (!FAheadFull) FDrained = true;
    }
    return static_cast<int>(n);
  }
  for (;;) {
    FAvailableFresh = false;
    ssize_t n = ::recv(FFd.Get(), buffer, static_cast<size_t>(count), 0);
    if (n >= 0 && (n < count || n >= FLastAvailable)) FDrained = true;
    if (n >= 0) return static_cast<int>(n);
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return 0;
    FailCall(eeReceive, err, "recv");
    return -1;
  }
}

bool TServerClientWinSocket::ReportReadError() {
  if (FReadError == 0 || FInRead || Closed()) return false;
  const int err = FReadError;
  FReadError = 0;
  // The read ahead is the transport's own, not a read the handler asked for: its failure is
  // the peer's news (a reset, say), told as such, with no disconnect event after it.
  FailNotification(eeReceive, err);
  return true;
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

void TServerClientWinSocket::WriteText(const std::string& text) {
  if (Closed() || text.empty()) return;
  FOut.QueueText(text, FServer.FImpl->Output);
  QueueFlush();
}

void TServerClientWinSocket::WriteText(std::string&& text) {
  if (Closed() || text.empty()) return;
  FOut.QueueText(std::move(text), FServer.FImpl->Output);
  QueueFlush();
}

void TServerClientWinSocket::WriteStream(std::unique_ptr<TStream> stream) {
  if (Closed() || !stream) return;
  FOut.QueueStream(std::move(stream), FServer.FImpl->Output);
  QueueFlush();
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

void TServerClientWinSocket::Flush() {
  if (Closed()) return;
  const TSendResult sent = FOut.Send(FFd.Get(), FServer.FImpl->Output);
  if (sent.End == TSendEnd::Failed) {
    FailCall(eeSend, sent.Error, "send");
    return;
  }
  if (sent.End == TSendEnd::CutShort) {
    // Nothing more may follow the short body: the connection ends once it is out.
    FCloseAfterSend = true;
    DiscardInput();
  }
  if (!HasOutput()) {
    DiscardOutput();
    if (FCloseAfterSend) {
      RaiseDisconnectAndShut();
      return;
    }
  }
  // Any progress starts the clock of a client that takes its answer slowly again.
  if (sent.Progress && HasOutput()) Rewait(true);
  UpdateInterest();
}

void TServerClientWinSocket::DiscardOutput() { FOut.Discard(FServer.FImpl->Output); }

void TServerClientWinSocket::DiscardInput() {
  // Closing with unread input resets the connection, and a reset throws away what is still on
  // its way to the client: the bytes that exist must arrive before the end does.
  char buf[4096];
  for (size_t total = 0; total < kDiscardInputBytes;) {
    ssize_t n = ::recv(FFd.Get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
}

void TServerClientWinSocket::UpdateInterest() {
  if (Closed()) return;
  // A connection that is being closed reads on, to drop what comes: closing with unread input
  // would reset the connection under the answer still going out.
  if (FCloseAfterSend) {
    FReadPaused = FReadOwed = FInputWaiting = false;
  } else if (OverLimit()) {
    FReadPaused = true;
  } else if (FReadPaused) {
    FReadPaused = FInputWaiting = false;
    // A read event the request path was refused is owed now, even if nothing new arrives;
    // input that merely waits in the socket raises its own event once it is watched again.
    if (FReadOwed) {
      FReadOwed = false;
      auto& impl = *FServer.FImpl;
      if (impl.PendingResume.empty()) {
        const uint64_t one = 1;
        (void)!::write(impl.ResumeFd.Get(), &one, sizeof one);
      }
      impl.PendingResume.push_back(this);
    }
  }
  uint32_t mask = 0;
  // Not readable while its read event runs: a nested loop would otherwise spin on it; nor
  // while reading is paused with input waiting, which would wake every turn.
  if (!FPeerClosed && !FInRead && !FHeld && !(FReadPaused && FInputWaiting))
    mask |= EPOLLIN | EPOLLRDHUP;
  // Level-triggered, and left on from the first byte that had to wait to the last of the
  // output: a long response costs two interest changes, not two per drained piece.
  if (HasOutput()) mask |= EPOLLOUT;
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
  LeaveAhead();
  DiscardOutput();
  Unwait();
  auto& resume = FServer.FImpl->PendingResume;
  resume.erase(std::remove(resume.begin(), resume.end(), this), resume.end());
  if (FRegistered) ::epoll_ctl(FServer.FImpl->Epoll.Get(), EPOLL_CTL_DEL, FFd.Get(), nullptr);
  FFd.Reset();
  FServer.FImpl->Unlink(this);
  FServer.FImpl->Dead.push_back(this);
}

void TServerClientWinSocket::Drop() {
  FClosed = true;
  LeaveAhead();
  DiscardOutput();
  FFd.Reset();
}

bool TServerClientWinSocket::PeerKnown() {
  if (!FFd.Valid()) return false;
  // While it lives, a reset is seen as an error event first; only a dying connection can have
  // lost its peer unseen.
  if (FDying && !FPeerChecked) {
    FPeerChecked = true;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    FPeerGone = ::getpeername(FFd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0;
  }
  return !FPeerGone;
}

std::string TServerClientWinSocket::PeerAddress() {
  if (!PeerKnown()) return std::string();
  in_addr addr{};
  addr.s_addr = FPeerAddress;
  char buf[INET_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET, &addr, buf, sizeof buf)) return std::string();
  return buf;
}

int TServerClientWinSocket::PeerPort() {
  if (!PeerKnown()) return 0;
  return ntohs(FPeerPort);
}

std::string TServerClientWinSocket::PeerHostName() {
  if (!PeerKnown()) return std::string();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = FPeerAddress;
  addr.sin_port = FPeerPort;
  char host[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, host, sizeof host,
                    nullptr, 0, NI_NAMEREQD) != 0)
    return std::string();
  return host;
}

std::string TServerClientWinSocket::OwnAddress() {
  if (!FFd.Valid()) return std::string();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(FFd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return std::string();
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
  if (!FFd.Valid()) return -1;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(FFd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}
