// The program itself, in private network and mount namespaces so that it can have port 80 to
// itself: start-up record, orderly end on SIGTERM, the port errors, the command line, where its
// files go, and what a CGI program inherits from it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// As root a plain unshare; otherwise an unprivileged user namespace, whose root may bring up lo
// and bind port 80 inside. Empty when the machine refuses both.
const std::string& IsolationCommand() {
  static const std::string command = [] {
    std::string c = geteuid() == 0 ? "unshare --net --mount" : "unshare -rnm";
    return std::system((c + " true 2>/dev/null").c_str()) == 0 ? c : std::string();
  }();
  return command;
}

#define SKIP_WITHOUT_NAMESPACES()                                                            \
  if (IsolationCommand().empty())                                                            \
  GTEST_SKIP() << "this machine refuses private network namespaces (unshare --net as root, " \
                  "unshare -rn otherwise); the program is not run on the shared network"

// What every script needs: lo up, waiting for the start-up record, a one-shot HTTP GET.
const char kPrelude[] = R"(
set -u
ip link set lo up
started() {
  for i in $(seq 1 200); do
    grep -q "SESSION STARTED" "$1/brevoxa.log" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
fetch() {
  exec 3<>"/dev/tcp/127.0.0.1/$1" || return 1
  printf 'GET %s HTTP/1.0\r\n\r\n' "$2" >&3
  cat <&3 >"$3"
  exec 3<&-
}
)";

// Runs the script with bash inside the namespaces; its exit status.
int RunIsolated(const TempDir& dir, const std::string& script, const std::string& env = "") {
  WriteFile(dir / "run.sh", kPrelude + script);
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY LSAN_OPTIONS=suppressions=" +
                              std::string(TEST_SOURCE_DIR) + "/support/lsan.supp " + env + " " +
                              IsolationCommand() + " bash " + dir / "run.sh";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string CopyProgram(const TempDir& dir) {
  std::filesystem::copy_file(BREVOXA_EXE, dir / "brevoxa");
  return dir / "brevoxa";
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

TEST(Program, RunsStopsOnSigtermAndRefusesABusyPort) {
  SKIP_WITHOUT_NAMESPACES();
  TempDir first, second;
  // Each copy keeps its log and hive beside itself.
  CopyProgram(first);
  CopyProgram(second);
  WriteFile(first / "hello.txt", "hello from the test");
  const std::string script = "A=" + Quoted(first.Path()) + "\nB=" + Quoted(second.Path()) + R"(
"$A/brevoxa" 2>"$A/stderr" &
pid=$!
started "$A"
fetch 80 "$A/hello.txt" "$A/response"
"$B/brevoxa" >"$B/stdout" 2>"$B/stderr"
echo $? >"$B/status"
kill -TERM $pid
wait $pid
echo $? >"$A/status"
)";
  ASSERT_EQ(RunIsolated(first, script), 0);

  const std::string log = ReadFile(first / "brevoxa.log");
  EXPECT_EQ(log.rfind("Brevoxa SESSION STARTED at ", 0), 0u) << log;
  EXPECT_NE(log.find("\nBrevoxa SESSION TERMINATED at "), std::string::npos) << log;
  EXPECT_NE(log.find("connects: 1; requests: 1; errors: 0; attempts to connect from banned IP: 0."),
            std::string::npos)
      << log;
  EXPECT_EQ(Trim(ReadFile(first / "status")), "0") << ReadFile(first / "stderr");
  const std::string response = ReadFile(first / "response");
  EXPECT_EQ(response.rfind("HTTP/1.0 200", 0) == 0 || response.rfind("HTTP/1.1 200", 0) == 0, true)
      << response;
  EXPECT_NE(response.find("hello from the test"), std::string::npos);
  // What is served and where, on standard error alone; the default root is the whole disk.
  const std::string started = ReadFile(first / "stderr");
  EXPECT_NE(started.find("brevoxa: serving / at http://127.0.0.1/\nbrevoxa: warning: the root "
                         "folder is /, the whole file system: "),
            std::string::npos)
      << started;
  EXPECT_EQ(log.find("serving"), std::string::npos) << log;

  // The second copy found the port taken: the error on standard error, one more line there
  // saying what to do, a failing status, and no log file of its own.
  const std::string stderrText = ReadFile(second / "stderr");
  EXPECT_NE(stderrText.find("Windows socket error: Address already in use (10048), on API 'bind'\n"
                            "brevoxa: port 80 is taken by another program: stop it, or choose "
                            "another port with --port, e.g. --port 8080\n"),
            std::string::npos)
      << stderrText;
  EXPECT_EQ(ReadFile(second / "stdout"), "");
  EXPECT_NE(Trim(ReadFile(second / "status")), "0");
  EXPECT_FALSE(Exists(second / "brevoxa.log")) << "the log must not be touched";
  EXPECT_FALSE(Exists(second / "HKLM.reg"));
}

TEST(Program, PortWithoutPrivilegeNamesTheCapabilityAndThePortOption) {
  SKIP_WITHOUT_NAMESPACES();
  TempDir dir;
  const std::string exe = CopyProgram(dir);
  // Without CAP_NET_BIND_SERVICE, as an ordinary user without the file capability.
  const std::string script = "A=" + Quoted(dir.Path()) + R"(
setpriv --bounding-set -net_bind_service "$A/brevoxa" 2>"$A/stderr"
echo $? >"$A/status"
)";
  ASSERT_EQ(RunIsolated(dir, script), 0);
  const std::string stderrText = ReadFile(dir / "stderr");
  EXPECT_NE(stderrText.find("Windows socket error: Permission denied (10013), on API 'bind'\n"
                            "brevoxa: port 80 needs a privilege: grant it once with 'sudo setcap "
                            "cap_net_bind_service=+ep " +
                            exe + "', or choose a port above 1023 with --port, e.g. --port 8080\n"),
            std::string::npos)
      << stderrText;
  EXPECT_EQ(Trim(ReadFile(dir / "status")), "1");
  EXPECT_FALSE(Exists(dir / "brevoxa.log"));
}

