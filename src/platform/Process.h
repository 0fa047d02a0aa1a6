// Starting a CGI program: the Windows-style command line, the child with its three standard
// files, waiting with a time-out and killing its whole process group. Texts are cp1251.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "platform/UniqueFd.h"

// Splits a command line into arguments the way Windows programs do: blanks and tabs separate,
// double quotes group, 2n backslashes before a quote give n backslashes and toggle the
// grouping, 2n+1 give n backslashes and a literal quote; other backslashes are literal. The
// first argument (the program name) only honours quotes, never backslash escapes.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Our own process environment, "NAME=value" each, in the order the process received it,
// converted from UTF-8 to cp1251.
std::vector<std::string> OwnEnvironmentStrings();

// A block of NUL-ended "NAME=value" strings closed by an empty string, as a list. Bytes after
// the closing empty string are ignored; so is a last string without its NUL.
std::vector<std::string> SplitEnvironmentBlock(const char* block, size_t size);

struct TProcessStart {
  std::string Module;       // run as given; relative to our current folder, never searched on PATH
  std::string CommandLine;  // split by SplitCommandLine into the program's arguments
  std::vector<std::string> Environment;  // the program's whole environment
  std::string WorkingFolder;
  THandle StdIn = INVALID_HANDLE_VALUE;
  THandle StdOut = INVALID_HANDLE_VALUE;
  THandle StdErr = INVALID_HANDLE_VALUE;
};

// The one owner of a started program. Letting go of one that still runs kills its whole process
// group and reaps it, so no path, early return or exception included, leaves a program or a
// zombie behind. Pid and Reaped are for reading; the functions below keep them.
class TProcessInfo {
 public:
  TProcessInfo() = default;
  ~TProcessInfo();
  TProcessInfo(TProcessInfo&& other) noexcept;
  TProcessInfo& operator=(TProcessInfo&& other) noexcept;
  TProcessInfo(const TProcessInfo&) = delete;
  TProcessInfo& operator=(const TProcessInfo&) = delete;

  int Pid = -1;  // also the id of the program's own process group
  TFd PidFd;     // not valid where the kernel has no process descriptors
  bool Reaped = false;
};

// Starts the program in its own process group, every signal at its default. Only the three
// standard files are inherited. False, with errno-style error, when the program could not be
// started (exec failure included).
bool StartProcess(const TProcessStart& start, TProcessInfo& info, int& error);

enum TWaitResult { wrEnded, wrTimeout, wrFailed, wrRunning };
// Waits until the program ends (then reaps it) or timeoutMs pass.
TWaitResult WaitForProcess(TProcessInfo& info, int timeoutMs);
// Without waiting: wrEnded (and reaped) when the program has ended, wrRunning while it runs.
TWaitResult CheckProcess(TProcessInfo& info);
// Kills the program's whole process group and reaps the program, so nothing of it stays behind.
void KillProcessGroup(TProcessInfo& info);
// Lets go of the program now rather than when its owner goes: kills and reaps it if it still
// runs, and releases the process descriptor.
void CloseProcess(TProcessInfo& info);
