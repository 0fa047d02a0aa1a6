// One connection's queue of output: texts and streams waiting to be sent, and what each still
// counts toward the connection's unsent bytes.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

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
