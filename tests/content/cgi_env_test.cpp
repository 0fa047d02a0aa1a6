// The environment block a CGI program receives: names, prefixes, limits and the inherited part.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "content/Cgi.h"
#include "core/ServerCore.h"
#include "platform/Process.h"
#include "support/TestSupport.h"

extern char** environ;

namespace {

// Replaces the process environment for one test and puts the old one back afterwards.
class CgiEnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (char** e = environ; *e != nullptr; ++e) FSaved.emplace_back(*e);
    SetEnvironment({});
    Server.RC = "/srv/www";
  }
  void TearDown() override {
    std::vector<std::string> saved;
    saved.swap(FSaved);
    SetEnvironment(saved);
  }
  static void SetEnvironment(const std::vector<std::string>& vars) {
    clearenv();
    for (const std::string& v : vars) {
      const size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) continue;
      setenv(v.substr(0, eq).c_str(), v.substr(eq + 1).c_str(), 1);
    }
  }
  // Builds the block and returns its bytes as used.
  std::string Build(const std::vector<std::string>& variables, int firstHeaderEntry) {
    Record.Variables = variables;
    Record.FirstHeaderEntry = firstHeaderEntry;
    const int used = BuildCgiEnvironment(Server, &Record);
    EXPECT_GE(used, 1);
    EXPECT_LE(used, kCgiEnvironmentSize);
    EXPECT_EQ(Server.CgiEnvironment.size(), static_cast<size_t>(kCgiEnvironmentSize));
    return std::string(Server.CgiEnvironment.data(), static_cast<size_t>(used));
  }
  static std::string Join(const std::vector<std::string>& strings) {
    std::string block;
    for (const std::string& s : strings) block += s + '\0';
    return block + '\0';
  }
  static std::vector<std::string> Strings(const std::string& block) {
    return SplitEnvironmentBlock(block.data(), block.size());
  }

  TServerCore Server;
  mParser Record;

 private:
  std::vector<std::string> FSaved;
};

TEST_F(CgiEnvTest, NamesPrefixesAndFoldingGiveTheExactBlock) {
  SetEnvironment({"PATH=/bin", "LANG=C"});
  const std::string block = Build(
      {
          "REQUEST_METHOD",
          "GET",  //
          "QUERY_STRING",
          "a=1&b=Two",  //
          "lower_meta",
          "kept",  // a meta-variable: folded, never prefixed
          "User-Agent",
          "Mozilla/5.0 (X11)",  //
          "content-type",
          "text/plain; A=B",  // no prefix, any case
          "CONTENT-LENGTH",
          "5",  //
          "x weird-Name",
          "v",  // blank and '-' both become '_'
          "A=B",
          "c",  // '=' ends the name
          "\xE0z",
          "\xCF\xF0\xE8",  // only a-z change case; values untouched
          "Content-Type-X",
          "1",  // not the content type: prefixed
      },
      6);
  EXPECT_EQ(block, Join({
                       "REQUEST_METHOD=GET",
                       "QUERY_STRING=a=1&b=Two",
                       "LOWER_META=kept",
                       "HTTP_USER_AGENT=Mozilla/5.0 (X11)",
                       "CONTENT_TYPE=text/plain; A=B",
                       "CONTENT_LENGTH=5",
                       "HTTP_X_WEIRD_NAME=v",
                       "HTTP_A=c",
                       "HTTP_\xE0Z=\xCF\xF0\xE8",
                       "HTTP_CONTENT_TYPE_X=1",
                       "DOCUMENT_ROOT=/srv/www",
                       "PATH=/bin",
                       "LANG=C",
                   }));
}

TEST_F(CgiEnvTest, IndexScriptWithoutMetaVariablesPrefixesEveryHeader) {
  const std::string block =
      Build({"Host", "example", "REQUEST_METHOD", "forged", "Content-Length", "0"}, 0);
  EXPECT_EQ(block, Join({"HTTP_HOST=example", "HTTP_REQUEST_METHOD=forged", "CONTENT_LENGTH=0",
                         "DOCUMENT_ROOT=/srv/www"}));
}

TEST_F(CgiEnvTest, ForwardedForVariableKeepsItsNameAndClientHeaderFollows) {
  const std::string block = Build({"REMOTE_ADDR", "127.0.0.1", "HTTP_X_FORWARDED_FOR", "127.0.0.1",
                                   "X-Forwarded-For", "6.6.6.6"},
                                  4);
  EXPECT_EQ(Strings(block),
            (std::vector<std::string>{"REMOTE_ADDR=127.0.0.1", "HTTP_X_FORWARDED_FOR=127.0.0.1",
                                      "HTTP_X_FORWARDED_FOR=6.6.6.6", "DOCUMENT_ROOT=/srv/www"}));
}

