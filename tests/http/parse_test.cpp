// Request heads in, parsed record fields out.
#include "http/Parse.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "content/MimeTypes.h"
#include "core/ServerCore.h"
#include "http/Target.h"
#include "support/FakeSocket.h"
#include "support/TestSupport.h"

namespace {

// The connection a request came in on: its peer and the address, name and port it reached.
class TParseSocket : public TFakeSocket {
 public:
  TParseSocket() {
    Address = "10.0.0.5";
    Port = 5555;
    HostName = "";
    LocalAddress = "127.0.0.1";
    LocalHostName = "myhost";
    LocalPort = 8080;
  }
};

using TStrings = std::vector<std::string>;

class ParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server.LogFileName = Dir / "brevoxa.log";
    Server.RC = "/srv/www";
    Server.CGID = "/cgi-bin/";
    Server.ECGI = true;
    Server.CGIAssoc = {"pl:/usr/bin/perl"};
    FillMimeTable(Server.MimeTable);
  }

  mParser& Parse(const std::string& head) {
    Record = std::make_unique<mParser>();
    Record->Socket = &Socket;
    Record->RemoteAddr = "10.0.0.5";
    Record->RemotePort = "5555";
    Record->HeaderText = head;
    ParseRequest(Server, Record.get());
    return *Record;
  }

  TempDir Dir;
  TServerCore Server;
  TParseSocket Socket;
  std::unique_ptr<mParser> Record;
};

struct TLineCase {
  const char* Name;
  std::string Head;
  std::string Method, URI, Protocol;
  int Version;
};

TEST_F(ParseTest, RequestLine) {
  const TLineCase cases[] = {
      {"plain", "GET /index.html HTTP/1.1\nHost: example\n\n", "GET", "/index.html", "HTTP/1.1", 1},
      {"method case kept", "get / HTTP/1.1\n\n", "get", "/", "HTTP/1.1", 1},
      {"dot runs collapse", "GET /a/../../b HTTP/1.0\n\n", "GET", "/a/././b", "HTTP/1.0", 0},
      {"three dots", "GET /x...y HTTP/1.1\n\n", "GET", "/x.y", "HTTP/1.1", 1},
      {"two blanks", "GET  /x HTTP/1.1\n\n", "GET", "", "/x HTTP/1.1", -1000},
      {"extra word", "GET / HTTP/1.1 x\n\n", "GET", "/", "HTTP/1.1 x", -1000},
      {"empty line", "\n", "\n", "", "", -1000},
      {"no blank", "GET\n\n", "GET\n", "", "", -1000},
      {"one blank", "GET /x\n\n", "GET", "/x\n", "", -1000},
      {"tab is ordinary", "GET\t/ HTTP/1.1\n\n", "GET\t/", "HTTP/1.1\n", "", -1000},
      {"absolute form", "GET http://host:8080/p?q HTTP/1.1\n\n", "GET", "/p?q", "HTTP/1.1", 1},
      {"absolute host only", "GET http://host HTTP/1.1\n\n", "GET", "/", "HTTP/1.1", 1},
      {"double slash inside", "GET /a//b HTTP/1.1\n\n", "GET", "/", "HTTP/1.1", 1},
      {"head cut before LF", "GET / HTTP/1.0", "GET", "/", "HTTP/1.0", 0},
      {"CR kept if present", "GET / HTTP/1.1\r\n\n", "GET", "/", "HTTP/1.1\r", -1000},
      {"twenty letters", "ABCDEFGHIJKLMNOPQRST / HTTP/1.1\n\n", "ABCDEFGHIJKLMNOPQRST", "/",
       "HTTP/1.1", 1},
      {"twenty-one letters", "ABCDEFGHIJKLMNOPQRSTU / HTTP/1.1\n\n", "UNKNOWN", "/", "HTTP/1.1", 1},
      {"empty head", "", "", "", "", -1000},
  };
  for (const TLineCase& c : cases) {
    SCOPED_TRACE(c.Name);
    mParser& p = Parse(c.Head);
    EXPECT_EQ(p.Method, c.Method);
    EXPECT_EQ(p.URI, c.URI);
    EXPECT_EQ(p.Protocol, c.Protocol);
    EXPECT_EQ(p.Version, c.Version);
    EXPECT_EQ(p.CloseConnection, c.Method == "UNKNOWN");
  }
}

