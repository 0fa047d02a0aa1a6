// The head of an answer: its status and header lines, as they go out and as they are logged.
#pragma once
#include <cstdint>
#include <string>

#include "http/Decide.h"

class TServerState;
struct mParser;

// A file body up to this size is read at once and leaves with its head in one send; a larger
// one goes from the file by sendfile, never whole into memory.
constexpr int64_t kInlineBodyBytes = int64_t{64} * 1024;

// The head as it goes out, the program's header block included.
struct THead {
  std::string Wire;
  // "ResponceString==" and the status line, "\nResponceHead==" and the lines after it, as they
  // are inside (LF); only for an answer sent from a stream to GET or POST, which logs it.
  std::string Record;
  int64_t BodyLength = 0;  // what Content-Length announces
};

// The status line and the header lines of an answer decided; decides too whether the connection
// closes after it.
THead FormatHead(TServerState& Server, mParser* p, TAnswer& a);
// Keeps the buffer of the head's record for the next answer, when it is worth keeping.
void KeepRecordBuffer(THead& h);
