// Deciding the answer to a parsed request: its status, its own header lines and its body.
#pragma once
#include <memory>
#include <string>

#include "content/Cgi.h"
#include "platform/Streams.h"

class TServerState;
struct mParser;

enum TResponceType { RESPONCE_TEXT = 0, RESPONCE_FILE = 1, RESPONCE_REDIRECT = 2 };
enum TErrorType { ERR_NONE = 0, ERR_NOT_FOUND = 1, ERR_ACCESS_DENIED = 2, ERR_INTERNAL = 3 };

// The answer as it is decided: everything its head and body are made from.
struct TAnswer {
  int ResponceType = RESPONCE_TEXT;
  int ErrorType = ERR_NONE;
  std::string StatusText;
  std::string ContentType = "text/plain";
  std::string ExtraHeaders;
  std::string ResponceBody;
  std::unique_ptr<TStream> stream;
  int CgiBodyLength = 0;
  std::string CgiHead;  // the program's own header block, sent as part of the head
  bool NotModified = false;
};

// Answers a request whose program has ended (or could not start), from the loop.
using TProgramEnded = void (*)(TServerState& Server, mParser* p, TCgiOutcome run);

// The answer to the record's request. Where the loop goes on while a program runs, a request
// for one may wait for it instead (p->WaitsForProgram): nothing is decided then, and ended
// answers the request once its program has ended.
TAnswer DecideAnswer(TServerState& Server, mParser* p, TProgramEnded ended);
// The answer to a request whose program has ended (or could not start), as it would have been
// decided had the program been waited for in place.
TAnswer DecideProgramAnswer(TServerState& Server, mParser* p, TCgiOutcome run);