TEST_F(ParseTest, HttpVersionCodes) {
  const struct {
    const char* Protocol;
    int Code;
  } cases[] = {
      {"HTTP/1.1", 1},
      {"HTTP/1.0", 0},
      {"HTTP/1.5", 5},
      {"HTTP/2.0", 2000},
      {"HTTP/3.7", 3007},
      {"HTTP/0.9", -1000},
      {"HTTP/1.1 ", -1000},
      {"http/1.1", -1000},
      {"HTTP/11", -1000},
      {"HTTP/1.x", -1000},
      {"HTTP/ 1.1", -1000},
      {"HTTP/1.", -1000},
      {"HTTP/10", -1000},
      {"HTTP/01.01", 1},
      {"HTTP/1.99999999999", -1000},
      // A huge major must not wrap around into a small, served code.
      {"HTTP/99999999.0", INT_MAX},
      {"HTTP/4294967.297", INT_MAX},
      {"HTTP/2.-1999", INT_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Protocol);
    EXPECT_EQ(ParseHttpVersion(c.Protocol), c.Code);
  }
}

TEST_F(ParseTest, HeaderLines) {
  const struct {
    const char* Name;
    std::string Headers;
    TStrings Variables;
  } cases[] = {
      {"one header", "Host: example\n\n", {"Host", "example"}},
      {"continuation", "X-A: one\n two\n\n", {"X-A", "one two"}},
      {"continuation keeps blanks", "X-A: one\n   two\nB: c\n\n", {"X-A", "one   two", "B", "c"}},
      {"blank before colon", "Content-Length : 5\n\n", {"Content-Length ", "5"}},
      {"no colon", "Foo\nB: c\n\n", {"Foo\n", "", "B", "c"}},
      {"trailing blanks kept", "A:   b c  \n\n", {"A", "b c  "}},
      {"second colon in value", "A:b:c\n\n", {"A", "b:c"}},
      {"empty value", "A:\nB: x\n\n", {"A", "", "B", "x"}},
      {"nameless line dropped", ": x\nB: y\n\n", {"B", "y"}},
      {"order and duplicates", "Host: a\nHost: B\n\n", {"Host", "a", "Host", "B"}},
      {"unfinished last header", "Host: a\nAccept: b", {"Host", "a"}},
      {"no headers", "\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    mParser& p = Parse("GET / HTTP/1.1\n" + c.Headers);
    EXPECT_EQ(p.Variables, c.Variables);
    EXPECT_EQ(p.FirstHeaderEntry, 0);
  }
}

TEST_F(ParseTest, HeaderLookupIsCaseBlindAndLastWins) {
  mParser& p = Parse("GET / HTTP/1.1\nHost: First\nhOST: SeCoNd\nConnection: Keep-Alive\n\n");
  EXPECT_EQ(GetHeaderValue(&p, "Host"), "second");
  EXPECT_EQ(GetHeaderValue(&p, "CONNECTION"), "keep-alive");
  EXPECT_EQ(GetHeaderValue(&p, "Accept"), "");
  EXPECT_EQ(GetHeaderValue(&p, "Hos"), "");
  // Cyrillic names and values fold too (cp1251 А/а, Я/я).
  mParser& q = Parse("GET / HTTP/1.1\n\xC0\xDF: \xC0\xDF\n\n");
  EXPECT_EQ(GetHeaderValue(&q, "\xE0\xFF"), "\xE0\xFF");
}

TEST_F(ParseTest, ContentLength) {
  const struct {
    const char* Name;
    std::string Headers;
    int32_t Length;
    int32_t Status;
    bool Close;
  } cases[] = {
      {"absent", "", 0, 0, false},
      {"plain", "Content-Length: 12\n", 12, 0, false},
      {"zero", "Content-Length: 0\n", 0, 0, false},
      {"plus sign", "Content-Length: +7\n", 0, 400, true},
      {"empty value", "Content-Length:\n", 0, 0, false},
      {"repeated alike", "Content-Length: 9\ncontent-length: 9\n", 9, 0, false},
      {"lengths that disagree", "Content-Length: 3\ncontent-length: 9\n", 0, 400, true},
      {"transfer coding", "Transfer-Encoding: chunked\nContent-Length: 3\n", 0, 501, true},
      {"trailing junk", "Content-Length: 12abc\n", 0, 400, true},
      {"trailing blank", "Content-Length: 12 \n", 0, 400, true},
      {"tab before digits", "Content-Length:\t12\n", 0, 400, true},
      {"hexadecimal", "Content-Length: 0x10\n", 0, 400, true},
      {"beyond 32 bits", "Content-Length: 2147483648\n", 0, 400, true},
      {"negative refused", "Content-Length: -5\n", 0, 400, true},
      {"largest accepted", "Content-Length: 67108864\n", 67108864, 0, false},
      {"too big", "Content-Length: 67108865\n", 0, 413, true},
      {"int max too big", "Content-Length: 2147483647\n", 0, 413, true},
      {"blank before colon", "Content-Length : 5\n", 0, 400, true},
      {"tab before colon", "Content-Length\t: 5\n", 0, 400, true},
      {"blank before colon of another header", "Host : x\nContent-Length: 5\n", 0, 400, true},
      {"vertical tab before colon", "Transfer-Encoding\v: chunked\n", 0, 501, true},
      {"NUL before colon", std::string("Transfer-Encoding\0: chunked\n", 28), 0, 501, true},
      {"line without a colon", "Content-Length 5\nContent-Length: 2\n", 2, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    mParser& p = Parse("POST /form HTTP/1.1\n" + c.Headers + "\n");
    EXPECT_EQ(p.ContentLength, c.Length);
    EXPECT_EQ(p.StatusCode, c.Status);
    EXPECT_EQ(p.CloseConnection, c.Close);
  }
}

TEST_F(ParseTest, TargetMapping) {
  const struct {
    const char* Target;
    bool InCGIDir;
    std::string LocalPath, QueryString;
    bool IsCGI;
  } cases[] = {
      {"/index.html", false, "/srv/www/index.html", "", false},
      {"/a.html?x=1", false, "/srv/www/a.html", "", false},
      {"/a.html;x?y", false, "/srv/www/a.html", "", false},
      {"/docs/", false, "/srv/www/docs", "", false},
      {"/CGI-BIN/t", true, "/srv/www/CGI-BIN/t.exe", "", true},
      {"/cgi-bin", false, "/srv/www/cgi-bin", "", false},
      {"/cgi-bin/", true, "/srv/www/cgi-bin", "", false},
      {"/cgi-bin/dir/", true, "/srv/www/cgi-bin/dir", "", false},
      {"/cgi-bin/t.pl?a=1", true, "/srv/www/cgi-bin/t.pl", "a=1", true},
      {"/cgi-bin/notes.txt", true, "/srv/www/cgi-bin/notes.txt", "", false},
      {"/cgi-bin/name.", true, "/srv/www/cgi-bin/name.", "", false},
      {"/cgi-bin/p?a;b", true, "/srv/www/cgi-bin/p.exe", "a;b", true},
      {"/cgi-bin/x.y/p", true, "/srv/www/cgi-bin/x.y/p.exe", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Target);
    mParser& p = Parse(std::string("GET ") + c.Target + " HTTP/1.1\n\n");
    EXPECT_EQ(p.InCGIDir, c.InCGIDir);
    EXPECT_EQ(p.LocalPath, c.LocalPath);
    EXPECT_EQ(p.QueryString, c.QueryString);
    EXPECT_EQ(p.IsCGI, c.IsCGI);
    if (!c.IsCGI) {
      EXPECT_TRUE(p.Variables.empty());
    }
  }
}

TEST_F(ParseTest, CgiFolderNeedsTheSwitch) {
  Server.ECGI = false;
  mParser& p = Parse("GET /cgi-bin/t?x HTTP/1.1\n\n");
  EXPECT_FALSE(p.InCGIDir);
  EXPECT_FALSE(p.IsCGI);
  EXPECT_EQ(p.LocalPath, "/srv/www/cgi-bin/t");
  EXPECT_EQ(p.QueryString, "");
}

TEST_F(ParseTest, EmptyCgiPrefixTakesEveryTarget) {
  Server.CGID = "";
  mParser& p = Parse("GET /x HTTP/1.1\n\n");
  EXPECT_TRUE(p.InCGIDir);
  EXPECT_EQ(p.LocalPath, "/srv/www/x.exe");
  // An empty path names the root folder, not a program called ".exe".
  mParser& q = Parse("GET  HTTP/1.1\n\n");
  EXPECT_TRUE(q.InCGIDir);
  EXPECT_EQ(q.LocalPath, "/srv/www/");
  EXPECT_FALSE(q.IsCGI);
}

TEST_F(ParseTest, CgiMetaVariablesComeFirstInOrder) {
  mParser& p = Parse("GET /cgi-bin/p;/extra/x%41?a=1+b HTTP/1.1\nHost: h\nUser-Agent: u\n\n");
  ASSERT_TRUE(p.IsCGI);
  EXPECT_EQ(p.IsExe, 1);
  const TStrings expected = {
      "REQUEST_METHOD",
      "GET",
      "QUERY_STRING",
      "a=1+b",
      "REMOTE_ADDR",
      "10.0.0.5",
      "REMOTE_PORT",
      "5555",
      "SCRIPT_NAME",
      "/cgi-bin/p",
      "GATEWAY_INTERFACE",
      "CGI/1.1",
      "SERVER_SOFTWARE",
      "Vyn_Brevoxa/1.1",
      "SERVER_PROTOCOL",
      "HTTP/1.1",
      "SERVER_PORT",
      "8080",
      "SCRIPT_FILENAME",
      "/srv/www/cgi-bin/p.exe",
      "SERVER_NAME",
      "myhost",
      "PATH_INFO",
      "/extra/xA",
      "PATH_TRANSLATED",
      "/srv/www/extra/xA",
      "Host",
      "h",
      "User-Agent",
      "u",
  };
  EXPECT_EQ(p.Variables, expected);
  EXPECT_EQ(p.FirstHeaderEntry, 26);
}

TEST_F(ParseTest, CgiVariants) {
  const struct {
    const char* Name;
    std::string Target;
    std::string HostName, Address;
    bool DIPIV;
    const char* Wanted;  // name of the variable to look at
    std::string Value;   // "" with Present false: must be absent
    bool Present;
  } cases[] = {
      {"path info without query", "/cgi-bin/p;/extra", "h", "", false, "PATH_INFO", "/extra", true},
      {"relative path info", "/cgi-bin/p;rel/y", "h", "", false, "PATH_TRANSLATED",
       "/srv/www/cgi-bin/rel/y", true},
      {"empty path info", "/cgi-bin/p;?x", "h", "", false, "PATH_INFO", "", false},
      {"no path info", "/cgi-bin/p", "h", "", false, "PATH_TRANSLATED", "", false},
      {"host name after //", "/cgi-bin/p", "http://named", "", false, "SERVER_NAME", "named", true},
      {"address without host name", "/cgi-bin/p", "", "192.168.1.2", false, "SERVER_NAME",
       "192.168.1.2", true},
      {"forwarded variable", "/cgi-bin/p", "h", "", true, "HTTP_X_FORWARDED_FOR", "10.0.0.5", true},
      {"forwarded variable off", "/cgi-bin/p", "h", "", false, "HTTP_X_FORWARDED_FOR", "", false},
      {"escaped dots stay single", "/cgi-bin/p;/%2e%2e/%2E%2E%2e/etc", "h", "", false,
       "PATH_TRANSLATED", "/srv/www/././etc", true},
      {"escaped dots in path info", "/cgi-bin/p;/a%2e%2e.b", "h", "", false, "PATH_INFO", "/a.b",
       true},
      {"association", "/cgi-bin/t.pl", "h", "", false, "SCRIPT_FILENAME", "/srv/www/cgi-bin/t.pl",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Socket.LocalHostName = c.HostName;
    Socket.LocalAddress = c.Address;
    Server.DIPIV = c.DIPIV;
    Server.DIPV = "HTTP_X_FORWARDED_FOR";
    mParser& p = Parse("GET " + c.Target + " HTTP/1.1\n\n");
    ASSERT_TRUE(p.IsCGI);
    ASSERT_EQ(p.Variables.size() % 2, 0u);
    EXPECT_EQ(p.FirstHeaderEntry, static_cast<int32_t>(p.Variables.size()));
    bool found = false;
    for (size_t i = 0; i < p.Variables.size(); i += 2) {
      if (p.Variables[i] == c.Wanted) {
        found = true;
        EXPECT_EQ(p.Variables[i + 1], c.Value);
      }
    }
    EXPECT_EQ(found, c.Present);
  }
}

TEST_F(ParseTest, AssociationSetsProgramNotExe) {
  mParser& p = Parse("POST /cgi-bin/t.pl HTTP/1.0\nContent-Length: 4\n\n");
  EXPECT_TRUE(p.IsCGI);
  EXPECT_EQ(p.ExeApp, "/usr/bin/perl");
  EXPECT_EQ(p.IsExe, 0);
  EXPECT_EQ(p.ContentLength, 4);
  EXPECT_EQ(p.Version, 0);
}

TEST_F(ParseTest, TranslatePathInfoWithRootSlash) {
  // The root "/" must not give "//extra".
  Server.RC = "/";
  mParser& p = Parse("GET /cgi-bin/p;/extra HTTP/1.1\n\n");
  ASSERT_TRUE(p.IsCGI);
  EXPECT_EQ(p.LocalPath, "/cgi-bin/p.exe");
  EXPECT_EQ(TranslatePathInfo(Server, "/extra", &p), "/extra");
  EXPECT_EQ(TranslatePathInfo(Server, "rel", &p), "/cgi-bin/rel");
}

TEST_F(ParseTest, EveryPrefixOfAHeadParsesWithinItsBytes) {
  // A head can be cut anywhere by the size limit; no prefix may lead the parser astray.
  const std::string head =
      "POST http://h:1/cgi-bin/p;/i%D0%9F?q=1 HTTP/1.1\nHost: a\n b\nContent-Length: 3\nX\n\n";
  for (size_t len = 0; len <= head.size(); ++len) {
    SCOPED_TRACE(len);
    mParser& p = Parse(head.substr(0, len));
    EXPECT_EQ(p.Variables.size() % 2, 0u);
    EXPECT_LE(p.Method.size() + p.URI.size() + p.Protocol.size(), len);
  }
}

}  // namespace
