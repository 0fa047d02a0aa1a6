// What the server refuses however a request spells it: the whole server in-process, with real
// files, real programs and a loopback client.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "content/CgiServerFixture.h"
#include "platform/Files.h"

namespace {

// The answer with the line ends the program writes, whatever the wire carries.
std::string Unwired(std::string raw) {
  raw.erase(std::remove(raw.begin(), raw.end(), '\r'), raw.end());
  return raw;
}

const std::string kNotFound = "HTTP/1.1 404 Not found\nConnection: close\nContent-Length: 0\n\n";
const std::string kDenied = "HTTP/1.1 403 Access denied\nConnection: close\nContent-Length: 0\n\n";
// Leaves a trace in its folder, so a test can tell whether it ran.
const std::string kTracingScript = "touch ran\nprintf 'Content-Type: text/plain\\n\\nran'\n";

class RequestRulesTest : public CgiServerFixture {
 protected:
  std::string Status(const std::string& target) {
    const std::string reply = Unwired(Get(target));
    return reply.substr(0, reply.find('\n'));
  }
};

TEST_F(RequestRulesTest, RedirectPageShowsHostAndTargetAsText) {
  const std::string name = "d'<i>&\"q";
  ASSERT_EQ(mkdir((Docs / name).c_str(), 0700), 0);
  const std::string reply =
      Unwired(Exchange("GET /" + name + " HTTP/1.1\nHost: H'><b>&\"x\nConnection: close\n\n"));
  const std::string location = "http://h'><b>&\"x/" + name + "/";
  const std::string shown = "http://h&#39;&gt;&lt;b&gt;&amp;&quot;x/d&#39;&lt;i&gt;&amp;&quot;q/";
  const std::string body =
      "<html><head><title>Redirect</title></head><body>Redirecting to <a href='" + shown + "'>" +
      shown + "</a></body></html>";
  EXPECT_EQ(reply, "HTTP/1.1 301 Redirect\nContent-Type: text/html\nLocation: " + location +
                       "\nConnection: close\nContent-Length: " + std::to_string(body.size()) +
                       "\n\n" + body);
}

}  // namespace