TEST(Program, ServesOnTheGivenPortWithFilesInTheGivenFolder) {
  SKIP_WITHOUT_NAMESPACES();
  TempDir dir;
  CopyProgram(dir);
  WriteFile(dir / "hello.txt", "hello on another port");
  const std::string script = "A=" + Quoted(dir.Path()) + R"(
"$A/brevoxa" --port 8080 --program-folder "$A/state/new" 2>"$A/stderr" &
pid=$!
started "$A/state/new"
fetch 8080 "$A/hello.txt" "$A/response"
fetch 80 "$A/hello.txt" "$A/response80" 2>/dev/null
kill -TERM $pid
wait $pid
)";
  ASSERT_EQ(RunIsolated(dir, script), 0) << ReadFile(dir / "stderr");
  EXPECT_NE(ReadFile(dir / "response").find("hello on another port"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "response80"), "") << "nothing listens on port 80";
  const std::string log = ReadFile(dir / "state/new/brevoxa.log");
  EXPECT_NE(log.find("\nBrevoxa SESSION TERMINATED at "), std::string::npos) << log;
  EXPECT_FALSE(Exists(dir / "brevoxa.log")) << "nothing beside the executable";
}

TEST(Program, ReadOnlyProgramFolderMovesItsFilesToTheStateHome) {
  SKIP_WITHOUT_NAMESPACES();
  TempDir dir;
  std::filesystem::create_directory(dir / "bin");
  std::filesystem::copy_file(BREVOXA_EXE, dir / "bin/brevoxa");
  // A read-only mount stops root as well as anybody else, as a system folder would.
  const std::string script = "A=" + Quoted(dir.Path()) + R"(
mount --bind "$A/bin" "$A/bin" && mount -o remount,bind,ro "$A/bin" || exit 3
XDG_STATE_HOME="$A/state" "$A/bin/brevoxa" 2>"$A/stderr" &
pid=$!
started "$A/state/vyn-brevoxa"
kill -TERM $pid
wait $pid
)";
  ASSERT_EQ(RunIsolated(dir, script), 0) << ReadFile(dir / "stderr");
  EXPECT_NE(ReadFile(dir / "state/vyn-brevoxa/brevoxa.log").find("SESSION TERMINATED"),
            std::string::npos);
  EXPECT_FALSE(Exists(dir / "bin/brevoxa.log"));
}

