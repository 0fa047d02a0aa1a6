// Running a CGI program for a request: its environment block, its three temporary files, the
// wait with a time-out, and the check of its output's header block.
#include "content/Cgi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "content/UrlMap.h"
#include "log/Log.h"
#include "platform/Codec.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/TempFiles.h"
#include "server/ServerState.h"

namespace {

// The request's variables leave two bytes of the block for the NULs that close a cut block.
constexpr int kRequestPartLimit = kCgiEnvironmentSize - 2;
// The program's header block must end within this many bytes of its output.
constexpr int kMaxCgiHeaderBlock = 10000;
// A program gets no longer than this: its client waits for it, and so do the requests queued
// behind it.
constexpr int kCgiTimeoutMs = 20000;

// A NUL would end the string early in the block and let the rest of a header pose as a
// variable of its own (LD_PRELOAD=... in a header value), so a text ends at its first NUL.
std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

// A '=' ends a name; letters go up, '-' and ' ' become '_', other bytes stay.
std::string FoldVariableName(std::string_view name) {
  std::string folded;
  for (char c : UpToNul(name)) {
    if (c == '=') break;
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    else if (c == '-' || c == ' ')
      c = '_';
    folded += c;
  }
  return folded;
}

class TEnvironmentWriter {
 public:
  explicit TEnvironmentWriter(std::vector<char>& block) : FBlock(block) {}
  // Writes text byte by byte up to the request part's limit; false (and stopped) at the cut.
  bool PutLimited(std::string_view text) {
    for (char c : text) {
      if (FUsed >= kRequestPartLimit) {
        FStopped = true;
        return false;
      }
      FBlock[FUsed++] = c;
    }
    return true;
  }
  void PutWhole(std::string_view text) {
    for (char c : text) FBlock[FUsed++] = c;
    FBlock[FUsed++] = '\0';
  }
  [[nodiscard]] int Used() const { return FUsed; }
  [[nodiscard]] bool Stopped() const { return FStopped; }
  void Stop() { FStopped = true; }
  int Finish() {
    if (FStopped) FBlock[FUsed++] = '\0';
    FBlock[FUsed++] = '\0';
    return FUsed;
  }

 private:
  std::vector<char>& FBlock;
  int FUsed = 0;
  bool FStopped = false;
};

// Start-up made the program folder current; a relative ProgramDir is only usable as that.
std::string TempFolderOf(const TServerState& Server) {
  const std::string& dir = Server.ProgramDir;
  if (dir.empty() || dir[0] != '/') return "";
  return dir.back() == '/' ? dir : dir + "/";
}

}  // namespace

int BuildCgiEnvironment(TServerState& Server, mParser* p) {
  Server.CgiEnvironment.assign(kCgiEnvironmentSize, '\0');
  TEnvironmentWriter env(Server.CgiEnvironment);
  const std::vector<std::string>& vars = p->Variables;

  for (size_t i = 0; i < vars.size() && !env.Stopped(); i += 2) {
    const std::string& name = vars[i];
    const bool isHeader = static_cast<int64_t>(i) >= p->FirstHeaderEntry;
    const std::string folded = FoldVariableName(name);
    // A client must not steer the program's outgoing proxy through HTTP_PROXY (httpoxy).
    if (isHeader && folded == "PROXY") continue;
    if (isHeader && !Cp1251SameText(name, "content-type") &&
        !Cp1251SameText(name, "content-length"))
      if (!env.PutLimited("HTTP_")) break;
    if (!env.PutLimited(folded) || !env.PutLimited("=")) break;
    const std::string_view value = i + 1 < vars.size() ? UpToNul(vars[i + 1]) : std::string_view();
    if (!env.PutLimited(value) || !env.PutLimited(std::string_view("\0", 1))) break;
  }

  if (!env.Stopped()) {
    const std::string docRoot = "DOCUMENT_ROOT=" + std::string(UpToNul(Server.RC));
    if (env.Used() + static_cast<int>(docRoot.size()) + 1 <= kRequestPartLimit) {
      env.PutWhole(docRoot);
      if (Server.LD) {
        WriteLog(Server, "docroot set");
        WriteLog(Server, docRoot);
      }
    } else {
      env.Stop();
    }
  }

  if (!env.Stopped()) {
    for (const std::string& own : OwnEnvironmentStrings()) {
      if (Server.LD) WriteLog(Server, own);
      if (static_cast<int64_t>(own.size()) + 2 < kCgiEnvironmentSize - env.Used()) {
        env.PutWhole(own);
      } else {
        env.Stop();
        break;
      }
    }
  }
  return env.Finish();
}