TEST_F(CgiEnvTest, ProxyHeaderNeverBecomesHttpProxy) {
  struct Case {
    const char* name;
    std::vector<std::string> headers;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"exact", {"Proxy", "http://evil:8080", "Accept", "*/*"}, {"HTTP_ACCEPT=*/*"}},
      {"upper", {"PROXY", "http://evil:8080"}, {}},
      {"lower", {"proxy", "http://evil:8080", "X-A", "1"}, {"HTTP_X_A=1"}},
      {"name cut at '='", {"Proxy=x", "http://evil"}, {}},
      {"look-alikes stay",
       {"Proxy-Authorization", "Basic x", "X-Proxy", "y", "Proxy ", "z"},
       {"HTTP_PROXY_AUTHORIZATION=Basic x", "HTTP_X_PROXY=y", "HTTP_PROXY_=z"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> vars = {"REQUEST_METHOD", "GET"};
    vars.insert(vars.end(), c.headers.begin(), c.headers.end());
    std::vector<std::string> expected = {"REQUEST_METHOD=GET"};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    expected.push_back("DOCUMENT_ROOT=/srv/www");
    EXPECT_EQ(Strings(Build(vars, 2)), expected);
  }
}

TEST_F(CgiEnvTest, NulInsideHeaderCannotSmuggleAVariable) {
  const std::string block = Build({"X-A", std::string("ok\0LD_PRELOAD=/tmp/x.so", 23),
                                   std::string("B\0LD_LIBRARY_PATH", 17), "/tmp"},
                                  0);
  EXPECT_EQ(Strings(block),
            (std::vector<std::string>{"HTTP_X_A=ok", "HTTP_B=/tmp", "DOCUMENT_ROOT=/srv/www"}));
}

TEST_F(CgiEnvTest, RequestPartIsCutAt4998WithTwoClosingNuls) {
  SetEnvironment({"PATH=/bin"});
  struct Case {
    const char* name;
    std::vector<std::string> vars;
    std::string tail;  // the last bytes of the 5000-byte block
  };
  // "HTTP_X_FILL=" is 12 bytes, so a value of 4983 leaves its NUL at 4995 and "HT" of the next
  // header at 4996 and 4997.
  const Case cases[] = {
      {"value cut", {"X-Big", std::string(6000, 'v')}, std::string("vvv\0\0", 5)},
      {"prefix cut",
       {"X-Fill", std::string(4983, 'f'), "Next", "1", "Late", "2"},
       std::string("f\0HT\0\0", 6)},
      {"exact fit leaves no room for the root",
       {"X-Fill", std::string(4985, 'f')},
       std::string("ff\0\0\0", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string block = Build(c.vars, 0);
    ASSERT_EQ(block.size(), 5000u);
    EXPECT_EQ(block.substr(5000 - c.tail.size()), c.tail);
    EXPECT_EQ(block.find("DOCUMENT_ROOT"), std::string::npos);
    EXPECT_EQ(block.find("PATH=/bin"), std::string::npos);
    EXPECT_EQ(block.find("HTTP_LATE"), std::string::npos);
  }
}

TEST_F(CgiEnvTest, DocumentRootOnlyWhenItFitsWhole) {
  // Request part: "HTTP_X_FILL=" + fill + NUL. The root string "DOCUMENT_ROOT=/srv/www" + NUL
  // is 23 bytes, so it fits exactly when the request part uses 4975 bytes.
  for (int used : {4975, 4976}) {
    SCOPED_TRACE(used);
    SetEnvironment({"A=1"});
    const std::string block =
        Build({"X-Fill", std::string(static_cast<size_t>(used - 13), 'f')}, 0);
    if (used == 4975) {
      ASSERT_EQ(block.size(), 5000u);  // root written, then nothing inherited fits: two NULs
      EXPECT_EQ(block.substr(4975), std::string("DOCUMENT_ROOT=/srv/www\0\0\0", 25));
    } else {
      ASSERT_EQ(block.size(), static_cast<size_t>(used + 2));
      EXPECT_EQ(block.substr(static_cast<size_t>(used) - 2), std::string("f\0\0\0", 4));
    }
  }
}

TEST_F(CgiEnvTest, InheritedVariablesInOrderWhileEachFitsWhole) {
  // With no request variables the root string "DOCUMENT_ROOT=/r" + NUL uses 17 bytes; a
  // variable of length n then fits when n + 2 < 5000 - 17 - (bytes before it).
  Server.RC = "/r";
  const std::string a = "A=1";                                   // 4 bytes used
  const std::string fits = "BIG=" + std::string(4976 - 4, 'x');  // 4976 + 2 < 4979
  const std::string tooBig = "BIG=" + std::string(4977 - 4, 'x');
  struct Case {
    const char* name;
    std::vector<std::string> own;
    std::vector<std::string> expected;
    size_t size;
  };
  const Case cases[] = {
      {"largest that fits", {a, fits, "Z=2"}, {"DOCUMENT_ROOT=/r", a, fits}, 17 + 4 + 4977 + 2},
      {"first misfit stops the rest", {a, tooBig, "Z=2"}, {"DOCUMENT_ROOT=/r", a}, 17 + 4 + 2},
      {"all fit", {"Z=2", a}, {"DOCUMENT_ROOT=/r", "Z=2", a}, 17 + 4 + 4 + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetEnvironment(c.own);
    const std::string block = Build({}, 0);
    EXPECT_EQ(Strings(block), c.expected);
    EXPECT_EQ(block.size(), c.size);
    EXPECT_EQ(block.back(), '\0');
  }
}

TEST_F(CgiEnvTest, DebugRecordsNameTheRootAndEachConsideredVariable) {
  TempDir dir;
  Server.LogFileName = dir / "brevoxa.log";
  Server.LD = true;
  Server.RC = "/r";
  const std::string tooBig = "BIG=" + std::string(4990, 'x');
  SetEnvironment({"A=1", tooBig, "Z=2"});
  Build({}, 0);
  EXPECT_EQ(ReadFile(Server.LogFileName), "docroot set\nDOCUMENT_ROOT=/r\nA=1\n" + tooBig + "\n");

  Server.LD = false;
  WriteFile(Server.LogFileName, "");
  Build({}, 0);
  EXPECT_EQ(ReadFile(Server.LogFileName), "");
}

}  // namespace