// A CGI program sees what the server received and its own variables, nothing the program set
// for itself (such as the offscreen platform of a headless run).
TEST(Program, HeadlessRunPassesCgiOnlyTheEnvironmentItReceived) {
  SKIP_WITHOUT_NAMESPACES();
  TempDir dir;
  CopyProgram(dir);
  std::filesystem::create_directories(dir / "www/cgi-bin");
  WriteFile(dir / "www/cgi-bin/env.sh", "printf 'Content-Type: text/plain\\n\\n'\nexec env\n");
  WriteFile(dir / "HKLM.reg", ShellCgiHive(dir / "www"));
  const std::string script = "A=" + Quoted(dir.Path()) + R"(
env -i PATH=/usr/bin:/bin FROM_THE_TEST=kept LSAN_OPTIONS="$LSAN_OPTIONS" \
  ASAN_OPTIONS="${ASAN_OPTIONS:-}" "$A/brevoxa" 2>"$A/stderr" &
pid=$!
started "$A"
fetch 80 /cgi-bin/env.sh "$A/response"
kill -TERM $pid
wait $pid
)";
  ASSERT_EQ(RunIsolated(dir, script), 0) << ReadFile(dir / "stderr");
  const std::string started = ReadFile(dir / "stderr");
  EXPECT_NE(started.find("brevoxa: serving " + dir / "www" + " at http://127.0.0.1/\n"),
            std::string::npos)
      << started;
  EXPECT_EQ(started.find("brevoxa: warning"), std::string::npos) << started;
  const std::string response = ReadFile(dir / "response");
  ASSERT_EQ(response.find(" 200 OK\r\n"), 8u) << response;
  std::istringstream body(response.substr(response.find("\r\n\r\n") + 4));
  const std::set<std::string> allowed = {
      // what the server received
      "PATH", "FROM_THE_TEST", "LSAN_OPTIONS", "ASAN_OPTIONS",
      // the CGI variables of this request
      "REQUEST_METHOD", "QUERY_STRING", "REMOTE_ADDR", "REMOTE_PORT", "SCRIPT_NAME",
      "GATEWAY_INTERFACE", "SERVER_SOFTWARE", "SERVER_PROTOCOL", "SERVER_PORT", "SCRIPT_FILENAME",
      "SERVER_NAME", "DOCUMENT_ROOT",
      // the shell's own
      "PWD"};
  std::set<std::string> names;
  for (std::string line; std::getline(body, line);) {
    if (size_t eq = line.find('='); eq != std::string::npos) names.insert(line.substr(0, eq));
  }
  EXPECT_TRUE(names.count("FROM_THE_TEST")) << response;
  for (const std::string& name : names) EXPECT_TRUE(allowed.count(name)) << name;
}

