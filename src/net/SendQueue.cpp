// Sending what a connection has queued: texts joined into one send, files through sendfile,
// other streams through a buffer, and the unsent-byte accounting that back-pressure reads.
#include "net/SendQueue.h"

#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

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
// Texts queued one behind the other join into one send up to this size.
constexpr size_t kCoalesceBytes = size_t{16} * 1024;
// Spare output queues kept by the server, each with the memory of its first block.
constexpr size_t kSpareQueues = 64;

TSendResult Failure(int err) {
  TSendResult result;
  result.End = TSendEnd::Failed;
  result.Error = err;
  return result;
}

}  // namespace

void TSendQueue::Account(TOutItem& item, size_t sent, TSendTotals& totals) {
  const int64_t n = std::min<int64_t>(static_cast<int64_t>(sent), item.Unsent);
  item.Unsent -= n;
  FUnsentBytes -= n;
  totals.Unsent -= n;
}

void TSendQueue::PopFront(TSendTotals& totals) {
  FUnsentBytes -= FItems->front().Unsent;
  totals.Unsent -= FItems->front().Unsent;
  if (FItems->front().Counted) {
    --FQueuedStreams;
    --totals.QueuedStreams;
  }
  FItems->pop_front();
}

void TSendQueue::Discard(TSendTotals& totals) {
  if (FItems) {
    FItems->clear();
    auto& spares = totals.SpareQueues;
    if (spares.size() < kSpareQueues) {
      if (spares.capacity() < kSpareQueues) spares.reserve(kSpareQueues);
      spares.push_back(std::move(FItems));
    }
    FItems.reset();
  }
  totals.Unsent -= FUnsentBytes;
  totals.QueuedStreams -= FQueuedStreams;
  FUnsentBytes = 0;
  FQueuedStreams = 0;
}

void TSendQueue::TakeQueue(TSendTotals& totals) {
  if (FItems) return;
  auto& spares = totals.SpareQueues;
  if (spares.empty()) {
    FItems = std::make_unique<TOutItems>();
  } else {
    FItems = std::move(spares.back());
    spares.pop_back();
  }
}

template <typename Text>
void TSendQueue::AddText(Text&& text, TSendTotals& totals) {
  TakeQueue(totals);
  const auto size = static_cast<int64_t>(text.size());
  // Consecutive texts join into one send, up to a size where joining saves nothing and the
  // grown string would only waste memory while it waits.
  if (!FItems->empty() && !FItems->back().Stream &&
      FItems->back().Text.size() - FItems->back().Offset < kCoalesceBytes) {
    FItems->back().Text += text;
  } else {
    FItems->emplace_back();
    FItems->back().Text = std::forward<Text>(text);
  }
  FItems->back().Unsent += size;
  FUnsentBytes += size;
  totals.Unsent += size;
  FQueuedThisRead += size;
}

void TSendQueue::QueueText(const std::string& text, TSendTotals& totals) { AddText(text, totals); }

void TSendQueue::QueueText(std::string&& text, TSendTotals& totals) {
  AddText(std::move(text), totals);
}

void TSendQueue::QueueStream(std::unique_ptr<TStream> stream, TSendTotals& totals) {
  TakeQueue(totals);
  const int64_t size = stream->Size();
  const int64_t pos = stream->Position();
  FItems->emplace_back();
  TOutItem& item = FItems->back();
  item.Stream = std::move(stream);
  item.Unsent = size > pos && pos >= 0 ? size - pos : 0;
  item.Counted = true;
  FUnsentBytes += item.Unsent;
  totals.Unsent += item.Unsent;
  FQueuedThisRead += item.Unsent;
  ++FQueuedStreams;
  ++totals.QueuedStreams;
}