namespace {

// A run given up before its answer: the record says why (none when it is said already). The
// descriptors close with their owners; no name outlives the run.
bool EarlyFailure(TServerState& Server, const char* record) {
  if (record != nullptr) WriteLog(Server, record);
  return false;
}

}  // namespace

bool StartCgi(TServerState& Server, mParser* p, TCgiRun& run) {
  run = TCgiRun{};
  if (Server.LD) WriteLog(Server, "p->ExeApp == " + p->ExeApp);
  const int envSize = BuildCgiEnvironment(Server, p);

  const std::string folder = TempFolderOf(Server);
  const std::string runDir = ExtractFilePath(p->LocalPath);
  std::string module;
  std::string cmdLine;
  if (p->IsExe == 1) {
    module = p->LocalPath;
    cmdLine = "\"" + p->LocalPath + "\"";
  } else {
    module = p->ExeApp;
    cmdLine = "\"" + p->ExeApp + "\" \"" + p->LocalPath + "\"";
  }
  // An indexed query (no '=') also arrives as arguments; a form query only as QUERY_STRING.
  if (!p->QueryString.empty() && p->QueryString.find('=') == std::string::npos)
    cmdLine += " " + DecodeQueryText(p->QueryString);
  if (Server.LD) {
    WriteLog(Server, "CmdLine == " + cmdLine);
    WriteLog(Server, "runDir == " + runDir);
    WriteLog(Server, "exeName == " + module);
  }

  // Each file loses its name as soon as it is open: the program gets the descriptors, the next
  // run finds the names free, and no early return can leave a name behind.
  const std::string inName = folder + "t_in.tmp";
  run.In.Reset(CreateTempFile(inName));
  if (!run.In.Valid()) return EarlyFailure(Server, "stdinFile==INVALID_HANDLE_VALUE");
  DeleteFileName(inName);
  // The first output name nothing has, found by creating it: no look before each try.
  std::string outName;
  for (int n = 0;; ++n) {
    outName = folder + "out" + std::to_string(n) + ".tmp";
    run.Out.Reset(CreateNewTempFile(outName));
    if (run.Out.Valid() || errno != EEXIST) break;
  }
  if (!run.Out.Valid()) return EarlyFailure(Server, "stdoutFile==INVALID_HANDLE_VALUE");
  DeleteFileName(outName);
  const std::string errName = folder + "t_err.tmp";
  run.Err.Reset(CreateTempFile(errName));
  if (!run.Err.Valid()) return EarlyFailure(Server, "stderrFile==INVALID_HANDLE_VALUE");
  DeleteFileName(errName);

  // A small body is written at the input file's start without moving the file's position,
  // which the program's standard input shares: it reads from the first byte with no reopening.
  // A large one is already in a file of its own, which the program reads instead.
  const bool bodyWritten =
      !p->BodySpillFailed && WriteAllAt(run.In.Get(), p->Body.data(), p->Body.size(), 0);
  std::string().swap(p->Body);
  p->BodyHeld.Set(0);
  if (!bodyWritten) return EarlyFailure(Server, "BytesToWrite!=BytesWritten");
  if (p->BodyFile.Valid()) {
    if (!SeekToStart(p->BodyFile.Get()))
      return EarlyFailure(Server, "stdinFile==INVALID_HANDLE_VALUE");
    run.In.Reset(p->BodyFile.Release());
  }

  TProcessStart start;
  start.Module = module;
  start.CommandLine = cmdLine;
  start.Environment =
      SplitEnvironmentBlock(Server.CgiEnvironment.data(), static_cast<size_t>(envSize));
  start.WorkingFolder = runDir;
  start.StdIn = run.In.Get();
  start.StdOut = run.Out.Get();
  start.StdErr = run.Err.Get();
  // A server killed while the program runs keeps every record written up to here.
  FlushLog();
  int startError = 0;
  if (!StartProcess(start, run.Process, startError)) return EarlyFailure(Server, "! IsStartedOk");
  return true;
}