// What a client that escapes everything but the unreserved characters sends for a name.
std::string EscapeAll(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// A root, a program folder and names the code page cannot hold, and names with the characters
// that cut or change a URL: curl follows every listing link, asks for every name as a client
// escapes it, and runs a program in a folder with such a name.
TEST(Program, EveryNameReachesTheClientWhateverItsCharacters) {
  SKIP_WITHOUT_NAMESPACES();
  TempDir dir;
  std::filesystem::create_directories(dir / "prog é");
  std::filesystem::copy_file(BREVOXA_EXE, dir / "prog é/brevoxa");
  const std::string root = dir / "josé/Música 😀";
  const std::vector<std::string> names = {"Café.txt",         "中文 😀.txt",   "№ «x».txt",
                                          "a#b?c%d;e{f}.txt", "+&'()= x.txt", "Привет.txt"};
  std::filesystem::create_directories(root + "/Müller #2");
  std::filesystem::create_directories(root + "/cgi-bin/ñ dir");
  for (const std::string& name : names) WriteFile(root + "/" + name, "file " + name);
  WriteFile(root + "/cgi-bin/ñ dir/run.sh",
            "printf 'Content-Type: text/plain\\n\\n'\nprintf 'ran %s' \"$SCRIPT_FILENAME\"\n");
  WriteFile(dir / "prog é/HKLM.reg", ShellCgiHive(root));
  std::string escaped;
  for (const std::string& name : names) escaped += "/" + EscapeAll(name) + "\n";
  WriteFile(dir / "escaped", escaped);
  const std::string script = "A=" + Quoted(dir.Path()) + R"(
P="$A/prog é"
"$P/brevoxa" --program-folder "$P" 2>"$A/stderr" &
pid=$!
started "$P"
get() { curl -s -g -o "$2" "http://127.0.0.1$1"; }
get / "$A/listing"
grep -o 'href="[^"]*"' "$A/listing" | sed 's/^href="//; s/"$//; s/&amp;/\&/g' >"$A/links"
i=0
while read -r link; do i=$((i + 1)); get "$link" "$A/link$i"; done <"$A/links"
i=0
while read -r path; do i=$((i + 1)); get "$path" "$A/name$i"; done <"$A/escaped"
get "/cgi-bin/%C3%B1%20dir/run.sh" "$A/cgi"
kill -TERM $pid
wait $pid
)";
  ASSERT_EQ(RunIsolated(dir, script), 0) << ReadFile(dir / "stderr");
  std::istringstream links(ReadFile(dir / "links"));
  std::set<std::string> fetched;
  int count = 0;
  for (std::string link; std::getline(links, link);)
    fetched.insert(ReadFile(dir / ("link" + std::to_string(++count))));
  EXPECT_EQ(count, static_cast<int>(names.size()) + 2) << ReadFile(dir / "listing");
  for (const std::string& name : names) EXPECT_TRUE(fetched.count("file " + name)) << name;
  for (size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(ReadFile(dir / ("name" + std::to_string(i + 1))), "file " + names[i]);
  EXPECT_EQ(ReadFile(dir / "cgi"), "ran " + root + "/cgi-bin/ñ dir/run.sh");
}

// With the root "/", nothing of the kernel's file systems is served, nor the program's own log by
// any other name, nor anything that is no regular file or folder: each answers 404 as a missing
// file would, and none of them is listed.
TEST(Program, ServesNothingOfProcSysDevicesOrItsOwnFiles) {
  SKIP_WITHOUT_NAMESPACES();
  TempDir dir;
  CopyProgram(dir);
  std::filesystem::create_directory(dir / "www");
  WriteFile(dir / "www/plain.txt", "plain");
  const std::string script = "A=" + Quoted(dir.Path()) + R"sh(
mkfifo "$A/www/fifo"
"$A/brevoxa" 2>"$A/stderr" &
pid=$!
started "$A"
for f in /proc/$pid/fd/*; do
  [ "$(readlink "$f")" = "$A/brevoxa.log" ] && n=${f##*/}
done
for path in /proc/self/fd/$n /dev/fd/$n /proc/$pid/fd/$n /proc/thread-self/fd/$n     /proc/self/cwd/brevoxa.log /proc/self/environ /proc/ /sys/ /sys/kernel/ /dev/null     "$A/www/fifo" "$A/www/plain.txt"; do
  fetch 80 "$path" "$A/answer"
  printf '%s %s\n' "$path" "$(head -c 12 "$A/answer")" >>"$A/statuses"
done
fetch 80 / "$A/root-listing"
fetch 80 "$A/www/" "$A/www-listing"
kill -TERM $pid
wait $pid
)sh";
  ASSERT_EQ(RunIsolated(dir, script), 0) << ReadFile(dir / "stderr");
  std::istringstream statuses(ReadFile(dir / "statuses"));
  int lines = 0;
  for (std::string line; std::getline(statuses, line); ++lines) {
    const bool plain = line.find("/www/plain.txt ") != std::string::npos;
    EXPECT_EQ(line.substr(line.size() - 3), plain ? "200" : "404") << line;
  }
  EXPECT_EQ(lines, 12);
  const std::string root = ReadFile(dir / "root-listing");
  EXPECT_NE(root.find("href=\"/etc/\""), std::string::npos) << root.substr(0, 2000);
  EXPECT_EQ(root.find("href=\"/proc/\""), std::string::npos);
  EXPECT_EQ(root.find("href=\"/sys/\""), std::string::npos);
  const std::string www = ReadFile(dir / "www-listing");
  EXPECT_NE(www.find("plain.txt"), std::string::npos) << www;
  EXPECT_EQ(www.find("fifo"), std::string::npos) << www;
}

