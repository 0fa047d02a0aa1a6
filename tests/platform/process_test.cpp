// Command-line splitting and starting, waiting for and killing CGI programs.
#include "platform/Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLineTest, WindowsRules) {
  struct Case {
    const char* line;
    Args expected;
  };
  const Case cases[] = {
      {"", {}},
      {"   ", {}},
      {"prog", {"prog"}},
      {"\"/usr/bin/python3\" \"/srv/a b/x.py\"", {"/usr/bin/python3", "/srv/a b/x.py"}},
      {"p hello world", {"p", "hello", "world"}},
      {"p   a\t\tb  ", {"p", "a", "b"}},
      {"p \"\" x", {"p", "", "x"}},
      {"p \"a\"b\"c d\"", {"p", "abc d"}},
      {"p a\\b c\\\\d", {"p", "a\\b", "c\\\\d"}},  // backslashes alone are literal
      {"p a\\\"b", {"p", "a\"b"}},                 // 1 backslash + quote: literal quote
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},         // 2 + quote: one backslash, grouping
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},           // 3 + quote: one backslash, quote
      {"p \"x\\\\\" y", {"p", "x\\", "y"}},        // 2 + closing quote
      {"p a\\\\", {"p", "a\\\\"}},                 // trailing run kept whole
      {"p \"open ended", {"p", "open ended"}},
      {"\"C:\\dir\\\" arg", {"C:\\dir\\", "arg"}},  // the program name ignores escapes
      {"\"/x y/prog\"rest a", {"/x y/prog", "rest", "a"}},
      {"p \xCF\xF0\xE8 \"\xE0 \xE1\"", {"p", "\xCF\xF0\xE8", "\xE0 \xE1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(SplitCommandLine(c.line), c.expected);
  }
}

TEST(SplitEnvironmentBlockTest, StopsAtTheEmptyString) {
  struct Case {
    std::string block;
    Args expected;
  };
  const Case cases[] = {
      {std::string("A=1\0B=2\0\0C=3\0", 14), {"A=1", "B=2"}},
      {std::string("A=1\0\0", 5), {"A=1"}},
      {std::string("\0", 1), {}},
      {std::string("A=1\0B=unterminated", 18), {"A=1"}},
      {"", {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SplitEnvironmentBlock(c.block.data(), c.block.size()), c.expected);
}

// The three standard files of a run, read back after it.
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    In = Open("in");
    Out = Open("out");
    Err = Open("err");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    FOldCwd = cwd;
  }
  void TearDown() override {
    close(In);
    close(Out);
    close(Err);
    ASSERT_EQ(chdir(FOldCwd.c_str()), 0);
  }
  int Open(const std::string& name) {
    return open((Dir / name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  TProcessStart Shell(const std::string& script, Args env = {}) {
    TProcessStart s;
    s.Module = "/bin/sh";
    s.CommandLine = "\"/bin/sh\" -c \"" + script + "\"";
    s.Environment = std::move(env);
    s.WorkingFolder = Dir.Path();
    s.StdIn = In;
    s.StdOut = Out;
    s.StdErr = Err;
    return s;
  }
  // Runs to the end and returns standard output.
  std::string Run(const TProcessStart& s) {
    TProcessInfo info;
    int error = 0;
    EXPECT_TRUE(StartProcess(s, info, error)) << error;
    EXPECT_EQ(WaitForProcess(info, 10000), wrEnded);
    EXPECT_TRUE(info.Reaped);
    CloseProcess(info);
    return ReadFile(Dir / "out");
  }
  static bool NoChildLeft() {
    int status;
    return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
  }

  TempDir Dir;
  int In = -1, Out = -1, Err = -1;

 private:
  std::string FOldCwd;
};

TEST_F(ProcessTest, ExactEnvironmentFolderAndStandardFiles) {
  WriteFile(Dir / "in", "body on stdin");
  EXPECT_EQ(Run(Shell("echo [$FOO] [${HOME-unset}]; pwd; cat; echo err >&2", {"FOO=bar baz"})),
            "[bar baz] [unset]\n" + Dir.Path() + "\nbody on stdin");
  EXPECT_EQ(ReadFile(Dir / "err"), "err\n");
  EXPECT_TRUE(NoChildLeft());
}

TEST_F(ProcessTest, TextsReachTheProgramAsUtf8) {
  // cp1251 "При" in the folder name, an argument and a variable.
  ASSERT_EQ(mkdir((Dir / "При").c_str(), 0700), 0);
  TProcessStart s = Shell("pwd; echo $V; echo $1", {"V=\xCF\xF0\xE8"});
  s.CommandLine += " x \xCF\xF0\xE8";
  s.WorkingFolder = Dir.Path() + "/\xCF\xF0\xE8";
  EXPECT_EQ(Run(s), Dir / "При\nПри\nПри\n");
}

TEST_F(ProcessTest, OnlyTheStandardFilesAreInherited) {
  // Deliberately without close-on-exec, like a descriptor some library forgot to mark.
  const int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  const std::string fds = Run(Shell("ls /proc/$$/fd"));
  close(leaky);
  EXPECT_EQ(fds, "0\n1\n2\n");
}

TEST_F(ProcessTest, ProgramGetsEverySignalAtItsDefault) {
  // The server ignores SIGPIPE; a program must not inherit that, nor a blocked signal.
  struct sigaction ignore {};
  struct sigaction old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old), 0);
  sigset_t block;
  sigset_t oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &oldMask), 0);
  // Read by the shell itself: a command it started would see it blocking signals to fork.
  const std::string out =
      Run(Shell("while read -r k v; do case $k in SigBlk:|SigIgn:) echo $k $v;; esac; done "
                "</proc/$$/status"));
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGPIPE, &old, nullptr);
  // Each line is a mask of bits (signal n is bit n - 1). The C library keeps signals 32 and 33
  // for itself: they stay as the test runner left them, whatever a program asks.
  ASSERT_EQ(out.size(), 50u) << out;
  EXPECT_EQ(out.substr(0, 8), "SigBlk: ");
  EXPECT_EQ(std::strtoull(out.substr(8, 16).c_str(), nullptr, 16), 0u) << out;
  EXPECT_EQ(std::strtoull(out.substr(33, 16).c_str(), nullptr, 16) & ~0x180000000ull, 0u) << out;
}

