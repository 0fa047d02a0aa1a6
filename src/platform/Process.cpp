// Starting CGI programs on Linux: fork and exec with exactly the files and environment the
// run prepared, in a process group of their own so that a time-out can end all of it.
#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
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

// Everything the child needs, made before fork: after it only async-signal-safe calls are
// allowed, because the server may have other threads (Qt's) whose locks are held.
struct TChildPlan {
  std::string Module;
  std::vector<std::string> ArgStore;
  std::vector<std::string> EnvStore;
  std::vector<char*> Argv;
  std::vector<char*> Envp;
  std::string WorkingFolder;
};

[[noreturn]] void FailInChild(int reportFd) {
  const int err = errno;
  ssize_t ignored = write(reportFd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

void CloseOthersInChild(int keepFd) {
  // keepFd is close-on-exec already, so it still vanishes at exec.
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  if ((keepFd <= 3 || close_range(3, static_cast<unsigned>(keepFd) - 1, 0) == 0) &&
      close_range(static_cast<unsigned>(keepFd) + 1, ~0U, 0) == 0)
    return;
  struct rlimit lim {};
  long top = 1024;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    top = static_cast<long>(lim.rlim_cur);
  for (long fd = 3; fd < top; ++fd)
    if (fd != keepFd) close(static_cast<int>(fd));
}

[[noreturn]] void RunChild(const TChildPlan& plan, const TProcessStart& start, int reportFd) {
  // Signal dispositions the server ignores or blocks would otherwise pass to the program.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);

  if (setpgid(0, 0) != 0) FailInChild(reportFd);

  // Move the three files above 2 first: a file that already sits on 0-2 would keep its
  // close-on-exec flag through a dup2 onto itself, and one could overwrite another.
  const int in = fcntl(start.StdIn, F_DUPFD, 3);
  const int out = fcntl(start.StdOut, F_DUPFD, 3);
  const int err = fcntl(start.StdErr, F_DUPFD, 3);
  if (in < 0 || out < 0 || err < 0) FailInChild(reportFd);
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) FailInChild(reportFd);

  if (!plan.WorkingFolder.empty() && chdir(plan.WorkingFolder.c_str()) != 0) FailInChild(reportFd);
  CloseOthersInChild(reportFd);
  execve(plan.Module.c_str(), plan.Argv.data(), plan.Envp.data());
  FailInChild(reportFd);
}

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

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

  TChildPlan plan;
  plan.Module = Cp1251ToUtf8(start.Module);
  if (plan.Module[0] != '/') {
    // The program's working folder changes before exec, so pin a relative module to ours.
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      error = errno;
      return false;
    }
    plan.Module = std::string(cwd) + "/" + plan.Module;
  }
  plan.WorkingFolder = Cp1251ToUtf8(start.WorkingFolder);
  for (const std::string& a : SplitCommandLine(start.CommandLine))
    plan.ArgStore.push_back(Cp1251ToUtf8(a));
  for (const std::string& e : start.Environment) plan.EnvStore.push_back(Cp1251ToUtf8(e));
  for (std::string& a : plan.ArgStore) plan.Argv.push_back(a.data());
  plan.Argv.push_back(nullptr);
  for (std::string& e : plan.EnvStore) plan.Envp.push_back(e.data());
  plan.Envp.push_back(nullptr);

  // The child reports a failed exec through this pipe; a successful exec closes it silently.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    error = errno;
    return false;
  }
  const TFd reportRead(ends[0]);
  TFd reportWrite(ends[1]);
  const pid_t pid = fork();
  if (pid < 0) {
    error = errno;
    return false;
  }
  // The child never returns, so nothing it holds is released twice; the read end vanishes at
  // exec with everything else above the standard files.
  if (pid == 0) RunChild(plan, start, reportWrite.Get());
  info.Pid = pid;
  // Ours must go before the read, or a successful exec would never show as the end of the pipe.
  reportWrite.Reset();
  // Also from this side, so that a kill of the group can never race the child's own setpgid.
  setpgid(pid, pid);

  int childErr = 0;
  ssize_t got;
  do {
    got = read(reportRead.Get(), &childErr, sizeof childErr);
  } while (got < 0 && errno == EINTR);

  if (got > 0) {
    error = childErr != 0 ? childErr : EIO;
    // It has already ended: only reaped, never signalled.
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    info.Reaped = true;
    info.Pid = -1;
    return false;
  }
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
