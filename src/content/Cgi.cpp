// Running a CGI program for a request: its environment block, its three temporary files, the
// wait with a time-out, and the check of its output's header block.
#include "content/Cgi.h"

#include <algorithm>
#include <climits>
#include <cstdint>
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
// The server serves nobody while a program runs, so a program gets no longer than this.
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

// One open descriptor, closed when its owner goes unless handed on.
class THandleOwner {
 public:
  explicit THandleOwner(THandle handle = INVALID_HANDLE_VALUE) : FHandle(handle) {}
  ~THandleOwner() { Reset(); }
  THandleOwner(const THandleOwner&) = delete;
  THandleOwner& operator=(const THandleOwner&) = delete;
  explicit operator bool() const { return FHandle != INVALID_HANDLE_VALUE; }
  [[nodiscard]] THandle Get() const { return FHandle; }
  [[nodiscard]] THandle Release() { return std::exchange(FHandle, INVALID_HANDLE_VALUE); }
  void Reset(THandle handle = INVALID_HANDLE_VALUE) {
    if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
    FHandle = handle;
  }

 private:
  THandle FHandle;
};

// A run given up before its answer: the record says why (none when it is said already), and the
// input file's name goes; the descriptors close with their owners.
TCgiOutcome EarlyFailure(TServerState& Server, const char* record, const std::string& inName) {
  if (record != nullptr) WriteLog(Server, record);
  DeleteFileName(inName);
  return TCgiOutcome{};
}

}  // namespace

TCgiOutcome RunCgi(TServerState& Server, mParser* p) {
  TCgiOutcome outcome;
  if (Server.LD) WriteLog(Server, "p->ExeApp == " + p->ExeApp);
  const int envSize = BuildCgiEnvironment(Server, p);

  const std::string folder = TempFolderOf(Server);
  const std::string inName = folder + "t_in.tmp";
  const std::string errName = folder + "t_err.tmp";
  std::string outName;
  for (int n = 0;; ++n) {
    outName = folder + "out" + std::to_string(n) + ".tmp";
    if (!FileOrFolderExists(outName)) break;
  }

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

  // Every early failure closes what is open (the owners do) and removes the input's name: no
  // name outlives the run.
  THandleOwner in(CreateTempFile(inName));
  if (!in) {
    WriteLog(Server, "stdinFile==INVALID_HANDLE_VALUE");
    return outcome;
  }
  THandleOwner out;
  THandleOwner err;

  // The output and error files need no name once open: the program gets the descriptors, and
  // the next run finds the output name free.
  out.Reset(CreateTempFile(outName));
  if (!out) return EarlyFailure(Server, "stdoutFile==INVALID_HANDLE_VALUE", inName);
  DeleteFileName(outName);
  err.Reset(CreateTempFile(errName));
  if (!err) return EarlyFailure(Server, "stderrFile==INVALID_HANDLE_VALUE", inName);
  DeleteFileName(errName);

  // A large body is already in a file of its own, which the program reads instead.
  const bool bodyWritten =
      !p->BodySpillFailed && WriteAllBytes(in.Get(), p->Body.data(), p->Body.size());
  std::string().swap(p->Body);
  p->BodyHeld.Set(0);
  if (!bodyWritten) return EarlyFailure(Server, "BytesToWrite!=BytesWritten", inName);

  in.Reset();
  if (!p->BodyFile.Valid())
    in.Reset(ReopenTempFile(inName));
  else if (SeekToStart(p->BodyFile.Get()))
    in.Reset(p->BodyFile.Release());
  DeleteFileName(inName);
  if (!in) return EarlyFailure(Server, "stdinFile==INVALID_HANDLE_VALUE", inName);

  TProcessStart start;
  start.Module = module;
  start.CommandLine = cmdLine;
  start.Environment =
      SplitEnvironmentBlock(Server.CgiEnvironment.data(), static_cast<size_t>(envSize));
  start.WorkingFolder = runDir;
  start.StdIn = in.Get();
  start.StdOut = out.Get();
  start.StdErr = err.Get();
  TProcessInfo process;
  int startError = 0;
  if (!StartProcess(start, process, startError))
    return EarlyFailure(Server, "! IsStartedOk", inName);

  bool failed = false;
  switch (WaitForProcess(process, kCgiTimeoutMs)) {
    case wrEnded:
      break;
    case wrTimeout:
      WriteLog(Server, "wfsoRet==WAIT_TIMEOUT");
      failed = true;
      break;
    case wrFailed:
      WriteLog(Server, "wfsoRet==WAIT_FAILED");
      failed = true;
      break;
  }
  // Kills the whole group when the program did not end, and reaps it: nothing stays behind.
  CloseProcess(process);
  // The output is what the program wrote while it ran. A child it left holding the file may go
  // on writing; those bytes land past this size and are never sent.
  const int64_t outputSize = GetFileSizeOfHandle(out.Get());

  if (GetFileSizeOfHandle(err.Get()) != 0) {
    WriteLog(Server, "stderrFile has size != 0");
    failed = true;
  }
  in.Reset();
  err.Reset();

  int64_t bodyLength = -1;
  if (!failed) {
    // Read at explicit offsets: the file's shared offset stays where the program's writes
    // ended, so a late write by its child cannot land inside what is sent.
    std::string head(kMaxCgiHeaderBlock, '\0');
    const int64_t got =
        outputSize < 0
            ? -1
            : ReadAt(out.Get(), head.data(),
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
    outcome.Output = out.Release();
    return outcome;
  }
  return EarlyFailure(Server, nullptr, inName);
}
