// The program itself, in a private network namespace so that it can have port 80 to itself:
// start-up record, orderly end on SIGTERM, and a second instance that finds the port taken.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include "support/TestSupport.h"

namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

TEST(Program, RunsStopsOnSigtermAndRefusesABusyPort) {
  TempDir first, second;
  // Each copy keeps its log and hive beside itself.
  std::filesystem::copy_file(BREVOXA_EXE, first / "brevoxa");
  std::filesystem::copy_file(BREVOXA_EXE, second / "brevoxa");
  WriteFile(first / "hello.txt", "hello from the test");
  const std::string script = R"(
set -u
A=")" + first.Path() + R"("
B=")" + second.Path() + R"("
ip link set lo up
"$A/brevoxa" 2>"$A/stderr" &
pid=$!
for i in $(seq 1 200); do
  grep -q "SESSION STARTED" "$A/brevoxa.log" 2>/dev/null && break
  sleep 0.05
done
if exec 3<>/dev/tcp/127.0.0.1/80; then
  printf 'GET %s/hello.txt HTTP/1.0\r\n\r\n' "$A" >&3
  cat <&3 >"$A/response"
  exec 3<&-
fi
"$B/brevoxa" 2>"$B/stderr"
echo $? >"$B/status"
kill -TERM $pid
wait $pid
echo $? >"$A/status"
)";
  WriteFile(first / "run.sh", script);
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY LSAN_OPTIONS=suppressions=" +
                              std::string(TEST_SOURCE_DIR) +
                              "/support/lsan.supp unshare --net bash " + first / "run.sh";
  ASSERT_EQ(std::system(command.c_str()), 0);

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

  // The second copy found the port taken: the error on standard error, a failing status, and
  // no log file of its own.
  EXPECT_NE(ReadFile(second / "stderr")
                .find("Windows socket error: Address already in use (10048), on API 'bind'"),
            std::string::npos)
      << ReadFile(second / "stderr");
  EXPECT_NE(Trim(ReadFile(second / "status")), "0");
  struct stat st {};
  EXPECT_NE(stat((second / "brevoxa.log").c_str(), &st), 0) << "the log must not be touched";
  EXPECT_NE(stat((second / "HKLM.reg").c_str(), &st), 0);
}

}  // namespace