struct CommandLineCase {
  const char* name;
  const char* arguments;
  int status;
  const char* stdoutPattern;  // ECMAScript, whole output
  const char* stderrPattern;
};

class ProgramCommandLine : public testing::TestWithParam<CommandLineCase> {};

// None of these opens a socket or a folder, so they run on the shared network.
TEST_P(ProgramCommandLine, AnswersAndExits) {
  const CommandLineCase& c = GetParam();
  TempDir dir;
  const std::string exe = CopyProgram(dir);
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " + exe + " " + c.arguments +
                              " >" + dir / "out" + " 2>" + dir / "err";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), c.status);
  const std::string out = ReadFile(dir / "out");
  const std::string err = ReadFile(dir / "err");
  EXPECT_TRUE(std::regex_match(out, std::regex(c.stdoutPattern))) << out;
  EXPECT_TRUE(std::regex_match(err, std::regex(c.stderrPattern))) << err;
  EXPECT_FALSE(Exists(dir / "brevoxa.log"));
}

INSTANTIATE_TEST_SUITE_P(
    Options, ProgramCommandLine,
    testing::Values(
        CommandLineCase{"Help", "--help", 0,
                        "Usage: brevoxa \\[--port N\\] \\[--program-folder DIR\\]\n[^]*--port "
                        "N[^]*--program-folder DIR[^]*--help[^]*--version[^]*",
                        ""},
        CommandLineCase{"Version", "--version", 0, "Vyn Brevoxa [0-9]+\\.[0-9]+(\\.[0-9]+)?\n", ""},
        CommandLineCase{"UnknownOption", "--verbose", 2, "",
                        "brevoxa: unrecognized option '--verbose'\nTry[^]*"},
        CommandLineCase{"StrayArgument", "/srv/www", 2, "",
                        "brevoxa: unexpected argument '/srv/www'\nTry[^]*"},
        CommandLineCase{"PortMissing", "--port", 2, "",
                        "brevoxa: option '--port' requires an argument\nTry[^]*"},
        CommandLineCase{"PortZero", "--port=0", 2, "",
                        "brevoxa: invalid port '0' \\(1 to 65535\\)\nTry[^]*"},
        CommandLineCase{"PortTooHigh", "--port 65536", 2, "",
                        "brevoxa: invalid port '65536' \\(1 to 65535\\)\nTry[^]*"},
        CommandLineCase{"PortNotANumber", "--port 80x", 2, "",
                        "brevoxa: invalid port '80x' \\(1 to 65535\\)\nTry[^]*"},
        CommandLineCase{"EmptyProgramFolder", "--program-folder ''", 2, "",
                        "brevoxa: the program folder must not be empty\nTry[^]*"}),
    [](const testing::TestParamInfo<CommandLineCase>& info) { return info.param.name; });

}  // namespace