TSendResult TSendQueue::Send(int fd, TSendTotals& totals) {
  TSendResult result;
  size_t budget = kSendBudgetPerTurn;
  while (HasOutput() && budget > 0) {
    TOutItem& item = FItems->front();
    bool done;
    if (item.Stream) {
      const size_t before = budget;
      done = SendStream(fd, item, budget, result);
      if (result.End == TSendEnd::Failed) return result;
      Account(item, before - budget, totals);
    } else {
      done = false;
      size_t left = item.Text.size() - item.Offset;
      // A head followed by its body: tell the kernel more is coming so they share packets.
      int flags = MSG_NOSIGNAL | (FItems->size() > 1 ? MSG_MORE : 0);
      size_t chunk = left < budget ? left : budget;
      ssize_t n = ::send(fd, item.Text.data() + item.Offset, chunk, flags);
      if (n > 0) {
        item.Offset += static_cast<size_t>(n);
        budget -= static_cast<size_t>(n);
        Account(item, static_cast<size_t>(n), totals);
        done = item.Offset == item.Text.size();
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        break;
      } else {
        return Failure(n < 0 ? errno : EPIPE);
      }
    }
    if (!done) break;
    PopFront(totals);
  }
  result.Progress = budget < kSendBudgetPerTurn;
  return result;
}

bool TSendQueue::SendStream(int fd, TOutItem& item, size_t& budget, TSendResult& result) {
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
      if (item.Remaining == 0) return EndStream(item, result);
      // The stream's own offset, never the descriptor's: another holder cannot move it.
      auto off = static_cast<off_t>(hs->FileOffset());
      if (off < 0) {
        item.NoSendfile = true;
        return SendStream(fd, item, budget, result);
      }
      size_t chunk = budget < kSendPieceBytes ? budget : kSendPieceBytes;
      if (static_cast<int64_t>(chunk) > item.Remaining) chunk = static_cast<size_t>(item.Remaining);
      ssize_t n = ::sendfile(fd, hs->Handle(), &off, chunk);
      if (n > 0) {
        s.Seek(n, soFromCurrent);
        budget -= static_cast<size_t>(n);
        if (item.Remaining != kUnknownLength) item.Remaining -= n;
        continue;
      }
      if (n == 0) return EndStream(item, result);
      int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN) return false;
      if (err == EINVAL || err == ENOSYS || err == EOVERFLOW) {
        // Not a file sendfile can read (a pipe, a special file): copy it through a buffer.
        item.NoSendfile = true;
        return SendStream(fd, item, budget, result);
      }
      result = Failure(err);
      return false;
    }
    return false;
  }
  while (budget > 0) {
    if (item.BufferOff == item.BufferLen) {
      if (item.Remaining == 0) return EndStream(item, result);
      if (!item.Buffer) item.Buffer.reset(new char[kStreamBufferBytes]);
      const int want = item.Remaining < kStreamBufferBytes ? static_cast<int>(item.Remaining)
                                                           : kStreamBufferBytes;
      int r = s.Read(item.Buffer.get(), want);
      if (r == 0) return EndStream(item, result);
      if (r < 0) {
        // The rest of the body cannot be produced; the client must not take a short body
        // for a whole one.
        result = Failure(EIO);
        return false;
      }
      if (item.Remaining != kUnknownLength) item.Remaining -= r;
      item.BufferLen = r;
      item.BufferOff = 0;
    }
    ssize_t n = ::send(fd, item.Buffer.get() + item.BufferOff,
                       static_cast<size_t>(item.BufferLen - item.BufferOff), MSG_NOSIGNAL);
    if (n > 0) {
      item.BufferOff += static_cast<int>(n);
      budget -= static_cast<size_t>(n) < budget ? static_cast<size_t>(n) : budget;
      continue;
    }
    int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n < 0 && err == EAGAIN) return false;
    result = Failure(n < 0 ? err : EPIPE);
    return false;
  }
  return false;
}

bool TSendQueue::EndStream(TOutItem& item, TSendResult& result) {
  const bool cutShort = item.Remaining > 0 && item.Remaining != kUnknownLength;
  item.Stream.reset();  // release the file behind it now
  item.Buffer.reset();
  if (cutShort) {
    // The file shrank while it went out: the head announced more than exists. Anything sent
    // after these bytes would be read as the rest of this body, so the connection ends here.
    FItems->erase(FItems->begin() + 1, FItems->end());
    result.End = TSendEnd::CutShort;
  }
  return true;
}
