// The request path: from a connection's received bytes to dispatched requests.
#pragma once
#include <string>

#include "server/ServerState.h"

// The assembly gives up on a head at this many bytes and marks 413 without parsing it (the
// parser's own 413, an announced body too large even for CGI, comes with a shorter head); it also
// bounds the memory of one connection.
constexpr int32_t kMaxHeadBytes = 8000;
// A request that runs no program has no use for a larger body: one this large is refused before
// anything is served, and the assembly stores at most one byte more of it, so the request can be
// answered without reading on.
constexpr int32_t kMaxPlainBody = 2000;

// "address:port" of the record's client, as records name it.
std::string AddrPort(const mParser* p);
// A record for the connection; null, counted and logged, when memory runs out.
[[nodiscard]] mParser* AddRecord(TServerState& Server, TCustomWinSocket* Socket);
// Lists an accepted connection with its client's address and port; false, counted and logged,
// when memory runs out. Its record is made when its first request arrives.
[[nodiscard]] bool AddRecord(TServerState& Server, TCustomWinSocket* Socket,
                             const std::string& RemoteAddr, const std::string& RemotePort);
// The read event: takes what the connection has received, unless its answers wait to drain, and
// scans it; then closes the connection or tells it what it waits for, and lets the record's
// request-time state go when no request is in flight.
void ReadRequests(TServerState& Server, TCustomWinSocket* Socket);
// Scans one block of received bytes into the record; dispatches every request it completes.
void ConsumeInput(TServerState& Server, mParser* p, const char* bytes, int count);
// Scans the bytes held back while the connection's output was full, once it is not; false when
// the record went away meanwhile.
[[nodiscard]] bool ResumeInput(TServerState& Server, mParser* p);
// The request's program has ended and its answer is queued: the record is reset (and let go when
// nothing is held back), and the connection takes up what it held back, or closes when the
// answer asked for it.
void ProgramAnswered(TServerState& Server, mParser* p);
// What the connection waits for from its client now.
TClientWait ClientWaitOf(const mParser* p);
// Prepares the record for the next request on the same connection.
void ResetRequest(TServerState& Server, mParser* p);
