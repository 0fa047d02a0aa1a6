// Sending what a connection has queued: texts joined into one send, files through sendfile,
// other streams through a buffer, and the unsent-byte accounting that back-pressure reads.
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "net/SocketInternals.h"

namespace {

// A file goes out by sendfile in pieces of this size, and one connection sends at most this
// many pieces (or as many bytes of other output) per turn of the loop before the other
// connections have theirs: more would let a single fast client hold every other one up. Less in
// flight per connection and turn costs the server less per byte: with four clients taking 10 MB
// files, one 512 KiB piece per turn took about 0.2 ms of CPU per MB where two 1 MiB pieces
// (which fill the socket and wait for it to drain) took 0.35, in half the sendfile calls of
// 256 KiB pieces at the same cost per byte.
constexpr size_t kSendPieceBytes = size_t{512} * 1024;
constexpr size_t kSendPiecesPerTurn = 1;
constexpr size_t kSendBudgetPerTurn = kSendPieceBytes * kSendPiecesPerTurn;
// Buffer for a stream that cannot go through sendfile; lives only while such a stream is sent.
constexpr int kStreamBufferBytes = 64 * 1024;
// A stream whose end is only known when reading reaches it (text held in memory, a pipe).
constexpr int64_t kUnknownLength = INT64_MAX;
// Input thrown away before a connection is cut short; a client still sending more than this
// gets a reset, as it would from any close.
constexpr size_t kDiscardInputBytes = size_t{256} * 1024;
// Texts queued one behind the other join into one send up to this size.
constexpr size_t kCoalesceBytes = size_t{16} * 1024;

}  // namespace

void TServerClientWinSocket::Account(TOutItem& item, size_t sent) {
  const int64_t n = std::min<int64_t>(static_cast<int64_t>(sent), item.Unsent);
  item.Unsent -= n;
  FUnsentBytes -= n;
  FServer.FImpl->UnsentTotal -= n;
}

void TServerClientWinSocket::PopFront() {
  FUnsentBytes -= FOut->front().Unsent;
  FServer.FImpl->UnsentTotal -= FOut->front().Unsent;
  if (FOut->front().Counted) {
    --FQueuedStreams;
    --FServer.FImpl->QueuedStreamsTotal;
  }
  FOut->pop_front();
}

// Spare output queues kept by the server, each with the memory of its first block.
constexpr size_t kSpareQueues = 64;

void TServerClientWinSocket::DiscardOutput() {
  if (FOut) {
    FOut->clear();
    auto& spares = FServer.FImpl->SpareQueues;
    if (spares.size() < kSpareQueues) {
      if (spares.capacity() < kSpareQueues) spares.reserve(kSpareQueues);
      spares.push_back(std::move(FOut));
    }
    FOut.reset();
  }
  FServer.FImpl->UnsentTotal -= FUnsentBytes;
  FServer.FImpl->QueuedStreamsTotal -= FQueuedStreams;
  FUnsentBytes = 0;
  FQueuedStreams = 0;
}

void TServerClientWinSocket::TakeQueue() {
  if (FOut) return;
  auto& spares = FServer.FImpl->SpareQueues;
  if (spares.empty()) {
    FOut = std::make_unique<std::deque<TOutItem>>();
  } else {
    FOut = std::move(spares.back());
    spares.pop_back();
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

template <typename Text>
void TServerClientWinSocket::QueueText(Text&& text) {
  if (Closed() || text.empty()) return;
  TakeQueue();
  const auto size = static_cast<int64_t>(text.size());
  // Consecutive texts join into one send, up to a size where joining saves nothing and the
  // grown string would only waste memory while it waits.
  if (!FOut->empty() && !FOut->back().Stream &&
      FOut->back().Text.size() - FOut->back().Offset < kCoalesceBytes) {
    FOut->back().Text += text;
  } else {
    FOut->emplace_back();
    FOut->back().Text = std::forward<Text>(text);
  }
  FOut->back().Unsent += size;
  FUnsentBytes += size;
  FServer.FImpl->UnsentTotal += size;
  FQueuedThisRead += size;
  QueueFlush();
}

void TServerClientWinSocket::WriteText(const std::string& text) { QueueText(text); }

void TServerClientWinSocket::WriteText(std::string&& text) { QueueText(std::move(text)); }

void TServerClientWinSocket::WriteStream(std::unique_ptr<TStream> stream) {
  if (Closed() || !stream) return;
  TakeQueue();
  const int64_t size = stream->Size();
  const int64_t pos = stream->Position();
  FOut->emplace_back();
  TOutItem& item = FOut->back();
  item.Stream = std::move(stream);
  item.Unsent = size > pos && pos >= 0 ? size - pos : 0;
  item.Counted = true;
  FUnsentBytes += item.Unsent;
  FServer.FImpl->UnsentTotal += item.Unsent;
  FQueuedThisRead += item.Unsent;
  ++FQueuedStreams;
  ++FServer.FImpl->QueuedStreamsTotal;
  QueueFlush();
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
      auto off = static_cast<off_t>(hs->FileOffset());
      if (off < 0) {
        item.NoSendfile = true;
        return SendStream(item, budget);
      }
      size_t chunk = budget < kSendPieceBytes ? budget : kSendPieceBytes;
      if (static_cast<int64_t>(chunk) > item.Remaining) chunk = static_cast<size_t>(item.Remaining);
      ssize_t n = ::sendfile(FFd.Get(), hs->Handle(), &off, chunk);
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
    ssize_t n = ::send(FFd.Get(), item.Buffer.get() + item.BufferOff,
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
    ssize_t n = ::recv(FFd.Get(), buf, sizeof buf, MSG_DONTWAIT);
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
      ssize_t n = ::send(FFd.Get(), item.Text.data() + item.Offset, chunk, flags);
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
