// The log file: one descriptor kept open, checked against the name before each write, and the
// records of a turn gathered into one write.
#include "platform/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Files.h"
#include "platform/UniqueFd.h"

namespace {

class TLogWriter {
 public:
  bool Append(const std::string& path, std::string_view text, std::string_view tail,
              int64_t rotateAbove) {
    if (path != FPath) {
      Flush();  // what was gathered belongs to the file of the old name
      FFd.Reset();
      FSize = 0;
      FPath = path;
      FNameValid = OsPath(path, FUtf8);
    }
    if (!FNameValid) return false;
    // A record that would start past the limit starts the next file, as it would written alone:
    // what is gathered goes first, and the limit is looked at again before this one.
    if (FGathering && !FPending.empty() &&
        FSize + static_cast<int64_t>(FPending.size()) > rotateAbove)
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
    const bool ok = FNameValid && Current() && Write();
    FPending.clear();
    // A record of many kilobytes (a long head) need not keep its room for the rest of the run.
    if (FPending.capacity() > 2 * kLogGatherBytes) FPending.shrink_to_fit();
    return ok;
  }

  void Close() {
    Flush();
    FFd.Reset();
  }

 private:
  // A log made read-only is left alone, also by a descriptor opened before, and by root, whom the
  // mode does not stop: the user's word on the file, as on Windows.
  static bool ReadOnly(const struct stat& st) {
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
           (st.st_uid == geteuid() && (st.st_mode & S_IWUSR) == 0);
  }

  // Opens the log for appending without ever blocking, and only when it is a regular file.
  bool Open() {
    FFd.Reset(open(FUtf8.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                   0644));
    struct stat st;
    if (FFd.Valid() && (fstat(FFd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || ReadOnly(st)))
      FFd.Reset();
    if (!FFd.Valid()) return false;
    FDev = st.st_dev;
    FIno = st.st_ino;
    FSize = static_cast<int64_t>(st.st_size);
    return true;
  }

  // Makes the kept descriptor the file now named FPath. The inode the descriptor holds cannot be
  // reused while it is open, so the same device and inode mean the same file.
  bool Current() {
    if (FFd.Valid()) {
      struct stat st;
      if (stat(FUtf8.c_str(), &st) == 0 && st.st_dev == FDev && st.st_ino == FIno) {
        FSize = static_cast<int64_t>(st.st_size);
        if (!ReadOnly(st)) return true;
      }
      FFd.Reset();  // renamed, deleted or replaced: the name decides
    }
    return Open();
  }

  bool Write() {
    if (FSize > FRotateAbove) {
      if (rename(FUtf8.c_str(), (FUtf8 + ".1").c_str()) != 0) {
        // The folder is not writable, say: appending on would grow the log without end.
        if (!FSetAsideFailed) {
          FSetAsideFailed = true;
          std::fprintf(stderr,
                       "brevoxa: the log %s cannot be set aside as %s.1 (%s): no more records "
                       "are written to it\n",
                       FUtf8.c_str(), FUtf8.c_str(), std::strerror(errno));
        }
        return false;
      }
      FSetAsideFailed = false;
      FFd.Reset();  // before the new one opens: at the descriptor limit there is room for one
      if (!Open()) return false;
    }
    if (!WriteAllBytes(FFd.Get(), FPending.data(), FPending.size())) return false;
    FSize += static_cast<int64_t>(FPending.size());
    return true;
  }

  std::string FPath;  // cp1251, as the caller names it
  std::string FUtf8;
  bool FNameValid = false;
  TFd FFd;
  dev_t FDev = 0;
  ino_t FIno = 0;
  int64_t FSize = 0;  // as last looked up, with what was written since
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

bool AppendLogRecord(const std::string& path, std::string_view text, int64_t rotateAbove,
                     std::string_view tail) {
  return Writer().Append(path, text, tail, rotateAbove);
}

void BeginLogGathering() { Writer().Begin(); }

void EndLogGathering() { Writer().End(); }

void FlushLogFile() { Writer().Flush(); }

void CloseLogFile() { Writer().Close(); }
