// CGI programs: which files run, and running them.
#pragma once
#include <functional>
#include <string>

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/UniqueFd.h"

class TServerState;
class TCustomWinSocket;
struct mParser;

constexpr int kCgiEnvironmentSize = 5000;

bool IsCgiProgram(TServerState& Server, mParser* p);
// What a run of a program gave: its open output file, or INVALID_HANDLE_VALUE and BodyLength -1.
// HeaderBlock is the program's header block as it wrote it, empty line included; the body
// follows it in the file. Both are fixed when the program ends: whatever a child it left behind
// writes to the file later lands beyond them, and the file's shared offset is never relied on.
struct TCgiOutcome {
  THandle Output = INVALID_HANDLE_VALUE;
  int BodyLength = -1;
  std::string HeaderBlock;
  bool Redirect = false;  // the header block names a Location: the answer is a 301
};
// Runs the program and waits for it in place.
[[nodiscard]] TCgiOutcome RunCgi(TServerState& Server, mParser* p);

// A started program and its three files, from its start to its end.
struct TCgiRun {
  TProcessInfo Process;
  TFd In;
  TFd Out;
  TFd Err;
};
// The run up to the program's start; false, with its record written, when it did not start.
[[nodiscard]] bool StartCgi(TServerState& Server, mParser* p, TCgiRun& run);
// The run after its wait: wrEnded, or the wait's failure or time-out (the program's group is
// killed then). Closes the run's files but the output it hands on.
[[nodiscard]] TCgiOutcome FinishCgi(TServerState& Server, TCgiRun& run, TWaitResult waited);

// Where the loop goes on while a program runs (Server.WatchProgram set): programs still run one
// at a time, because the fixed input and error names and CgiEnvironment serve every run. A
// request waits here, first come first served, and done gets its outcome once its program has
// ended, from the loop. False, with nothing queued and the failure's record written, when the
// program was to start at once and could not: the request is answered as a failed run.
using TCgiDone = std::function<void(mParser* p, TCgiOutcome outcome)>;
[[nodiscard]] bool QueueCgi(TServerState& Server, mParser* p, TCgiDone done);
// The connection has gone: its program never starts if it waits; if it runs, it runs to its end
// and its records are written as ever, but its output goes nowhere.
void ForgetCgi(TServerState& Server, TCustomWinSocket* Socket);
// Shut-down: the running program's whole group is killed, and no waiting one starts.
void StopCgi(TServerState& Server);
// Fills Server.CgiEnvironment from the record; returns the bytes used.
int BuildCgiEnvironment(TServerState& Server, mParser* p);
