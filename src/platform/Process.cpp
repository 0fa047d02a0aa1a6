// Starting CGI programs on Linux: posix_spawn with exactly the files and environment the run
// prepared, in a process group of their own so that a time-out can end all of it.
#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/Codec.h"

extern char** environ;

std::vector<std::string> SplitCommandLine(std::string_view s) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = s.size();
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };

  // The program name: quotes group it, backslashes are path characters there.
  while (i < n && isBlank(s[i])) ++i;
  if (i < n) {
    std::string name;
    if (s[i] == '"') {
      ++i;
      while (i < n && s[i] != '"') name += s[i++];
      if (i < n) ++i;
    } else {
      while (i < n && !isBlank(s[i])) name += s[i++];
    }
    args.push_back(std::move(name));
  }

  while (true) {
    while (i < n && isBlank(s[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !isBlank(s[i]))) {
      if (s[i] == '\\') {
        size_t slashes = 0;
        while (i < n && s[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && s[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg += '"';
            ++i;
          }
          // An even run leaves the quote to toggle the grouping below.
        } else {
          arg.append(slashes, '\\');
        }
      } else if (s[i] == '"') {
        quoted = !quoted;
        ++i;
      } else {
        arg += s[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::vector<std::string> OwnEnvironmentStrings() {
  std::vector<std::string> result;
  if (environ == nullptr) return result;
  for (char** e = environ; *e != nullptr; ++e) result.push_back(Utf8ToCp1251(*e));
  return result;
}

std::vector<std::string> SplitEnvironmentBlock(const char* block, size_t size) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start < size) {
    const void* nul = std::memchr(block + start, '\0', size - start);
    if (nul == nullptr) break;
    const size_t end = static_cast<const char*>(nul) - block;
    if (end == start) break;
    result.emplace_back(block + start, end - start);
    start = end + 1;
  }
  return result;
}

namespace {

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// The spawn's attributes and file actions, released on every path.
struct TSpawnPlan {
  posix_spawnattr_t Attr{};
  posix_spawn_file_actions_t Actions{};
  bool AttrMade = false;
  bool ActionsMade = false;
  ~TSpawnPlan() {
    if (AttrMade) posix_spawnattr_destroy(&Attr);
    if (ActionsMade) posix_spawn_file_actions_destroy(&Actions);
  }
};

// A standard file that already sits on 0-2 could be overwritten by another's dup2 before it is
// moved itself, so such a one is first copied above 2 (close-on-exec, gone after the spawn).
int AboveStandardFiles(int fd, TFd& copy) {
  if (fd > 2) return fd;
  copy.Reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  return copy.Get();
}

}  // namespace

bool StartProcess(const TProcessStart& start, TProcessInfo& info, int& error) {
  info = TProcessInfo{};
  error = 0;
  if (start.Module.empty() || HasNul(start.Module) || HasNul(start.WorkingFolder)) {
    error = ENOENT;
    return false;
  }
  if (start.StdIn < 0 || start.StdOut < 0 || start.StdErr < 0) {
    error = EBADF;
    return false;
  }

  std::string module = Cp1251ToUtf8(start.Module);
  if (module[0] != '/') {
    // The program's working folder changes before exec, so pin a relative module to ours.
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      error = errno;
      return false;
    }
    module = std::string(cwd) + "/" + module;
  }
  const std::string folder = Cp1251ToUtf8(start.WorkingFolder);
  std::vector<std::string> argStore;
  std::vector<std::string> envStore;
  for (const std::string& a : SplitCommandLine(start.CommandLine))
    argStore.push_back(Cp1251ToUtf8(a));
  envStore.reserve(start.Environment.size());
  for (const std::string& e : start.Environment) envStore.push_back(Cp1251ToUtf8(e));
  std::vector<char*> argv;
  std::vector<char*> envp;
  argv.reserve(argStore.size() + 1);
  envp.reserve(envStore.size() + 1);
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  TFd copies[3];
  const int files[3] = {AboveStandardFiles(start.StdIn, copies[0]),
                        AboveStandardFiles(start.StdOut, copies[1]),
                        AboveStandardFiles(start.StdErr, copies[2])};
  for (const int fd : files) {
    if (fd < 0) {
      error = errno;
      return false;
    }
  }

  // posix_spawn shares our memory with the child until it execs, instead of copying the page
  // tables of the whole server, and reports a failed exec as its own result.
  TSpawnPlan plan;
  int r = posix_spawnattr_init(&plan.Attr);
  plan.AttrMade = r == 0;
  if (r == 0) {
    r = posix_spawn_file_actions_init(&plan.Actions);
    plan.ActionsMade = r == 0;
  }
  // Every signal at its default and none blocked, whatever the server ignores (SIGPIPE) or
  // blocks; the program leads a process group of its own, so a time-out can end all of it.
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  if (r == 0) r = posix_spawnattr_setsigdefault(&plan.Attr, &all);
  if (r == 0) r = posix_spawnattr_setsigmask(&plan.Attr, &none);
  if (r == 0) r = posix_spawnattr_setpgroup(&plan.Attr, 0);
  if (r == 0)
    r = posix_spawnattr_setflags(
        &plan.Attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  for (int target = 0; target < 3 && r == 0; ++target)
    r = posix_spawn_file_actions_adddup2(&plan.Actions, files[target], target);
  if (r == 0 && !folder.empty())
    r = posix_spawn_file_actions_addchdir_np(&plan.Actions, folder.c_str());
  // Nothing but the three standard files, also where a library forgot close-on-exec.
  if (r == 0) r = posix_spawn_file_actions_addclosefrom_np(&plan.Actions, 3);
  pid_t pid = -1;
  if (r == 0)
    r = posix_spawn(&pid, module.c_str(), &plan.Actions, &plan.Attr, argv.data(), envp.data());
  if (r != 0) {
    // A child whose exec failed has been reaped by posix_spawn itself.
    error = r;
    return false;
  }
  info.Pid = pid;
  // Through syscall: this glibc declares pidfd_open without C linkage for C++.
  info.PidFd.Reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (info.PidFd.Valid()) fcntl(info.PidFd.Get(), F_SETFD, FD_CLOEXEC);
  return true;
}

namespace {

// True when the child has been reaped (or was reaped by someone else).
bool ReapNow(TProcessInfo& info, bool block) {
  int status;
  while (true) {
    const pid_t r = waitpid(info.Pid, &status, block ? 0 : WNOHANG);
    if (r == info.Pid) break;
    if (r == 0) return false;
    if (errno == EINTR) continue;
    if (errno == ECHILD) break;  // SIGCHLD ignored: the kernel reaped it for us
    return false;
  }
  info.Reaped = true;
  return true;
}

}  // namespace

TWaitResult WaitForProcess(TProcessInfo& info, int timeoutMs) {
  if (info.Pid <= 0) return wrFailed;
  if (info.Reaped) return wrEnded;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto remainingMs = [&]() {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  };

  if (info.PidFd.Valid()) {
    while (true) {
      pollfd pfd{info.PidFd.Get(), POLLIN, 0};
      const int r = poll(&pfd, 1, remainingMs());
      if (r > 0) return ReapNow(info, true) ? wrEnded : wrFailed;
      if (r == 0) return wrTimeout;
      if (errno != EINTR) return wrFailed;
    }
  }
  // Without process descriptors: poll the child in small steps, no SIGCHLD handler needed.
  while (true) {
    int status;
    const pid_t r = waitpid(info.Pid, &status, WNOHANG);
    if (r == info.Pid || (r < 0 && errno == ECHILD)) {
      info.Reaped = true;
      return wrEnded;
    }
    if (r < 0 && errno != EINTR) return wrFailed;
    if (remainingMs() == 0) return wrTimeout;
    timespec step{0, 5L * 1000 * 1000};
    nanosleep(&step, nullptr);
  }
}

TWaitResult CheckProcess(TProcessInfo& info) {
  if (info.Pid <= 0) return wrFailed;
  if (info.Reaped) return wrEnded;
  int status;
  while (true) {
    const pid_t r = waitpid(info.Pid, &status, WNOHANG);
    if (r == 0) return wrRunning;
    if (r == info.Pid || (r < 0 && errno == ECHILD)) break;
    if (errno != EINTR) return wrFailed;
  }
  info.Reaped = true;
  return wrEnded;
}

void KillProcessGroup(TProcessInfo& info) {
  if (info.Pid <= 0 || info.Reaped) return;
  kill(-info.Pid, SIGKILL);
  kill(info.Pid, SIGKILL);  // in case it never got its own group
  ReapNow(info, true);
}

void CloseProcess(TProcessInfo& info) {
  if (info.Pid > 0 && !info.Reaped) KillProcessGroup(info);
  info.PidFd.Reset();
}

TProcessInfo::~TProcessInfo() { CloseProcess(*this); }

TProcessInfo::TProcessInfo(TProcessInfo&& other) noexcept
    : Pid(other.Pid), PidFd(std::move(other.PidFd)), Reaped(other.Reaped) {
  other.Pid = -1;
  other.Reaped = false;
}

TProcessInfo& TProcessInfo::operator=(TProcessInfo&& other) noexcept {
  if (this != &other) {
    CloseProcess(*this);
    Pid = other.Pid;
    PidFd = std::move(other.PidFd);
    Reaped = other.Reaped;
    other.Pid = -1;
    other.Reaped = false;
  }
  return *this;
}