TCgiOutcome FinishCgi(TServerState& Server, TCgiRun& run, TWaitResult waited) {
  TCgiOutcome outcome;
  bool failed = false;
  switch (waited) {
    case wrEnded:
      break;
    case wrTimeout:
    case wrRunning:
      WriteLog(Server, "wfsoRet==WAIT_TIMEOUT");
      failed = true;
      break;
    case wrFailed:
      WriteLog(Server, "wfsoRet==WAIT_FAILED");
      failed = true;
      break;
  }
  // Kills the whole group when the program did not end, and reaps it: nothing stays behind.
  CloseProcess(run.Process);
  // The output is what the program wrote while it ran. A child it left holding the file may go
  // on writing; those bytes land past this size and are never sent.
  const int64_t outputSize = GetFileSizeOfHandle(run.Out.Get());

  if (GetFileSizeOfHandle(run.Err.Get()) != 0) {
    WriteLog(Server, "stderrFile has size != 0");
    failed = true;
  }
  run.In.Reset();
  run.Err.Reset();

  int64_t bodyLength = -1;
  if (!failed) {
    // Read at explicit offsets: the file's shared offset stays where the program's writes
    // ended, so a late write by its child cannot land inside what is sent.
    std::string head(kMaxCgiHeaderBlock, '\0');
    const int64_t got =
        outputSize < 0
            ? -1
            : ReadAt(run.Out.Get(), head.data(),
                     static_cast<size_t>(std::min<int64_t>(outputSize, kMaxCgiHeaderBlock)), 0);
    int64_t end = -1;
    bool lastWasLF = false;
    for (int64_t i = 0; i < got; ++i) {
      const char c = head[static_cast<size_t>(i)];
      if (c == '\r') continue;
      if (c == '\n') {
        if (lastWasLF) {
          end = i;
          break;
        }
        lastWasLF = true;
      } else {
        lastWasLF = false;
      }
    }
    if (end < 0) {
      failed = true;
    } else {
      WriteLog(Server, "not_failed==true before GetFileSize");
      outcome.HeaderBlock.assign(head, 0, static_cast<size_t>(end + 1));
      bodyLength = outputSize - (end + 1);
      // A length the response head cannot state truthfully is a failure, not a wrong header.
      if (bodyLength < 0 || bodyLength > INT_MAX) failed = true;
    }
  }

  if (!failed) {
    outcome.Redirect = Cp1251LowerCase(outcome.HeaderBlock).find("location:") != std::string::npos;
    outcome.BodyLength = static_cast<int>(bodyLength);
    outcome.Output = run.Out.Release();
    return outcome;
  }
  run.Out.Reset();
  return TCgiOutcome{};
}

TCgiOutcome RunCgi(TServerState& Server, mParser* p) {
  TCgiRun run;
  if (!StartCgi(Server, p, run)) return TCgiOutcome{};
  const TWaitResult waited = WaitForProcess(run.Process, kCgiTimeoutMs);
  return FinishCgi(Server, run, waited);
}

// ---- one program at a time ----

class TCgiQueue {
 public:
  struct TEntry {
    mParser* Request = nullptr;  // null once its connection has gone
    TCustomWinSocket* Socket = nullptr;
    TCgiDone Done;
  };
  std::deque<TEntry> Waiting;
  bool Busy = false;  // a program runs
  TEntry Running;
  TCgiRun Run;
  std::chrono::steady_clock::time_point Deadline;
};