TEST_F(ProcessTest, ProgramRunsInItsOwnProcessGroup) {
  const std::string out = Run(Shell("cut -d' ' -f1,5 /proc/$$/stat"));
  const size_t blank = out.find(' ');
  ASSERT_NE(blank, std::string::npos);
  EXPECT_EQ(out.substr(0, blank) + "\n", out.substr(blank + 1));
}

TEST_F(ProcessTest, StartFailuresAreReportedAndLeaveNoChild) {
  WriteFile(Dir / "notexec", "#!/bin/sh\necho hi\n");
  chmod((Dir / "notexec").c_str(), 0600);
  WriteFile(Dir / "tool", "#!/bin/sh\necho tool ran\n");
  chmod((Dir / "tool").c_str(), 0700);
  ASSERT_EQ(chdir(Dir.Path().c_str()), 0);
  struct Case {
    const char* name;
    std::string module;
    std::string folder;
    int error;
  };
  const Case cases[] = {
      {"missing module", Dir / "nothing", Dir.Path(), ENOENT},
      {"not executable", Dir / "notexec", Dir.Path(), EACCES},
      {"never looked up on PATH", "sh", Dir.Path(), ENOENT},
      {"missing working folder", "/bin/sh", Dir / "no-such-folder", ENOENT},
      {"NUL in the module", std::string("/bin/sh\0x", 9), Dir.Path(), ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TProcessStart s = Shell("true");
    s.Module = c.module;
    s.WorkingFolder = c.folder;
    TProcessInfo info;
    int error = 0;
    EXPECT_FALSE(StartProcess(s, info, error));
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(NoChildLeft());
  }
  // A relative module is ours, not the working folder's: it runs from elsewhere.
  ASSERT_EQ(mkdir((Dir / "work").c_str(), 0700), 0);
  TProcessStart s = Shell("");
  s.Module = "tool";
  s.CommandLine = "\"tool\"";
  s.WorkingFolder = Dir / "work";
  EXPECT_EQ(Run(s), "tool ran\n");
}

TEST_F(ProcessTest, TimeOutKillsTheWholeGroup) {
  // The program starts a grandchild that would outlive it if only the program were killed.
  TProcessInfo info;
  int error = 0;
  ASSERT_TRUE(StartProcess(Shell("sleep 30 & sleep 30"), info, error));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForProcess(info, 300), wrTimeout);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(280));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  const int group = info.Pid;
  EXPECT_GT(LiveMembersOfProcessGroup(group), 0);
  KillProcessGroup(info);
  CloseProcess(info);
  EXPECT_TRUE(NoChildLeft());
  // The grandchild belongs to whoever reaps orphans; it must at least be dead at once.
  EXPECT_EQ(LiveMembersAfterKill(group), 0);
}

TEST_F(ProcessTest, ClosingARunningProgramKillsAndReapsIt) {
  TProcessInfo info;
  int error = 0;
  ASSERT_TRUE(StartProcess(Shell("sleep 30"), info, error));
  CloseProcess(info);
  EXPECT_TRUE(info.Reaped);
  EXPECT_TRUE(NoChildLeft());
}

}  // namespace
