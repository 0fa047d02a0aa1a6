// The log file: one descriptor kept open, checked against the name before each write, and the
// records of a turn of the event loop gathered into one write.
#include "log/Log.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/AppendFile.h"

namespace {

// Gathered bytes past which the records go out before the turn ends, so one busy turn never
// holds much in memory nor delays the log by much.
constexpr size_t kLogGatherBytes = size_t{64} * 1024;

// Records go to the file now named as the caller says: a log renamed, deleted or replaced
// meanwhile is left alone. A file already larger than its limit is first set aside as name +
// ".1" (replacing the older one), so a record starts the new file and none is split between two.
class TLogWriter {
 public:
  // The record is text followed by tail (its line end), joined here without a copy of text.
  // Inside a turn the record is only gathered (true); otherwise false when anything failed.
  bool Append(const std::string& path, std::string_view text, std::string_view tail,
              int64_t rotateAbove) {
    if (path != FPath) {
      Flush();  // what was gathered belongs to the file of the old name
      FPath = path;
      FNameValid = FFile.SetName(path);
    }
    if (!FNameValid) return false;
    // A record that would start past the limit starts the next file, as it would written alone:
    // what is gathered goes first, and the limit is looked at again before this one.
    if (FGathering && !FPending.empty() &&
        FFile.Size() + static_cast<int64_t>(FPending.size()) > rotateAbove)
      Flush();
    FPending += text;
    FPending += tail;
    FRotateAbove = rotateAbove;
    if (FGathering && FPending.size() < kLogGatherBytes) return true;
    return Flush();
  }

  void Begin() { FGathering = true; }

  void End() {
    FGathering = false;
    Flush();
  }

  // Whatever happens, the gathered records are let go: a log that cannot be written loses them
  // rather than growing the server or trying again forever.
  bool Flush() {
    if (FPending.empty()) return true;
    const bool ok = FNameValid && FFile.Current() && Write();
    FPending.clear();
    // A record of many kilobytes (a long head) need not keep its room for the rest of the run.
    if (FPending.capacity() > 2 * kLogGatherBytes) FPending.shrink_to_fit();
    return ok;
  }

  void Close() {
    Flush();
    FFile.Close();
  }

 private:
  bool Write() {
    if (FFile.Size() > FRotateAbove) {
      std::string why;
      if (!FFile.SetAside(why)) {
        // The folder is not writable, say: appending on would grow the log without end.
        if (!FSetAsideFailed) {
          FSetAsideFailed = true;
          const char* name = FFile.SystemName().c_str();
          std::fprintf(stderr,
                       "brevoxa: the log %s cannot be set aside as %s.1 (%s): no more records "
                       "are written to it\n",
                       name, name, why.c_str());
        }
        return false;
      }
      FSetAsideFailed = false;
      if (!FFile.Current()) return false;
    }
    return FFile.Append(FPending);
  }

  std::string FPath;  // cp1251, as the caller names it
  bool FNameValid = false;
  TAppendFile FFile;
  std::string FPending;
  int64_t FRotateAbove = 0;
  bool FGathering = false;
  bool FSetAsideFailed = false;  // said so on standard error
};

TLogWriter& Writer() {
  // Never destroyed: a record written by another object's destructor at exit still finds it.
  static TLogWriter* writer = [] {
    auto* w = new TLogWriter;
    std::atexit([] { Writer().Flush(); });
    return w;
  }();
  return *writer;
}

}  // namespace

void WriteLog(const std::string& FileName, const std::string& Text, int64_t RotateBytes) {
  // A log that cannot be written never stops the server, so the result is not looked at.
  Writer().Append(FileName, Text, "\n", RotateBytes);
}

void WriteLog(const TServerState& Server, const std::string& Text) {
  WriteLog(Server.LogFileName, Text, Server.LogRotateBytes);
}

void BeginLogTurn() { Writer().Begin(); }

void EndLogTurn() { Writer().End(); }

void FlushLog() { Writer().Flush(); }

void CloseLog() { Writer().Close(); }