namespace {

// Without a process descriptor the program is asked this often whether it has ended.
constexpr int kCgiPollMs = 10;

void OnProgramEvent(TServerState& Server);

void WatchRunning(TServerState& Server, TCgiQueue& q) {
  using namespace std::chrono;
  const auto left = duration_cast<milliseconds>(q.Deadline - steady_clock::now()).count();
  const int ms = static_cast<int>(std::clamp<int64_t>(left, 1, kCgiTimeoutMs));
  const int fd = q.Run.Process.PidFd.Valid() ? q.Run.Process.PidFd.Get() : -1;
  Server.WatchProgram(fd, fd >= 0 ? ms : std::min(ms, kCgiPollMs),
                      [&Server] { OnProgramEvent(Server); });
}

// The program of e has started: it is watched until it ends or its time is up.
void Run(TServerState& Server, TCgiQueue& q, TCgiQueue::TEntry e) {
  q.Busy = true;
  q.Running = std::move(e);
  q.Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCgiTimeoutMs);
  WatchRunning(Server, q);
}

// Starts the first waiting program; one that cannot start is answered at once and the next
// tried.
void StartWaiting(TServerState& Server) {
  const std::shared_ptr<TCgiQueue> held = Server.CgiQueue;
  TCgiQueue& q = *held;
  while (!q.Busy && !q.Waiting.empty()) {
    TCgiQueue::TEntry e = std::move(q.Waiting.front());
    q.Waiting.pop_front();
    if (!StartCgi(Server, e.Request, q.Run)) {
      q.Run = TCgiRun{};
      e.Done(e.Request, TCgiOutcome{});
      continue;
    }
    Run(Server, q, std::move(e));
  }
}

void OnProgramEvent(TServerState& Server) {
  const std::shared_ptr<TCgiQueue> held = Server.CgiQueue;
  if (!held || !held->Busy) return;
  TCgiQueue& q = *held;
  TWaitResult waited = CheckProcess(q.Run.Process);
  if (waited == wrRunning) {
    if (std::chrono::steady_clock::now() < q.Deadline) {
      WatchRunning(Server, q);
      return;
    }
    waited = wrTimeout;
  }
  TCgiOutcome outcome = FinishCgi(Server, q.Run, waited);
  q.Run = TCgiRun{};
  TCgiQueue::TEntry e = std::move(q.Running);
  q.Running = TCgiQueue::TEntry{};
  q.Busy = false;
  if (e.Request != nullptr)
    e.Done(e.Request, std::move(outcome));
  else if (outcome.Output != INVALID_HANDLE_VALUE)
    CloseHandle(outcome.Output);  // nobody is left to send it to
  StartWaiting(Server);
}

}  // namespace

bool QueueCgi(TServerState& Server, mParser* p, TCgiDone done) {
  if (!Server.CgiQueue) Server.CgiQueue = std::make_shared<TCgiQueue>();
  TCgiQueue& q = *Server.CgiQueue;
  TCgiQueue::TEntry e{p, p->Socket, std::move(done)};
  if (q.Busy) {
    q.Waiting.push_back(std::move(e));
    return true;
  }
  // Nothing runs (nothing waits then either): its program starts now, and one that cannot
  // start is answered in place.
  if (!StartCgi(Server, p, q.Run)) {
    q.Run = TCgiRun{};
    return false;
  }
  Run(Server, q, std::move(e));
  return true;
}

void ForgetCgi(TServerState& Server, TCustomWinSocket* Socket) {
  if (!Server.CgiQueue) return;
  TCgiQueue& q = *Server.CgiQueue;
  if (q.Busy && q.Running.Socket == Socket) {
    q.Running.Request = nullptr;
    q.Running.Socket = nullptr;
  }
  std::erase_if(q.Waiting, [Socket](const TCgiQueue::TEntry& e) { return e.Socket == Socket; });
}

void StopCgi(TServerState& Server) {
  if (!Server.CgiQueue) return;
  TCgiQueue& q = *Server.CgiQueue;
  q.Waiting.clear();
  // Its owner kills the program's whole group and reaps it; the files close with theirs.
  q.Run = TCgiRun{};
  q.Running = TCgiQueue::TEntry{};
  q.Busy = false;
}
