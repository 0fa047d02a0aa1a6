// Turning received bytes into requests: the scanner of one connection's record.
#pragma once
#include <string>

#include "net/ScktComp.h"

class TServerCore;
struct mParser;

constexpr int kMaxHeadBytes = 8000;  // larger heads are refused; also bounds memory per connection
constexpr int kMaxPlainBody = 2000;  // a request that runs no program has no use for a larger body

// Scans one block of received bytes into the record; dispatches every request it completes.
void ConsumeInput(TServerCore& Server, mParser* p, const char* bytes, int count);
// Scans the bytes held back while the connection's output was full, once it is not; false when
// the record went away meanwhile.
bool ResumeInput(TServerCore& Server, mParser* p);
// What the connection waits for from its client now.
TClientWait ClientWaitOf(const mParser* p);
// Prepares the record for the next request on the same connection.
void ResetRequest(TServerCore& Server, mParser* p);
