// One connection's queue of output: texts and streams waiting to be sent, what they still count
// toward the connection's and the server's unsent bytes, and the sending of them on a socket.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/Streams.h"

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

using TOutItems = std::deque<TOutItem>;

// What the queues of all connections of one server share: the output waiting on all of them
// together and the answers from files among it, and the queues emptied by connections, kept for
// the next answer so a keep-alive answer allocates no queue while an idle connection holds none.
struct TSendTotals {
  int64_t Unsent = 0;
  int QueuedStreams = 0;
  std::vector<std::unique_ptr<TOutItems>> SpareQueues;
};

// How a turn of sending ended.
enum class TSendEnd : uint8_t {
  Stopped,   // all went out, the socket is full or the turn's share is spent
  Failed,    // a call failed (TSendResult::Error): the connection is done for
  CutShort,  // a file ended before what its head announced: nothing may follow it
};

struct TSendResult {
  TSendEnd End = TSendEnd::Stopped;
  bool Progress = false;  // some bytes went out
  int Error = 0;          // errno of the failed call
};

// The totals are handed to each call that changes them rather than held: every idle keep-alive
// connection holds one of these, and a reference would make each of them 8 bytes larger.
class TSendQueue {
 public:
  [[nodiscard]] bool HasOutput() const { return FItems && !FItems->empty(); }
  [[nodiscard]] int64_t UnsentBytes() const { return FUnsentBytes; }
  [[nodiscard]] int QueuedStreams() const { return FQueuedStreams; }
  // Output queued since the running read event began.
  [[nodiscard]] int64_t QueuedThisRead() const { return FQueuedThisRead; }
  void ReadBegins() { FQueuedThisRead = 0; }

  // A text, copied or moved as it comes; not an empty one.
  void QueueText(const std::string& text, TSendTotals& totals);
  void QueueText(std::string&& text, TSendTotals& totals);
  // Sent from its position on; not a null one.
  void QueueStream(std::unique_ptr<TStream> stream, TSendTotals& totals);
  // Sends on fd what is queued, up to the per-turn share of one connection.
  TSendResult Send(int fd, TSendTotals& totals);
  // Drops whatever is queued; its queue goes back to the spares.
  void Discard(TSendTotals& totals);

 private:
  template <typename Text>
  void AddText(Text&& text, TSendTotals& totals);
  void TakeQueue(TSendTotals& totals);
  void Account(TOutItem& item, size_t sent, TSendTotals& totals);
  void PopFront(TSendTotals& totals);
  // false: would block or failed (result tells which).
  bool SendStream(int fd, TOutItem& item, size_t& budget, TSendResult& result);
  // The stream has given all it has; true (the item is done).
  bool EndStream(TOutItem& item, TSendResult& result);

  std::unique_ptr<TOutItems> FItems;
  int64_t FUnsentBytes = 0;
  int64_t FQueuedThisRead = 0;  // output queued by the read event that is running
  int FQueuedStreams = 0;
};
