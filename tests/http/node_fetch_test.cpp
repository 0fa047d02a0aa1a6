// The program itself answering Node's fetch, a strict real-world client, in a private network
// namespace: every kind of answer one after another on a kept-alive connection, then a
// pipelined batch on one connection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace {

bool NodeOnPath() { return std::system("command -v node >/dev/null 2>&1") == 0; }

// Fetches every path in turn, then the same paths at once through an agent that pipelines
// them on one connection; prints status, body length and the headers that matter per answer.
const char* const kClient = R"(
const base = process.argv[2];
const rows = [
  ['/a.txt', {}], ['/a.txt', { method: 'HEAD' }], ['/dir', {}], ['/dir/', {}], ['/missing', {}],
  ['/a.txt', { method: 'DELETE' }], ['/a.txt', { method: 'OPTIONS' }], ['/cgi-bin/lf.sh', {}],
  ['/cgi-bin/crlf.sh', {}], ['/a.txt', { headers: { Range: 'bytes=1-3' } }],
  ['/a.txt', { headers: { Range: 'bytes=9-' } }],
  ['/a.txt', { headers: { 'If-Modified-Since': 'Tue, 05 Jan 2016 10:20:30 GMT' } }],
];
async function one(path, init, dispatcher) {
  const r = await fetch(base + path, { redirect: 'manual', dispatcher, ...init });
  const body = await r.text();
  return [r.status, JSON.stringify(body.length > 40 ? body.length : body),
          r.headers.get('content-range') ?? '-', r.headers.get('location') ?? '-'].join(' ');
}
(async () => {
  const lines = [];
  for (const [path, init] of rows) lines.push(await one(path, init));
  // Node keeps its HTTP agent internal; it is the only way to ask fetch for pipelining.
  const Agent = require('internal/deps/undici/undici').getGlobalDispatcher().constructor;
  const agent = new Agent({ pipelining: rows.length, connections: 1 });
  const batch = rows.filter(([, init]) => (init.method ?? 'GET') === 'GET');
  lines.push('pipelined: ' +
             (await Promise.all(batch.map(([p, i]) => one(p, i, agent)))).join(' | '));
  await agent.close();
  console.log(lines.join('\n'));
})().catch((e) => { console.error('FETCH FAILED', e, e.cause); process.exit(1); });
)";

TEST(NodeFetch, GetsEveryKindOfAnswerKeptAliveAndPipelined) {
  // scripts/install-deps installs Node: a run without it must not pass unseen.
  ASSERT_TRUE(NodeOnPath()) << "node is not on PATH (scripts/install-deps test installs nodejs)";
  TempDir dir;
  const std::string www = dir / "www";
  std::filesystem::copy_file(BREVOXA_EXE, dir / "brevoxa");
  std::filesystem::create_directories(www + "/dir");
  std::filesystem::create_directories(www + "/cgi-bin");
  WriteFile(www + "/a.txt", "alpha");
  timespec t[2] = {{1451989230, 0}, {1451989230, 0}};
  utimensat(AT_FDCWD, (www + "/a.txt").c_str(), t, 0);
  WriteFile(www + "/cgi-bin/lf.sh", "printf 'Content-Type: text/plain\\n\\nlf'\n");
  WriteFile(www + "/cgi-bin/crlf.sh", "printf 'Content-Type: text/plain\\r\\n\\r\\ncrlf'\n");
  WriteFile(dir / "HKLM.reg", ShellCgiHive(www, "\"LC\"=dword:00000001\n\"LF\"=dword:00000001\n"));
  WriteFile(dir / "client.js", kClient);
  WriteFile(dir / "run.sh", R"(
set -u
D=")" + dir.Path() + R"("
ip link set lo up
"$D/brevoxa" 2>"$D/stderr" &
pid=$!
for i in $(seq 1 200); do
  grep -q "SESSION STARTED" "$D/brevoxa.log" 2>/dev/null && break
  sleep 0.05
done
node --expose-internals --no-warnings "$D/client.js" http://127.0.0.1 >"$D/out" 2>"$D/err"
echo $? >"$D/status"
kill -TERM $pid
wait $pid
)");
  const std::string unshare = geteuid() == 0 ? "unshare --net" : "unshare -rn";
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY LSAN_OPTIONS=suppressions=" +
                              std::string(TEST_SOURCE_DIR) + "/support/lsan.supp " + unshare +
                              " bash " + dir / "run.sh";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_EQ(ReadFile(dir / "status"), "0\n") << ReadFile(dir / "err");
  const std::string redirect = "301 134 - http://127.0.0.1/dir/";
  EXPECT_EQ(ReadFile(dir / "out"),
            "200 \"alpha\" - -\n"
            "200 \"\" - -\n" +
                redirect +
                "\n"
                "200 288 - -\n"
                "404 \"\" - -\n"
                "405 54 - -\n"
                "200 \"\" - -\n"
                "200 \"lf\" - -\n"
                "200 \"crlf\" - -\n"
                "206 \"lph\" bytes 1-3/5 -\n"
                "416 \"\" bytes */5 -\n"
                "304 \"\" - -\n"
                "pipelined: 200 \"alpha\" - - | " +
                redirect +
                " | 200 288 - - | 404 \"\" - - | 200 \"lf\" - - | 200 \"crlf\" "
                "- - | 206 \"lph\" bytes 1-3/5 - | 416 \"\" bytes */5 - | 304 \"\" "
                "- -\n");
  // The pipelined batch, the last thing the client did, went over one connection.
  const std::string log = ReadFile(dir / "brevoxa.log");
  const size_t at = log.rfind(" CONNECTED at ");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string who = log.substr(log.rfind('\n', at) + 1, at - log.rfind('\n', at) - 1);
  int requests = 0;
  for (size_t k = log.find(who + " on "); k != std::string::npos; k = log.find(who + " on ", k + 1))
    ++requests;
  EXPECT_EQ(requests, 9) << log;
}

}  // namespace
