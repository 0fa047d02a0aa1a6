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

TEST_F(RequestRulesTest, DotFoldersHideEverythingBelowTheRoot) {
  // The root itself may lie in a dot folder: only the names below it count.
  const std::string root = Docs / ".www";
  ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
  for (const char* folder : {"/.git", "/.d", "/.e", "/a.b", "/cgi-bin"})
    ASSERT_EQ(mkdir((root + folder).c_str(), 0700), 0);
  WriteFile(root + "/.git/config", "secret");
  WriteFile(root + "/.d/x.txt", "secret");
  WriteFile(root + "/.d/index.html", "secret");
  WriteFile(root + "/.e/y.txt", "secret");
  WriteFile(root + "/a.b/c.txt", "plain");
  WriteFile(root + "/cgi-bin/t.sh", "printf 'Content-Type: text/plain\\n\\nran'\n");
  Server.RC = root;
  Server.DPAF = true;
  const struct {
    const char* Target;
    std::string Answer;
  } cases[] = {
      {"/.git/config", kNotFound},
      {"/.d/x.txt", kNotFound},
      {"/.d/", kNotFound},         // its index is not served
      {"/.e/", kNotFound},         // no listing of it is built
      {"/.d**/x.txt", kNotFound},  // asterisks are separators too
      {"/cgi-bin/t.sh;/.d/x.txt", kNotFound},
      {"/cgi-bin/t.sh;/%2ed/x.txt", kNotFound},  // the path info is decoded
      {"/a.b/c.txt", "HTTP/1.1 200 OK\nContent-Type: text/plain\n"},
      {"/cgi-bin/t.sh;/a.b/c", "HTTP/1.1 200 OK\nContent-Length: 3\nConnection: close\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Target);
    const std::string reply = Unwired(Get(c.Target));
    EXPECT_EQ(reply.substr(0, c.Answer.size()), c.Answer);
    EXPECT_EQ(reply.find("secret"), std::string::npos);
  }

  // The separate CGI folder keeps to the same rule below itself.
  const std::string cgi = Docs / ".cgi";
  ASSERT_EQ(mkdir(cgi.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((cgi + "/.x").c_str(), 0700), 0);
  WriteFile(cgi + "/t.sh", "printf 'Content-Type: text/plain\\n\\nran'\n");
  WriteFile(cgi + "/.x/t.sh", "printf 'Content-Type: text/plain\\n\\nran'\n");
  Server.USCGIF = true;
  Server.SCGIF = cgi;
  EXPECT_EQ(Status("/cgi-bin/.x/t.sh"), "HTTP/1.1 404 Not found");
  EXPECT_EQ(Status("/cgi-bin/t.sh"), "HTTP/1.1 200 OK");
}

TEST_F(RequestRulesTest, NoEscapeTakesAProgramOutOfTheCgiPrefixToShowItsText) {
  const std::string cgiBin = Docs / "cgi-bin";
  mkdir(cgiBin.c_str(), 0755);
  WriteFile(cgiBin + "/t.sh", "printf 'Content-Type: text/plain\\n\\nran'\n");
  for (const char* target : {"/cgi%2Dbin/t.sh", "/cgi%2dbin/t.sh", "/%63gi-bin/t.sh",
                             "/cgi-bin%2Ft.sh", "/./cgi-bin/t.sh"}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(Get(target).find("printf"), std::string::npos);
  }
  EXPECT_EQ(Status("/cgi-bin/t.sh"), "HTTP/1.1 200 OK");
}

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

TEST_F(RequestRulesTest, CgiSwitchedOffRunsNothing) {
  Server.CGIAssoc = {"cgi, pl, php, sh:/bin/sh"};
  const struct {
    const char* Folder;
    const char* Index;
  } indexes[] = {
      {"i1", "index.cgi"}, {"i2", "index.pl"}, {"i3", "index.php"}, {"i4", "index.html.exe"}};
  for (const auto& i : indexes) {
    ASSERT_EQ(mkdir((Docs / i.Folder).c_str(), 0700), 0);
    const std::string path = Docs / i.Folder + "/" + i.Index;
    WriteFile(path, "#!/bin/sh\n" + kTracingScript);
    ASSERT_EQ(chmod(path.c_str(), 0700), 0);
  }
  Server.ECGI = false;
  for (const auto& i : indexes) {
    SCOPED_TRACE(i.Index);
    for (const char* method : {"GET", "HEAD", "POST"})
      EXPECT_EQ(Unwired(Get("/" + std::string(i.Folder) + "/", method)), kDenied) << method;
    EXPECT_FALSE(FileExists(Docs / i.Folder + "/ran"));
  }

  // Switched off while a request waits for its body: the request was parsed as a program's,
  // and is refused all the same.
  Server.ECGI = true;
  WriteFile(CgiDir + "/t.sh", kTracingScript);
  const int port = Server.ServerSocket1->Port();
  std::atomic<bool> headSent{false}, switchedOff{false};
  auto reply = std::async(std::launch::async, [&] {
    const int fd = ConnectLoopback(port);
    SendAll(fd, "POST /cgi-bin/t.sh HTTP/1.1\nHost: x\nConnection: close\nContent-Length: 3\n\n");
    headSent = true;
    while (!switchedOff) usleep(1000);
    SendAll(fd, "abc");
    std::string got = ReadUntilClose(fd, 10000);
    close(fd);
    return got;
  });
  while (!headSent) Server.ServerSocket1->ProcessEvents(10);
  for (int i = 0; i < 20; ++i) Server.ServerSocket1->ProcessEvents(10);
  Server.ECGI = false;
  switchedOff = true;
  while (reply.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
    Server.ServerSocket1->ProcessEvents(10);
  EXPECT_EQ(Unwired(reply.get()), kDenied);
  EXPECT_FALSE(FileExists(CgiDir + "/ran"));
}

TEST_F(RequestRulesTest, ProgramFilesAreNotFoundWhereverTheRootLies) {
  const std::vector<std::string> own = {"brevoxa.log",  "brevoxa.log.1",   "HKLM.reg",
                                        "HKLM.reg.bad", "HKLM.reg.Ab12Cd", "t_in.tmp",
                                        "t_err.tmp",    "out0.tmp",        "out17.tmp"};
  for (const std::string& name : own)
    if (name != "brevoxa.log") WriteFile(Program / name, "own");
  WriteFile(Program / "other.txt", "other");
  const std::string linked = Docs / "linked";
  ASSERT_EQ(symlink(Program.Path().c_str(), linked.c_str()), 0);
  // The program folder as the root, below the default root "/", spelled with "**" or "/./",
  // and behind a link.
  const struct {
    const char* Name;
    std::string Root;
    std::string Prefix;
  } roots[] = {
      {"root", Program.Path(), ""},
      {"under_slash", "/", Program.Path()},
      {"double_separator", "/", Program.Path() + "**"},
      {"dot_folder", "/", Program.Path() + "/."},
      {"linked_root", linked, ""},
  };
  Server.DPAF = false;  // so "/./" reaches the folder at all
  for (const auto& r : roots) {
    SCOPED_TRACE(r.Name);
    Server.RC = r.Root;
    for (const std::string& name : own)
      EXPECT_EQ(Status(r.Prefix + "/" + name), "HTTP/1.1 404 Not found") << name;
    EXPECT_EQ(Status(r.Prefix + "/other.txt"), "HTTP/1.1 200 OK");
  }
  // A folder that is not the program's serves such names like any other.
  WriteFile(Docs / "HKLM.reg", "a user's file");
  Server.RC = Docs.Path();
  EXPECT_EQ(Status("/HKLM.reg"), "HTTP/1.1 200 OK");
  // The listing does not offer them either.
  Server.RC = Program.Path();
  const std::string listing = Get("/");
  EXPECT_NE(listing.find("other.txt"), std::string::npos);
  for (const std::string& name : own)
    EXPECT_EQ(listing.find(">" + name + "<"), std::string::npos) << name;
  for (const std::string& name : own)
    if (name.find(".tmp") != std::string::npos) unlink((Program / name).c_str());
}

TEST_F(RequestRulesTest, HeadCutAtTheLimitStillGetsItsVersionChecked) {
  WriteFile(Docs / "a.txt", "alpha");
  const std::string pad = "X-Pad: " + std::string(8000, 'p') + "\n\n";
  const struct {
    const char* Name;
    std::string Request;
    std::string Answer;
    const char* Logged;
  } cases[] = {
      {"bad_version", "GET /a.txt HTTP/0.9\n" + pad,
       "HTTP/1.0 400 Bad HTTP version in request\nContent-Length: 0\n\n",
       " incorrect protocol HTTP/0.9\n"},
      {"request_line_cut", "GET /" + std::string(8000, 'a') + " HTTP/1.1\n\n",
       "HTTP/1.0 400 Bad HTTP version in request\nContent-Length: 0\n\n", " incorrect protocol \n"},
      {"version_too_high", "GET /a.txt HTTP/2.0\n" + pad,
       "HTTP/1.1 505 Too big HTTP version in request\nContent-Type: text/plain\nConnection: "
       "close\nContent-Length: 64\n\nWRONG PROTOCOL VERSION\nServer supports only HTTP/1.1 and "
       "earlier",
       " incorrect protocol HTTP/2.0\n"},
      {"good_version", "GET /a.txt HTTP/1.1\n" + pad,
       "HTTP/1.1 413 Error\nConnection: close\nContent-Length: 0\n\n", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const size_t logBefore = Log().size();
    EXPECT_EQ(Unwired(Exchange(c.Request, 5000)), c.Answer);
    const std::string logged = Log().substr(logBefore);
    EXPECT_NE(logged.find(" overloaded HTTP headers, possibly an attack\n"), std::string::npos);
    EXPECT_EQ(logged.find(" incorrect protocol ") != std::string::npos, c.Logged != nullptr);
    if (c.Logged) {
      EXPECT_NE(logged.find(c.Logged), std::string::npos) << logged;
    }
  }
}

TEST_F(RequestRulesTest, BodiesOfUnknownLengthAreNeverReadAsRequests) {
  WriteFile(Docs / "a.txt", "alpha");
  WriteFile(Docs / "b.txt", "bravo");
  const std::string smuggled = "GET /b.txt HTTP/1.1\nHost: x\n\n";
  const struct {
    const char* Name;
    std::string Request;
    std::string Answer;
  } cases[] = {
      {"chunked",
       "POST /a.txt HTTP/1.1\nHost: x\nTransfer-Encoding: chunked\n\n1c\r\n" + smuggled +
           "\r\n0\r\n\r\n",
       "HTTP/1.1 501 Transfer-Encoding not supported\nConnection: close\nContent-Length: 0\n\n"},
      {"blank_before_colon",
       "GET /a.txt HTTP/1.1\nTransfer-Encoding : chunked\n\n0\r\n\r\n" + smuggled,
       "HTTP/1.1 501 Transfer-Encoding not supported\nConnection: close\nContent-Length: 0\n\n"},
      {"length_with_blank_before_colon",
       "POST /a.txt HTTP/1.1\nContent-Length : " + std::to_string(smuggled.size()) + "\n\n" +
           smuggled,
       "HTTP/1.1 400 Error\nConnection: close\nContent-Length: 0\n\n"},
      {"lengths_disagree",
       "POST /a.txt HTTP/1.1\nContent-Length: 0\nContent-Length: " +
           std::to_string(smuggled.size()) + "\n\n" + smuggled,
       "HTTP/1.1 400 Error\nConnection: close\nContent-Length: 0\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const int before = Server.RequestCount;
    EXPECT_EQ(Unwired(Exchange(c.Request, 5000)), c.Answer);
    EXPECT_EQ(Server.RequestCount, before + 1);
  }
}

}  // namespace
