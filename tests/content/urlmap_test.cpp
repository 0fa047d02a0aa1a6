// Request paths to local paths and back, and the query decoder.
#include "content/UrlMap.h"

#include <gtest/gtest.h>

#include <string>

#include "core/ServerCore.h"
#include "platform/Codec.h"
#include "support/TestSupport.h"

namespace {

class UrlMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server.LogFileName = Dir / "brevoxa.log";
    Server.RC = "/srv/www";
    Server.CGID = "/cgi-bin/";
  }
  std::string Log() { return ReadFile(Server.LogFileName); }

  TempDir Dir;
  TServerCore Server;
};

struct TMapCase {
  std::string Path;
  std::string Local;
};

TEST_F(UrlMapTest, PathsUnderTheRoot) {
  const TMapCase cases[] = {
      {"/", "/srv/www"},
      {"/docs/", "/srv/www/docs"},
      {"/docs//", "/srv/www/docs/"},
      {"", "/srv/www/"},
      {"x", "/srv/www/x"},
      {"/a%20b.txt", "/srv/www/a b.txt"},
      {"/a+b", "/srv/www/a+b"},
      {"/a*b", "/srv/www/a/b"},
      {"/a*", "/srv/www/a"},
      {"/a\\b:c", "/srv/www/a\\b:c"},
      {"/%D0%9F%D1%80%D0%B8", "/srv/www/\xCF\xF0\xE8"},
      {"/%d0%81%D1%91%D0%90%D1%8F.x", "/srv/www/\xA8\xB8\xC0\xFF.x"},
      {"/%41%42", "/srv/www/%"},
      {"/file%41", "/srv/www/file "},
      {"/x%2e%2e", "/srv/www/x%"},
      {"/x%2e", "/srv/www/x "},
      {"/a%41%4", "/srv/www/a %4"},
      {"/a%41%", "/srv/www/a %"},
      {"/a%41%4q", "/srv/www/a%"},
      {"/50%", "/srv/www/50%"},
      {"/5%1", "/srv/www/5%1"},
      {"/%zz.txt", "/srv/www/%zz.txt"},
      {"/x%23", "/srv/www/x#"},
      {"/x%2B%3f%25y", "/srv/www/x+?%y"},
      {"/%41%zz.txt", "/srv/www/%zz.txt"},
      {"/% 4%D0x", "/srv/www/%x"},
      {"/%20abcdef", "/srv/www/ abcdef"},
      {"/%D0%C0x", "/srv/www/%x"},
      {"/%D1%90x", "/srv/www/\x98\xD1\x90x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(UrlToLocalPath(Server, c.Path, false), c.Local);
  }
}

TEST_F(UrlMapTest, RootSlashJoinsWithoutDoubling) {
  Server.RC = "/";
  const TMapCase cases[] = {
      {"/", "/"},     {"", "/"},           {"/x", "/x"},
      {"x", "/x"},    {"/docs/", "/docs"}, {"/docs//", "/docs/"},
      {"//a", "//a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(UrlToLocalPath(Server, c.Path, false), c.Local);
  }
}

TEST_F(UrlMapTest, SeparateCgiFolder) {
  Server.USCGIF = true;
  Server.SCGIF = "/opt/cgi";
  EXPECT_EQ(UrlToLocalPath(Server, "/cgi-bin/t.pl", true), "/opt/cgi/t.pl");
  EXPECT_EQ(UrlToLocalPath(Server, "/CGI-BIN/t.pl", true), "/opt/cgi/t.pl");
  EXPECT_EQ(UrlToLocalPath(Server, "/cgi-bin/", true), "/opt/cgi");
  // Outside the prefix, or without the switch, the root is used.
  EXPECT_EQ(UrlToLocalPath(Server, "/cgi-bin/t.pl", false), "/srv/www/cgi-bin/t.pl");
  Server.USCGIF = false;
  EXPECT_EQ(UrlToLocalPath(Server, "/cgi-bin/t.pl", true), "/srv/www/cgi-bin/t.pl");
  EXPECT_EQ(Log(), "");
}

TEST_F(UrlMapTest, PathShorterThanThePrefixDropsEverything) {
  Server.USCGIF = true;
  Server.SCGIF = "/opt/cgi";
  Server.CGID = "/a-very-long-prefix/";
  EXPECT_EQ(UrlToLocalPath(Server, "/x", true), "/opt/cgi/");
}

TEST_F(UrlMapTest, EmptyPrefixWithSeparateFolderIsLoggedAndKeepsThePath) {
  Server.USCGIF = true;
  Server.SCGIF = "/opt/cgi";
  Server.CGID = "";
  EXPECT_EQ(UrlToLocalPath(Server, "/t.pl", true), "/opt/cgi/t.pl");
  EXPECT_EQ(UrlToLocalPath(Server, "/u.pl", true), "/opt/cgi/u.pl");
  const std::string line =
      "ATTENTION! CGI dir is incorrect! Please do not play with registry.\nGo to Options dialog on "
      "CGI tab and change 'CGI dir' to correct one.\n";
  EXPECT_EQ(Log(), line + line);
}

TEST_F(UrlMapTest, NoEscapeProducesDotSlashOrNul) {
  // The root stays closed only while no escape can spell "..", a separator or a NUL cut.
  auto harmless = [](int c) { return c != '.' && c != '/' && c != '*' && c != 0 && c != '%'; };
  const std::string base = Server.RC;
  for (int x = 0; x < 256; ++x) {
    if (!harmless(x)) continue;
    for (int y = 0; y < 256; ++y) {
      if (!harmless(y)) continue;
      const std::string xy{static_cast<char>(x), static_cast<char>(y)};
      for (const std::string& path : {"/%" + xy + "%" + xy + "q", "/%" + xy + "%D0q",
                                      "/%D0%" + xy + "q", "/%" + xy + "q", "/%D1%" + xy + "qq"}) {
        std::string local = UrlToLocalPath(Server, path, false);
        ASSERT_EQ(local.compare(0, base.size() + 1, base + "/"), 0);
        std::string tail = local.substr(base.size() + 1);
        ASSERT_EQ(tail.find_first_of(std::string("./\0", 3)), std::string::npos) << path;
      }
    }
  }
}

TEST_F(UrlMapTest, LocalPathToUrl) {
  const struct {
    std::string Root, Folder, Name, Url;
  } cases[] = {
      {"/srv/www", "/srv/www/docs", "my file.txt", "/docs/my%20file.txt"},
      {"/srv/www", "/srv/www/docs", "\xCF\xF0\xE8\xE2\xE5\xF2",
       "/docs/%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82"},
      {"/srv/www", "/srv/www", "a", "/a"},
      {"/srv/www", "/srv/www/d", "#?%&\"<", "/d/%23%3F%25&%22%3C"},
      {"/srv/www", "/srv/www/d", "\xA8\xB8\xC0\xDF\xE0\xEF\xF0\xFF",
       "/d/%D0%81%D1%91%D0%90%D0%AF%D0%B0%D0%BF%D1%80%D1%8F"},
      {"/srv/www", "/srv/www/d", "\x80\xA9\xBF", "/d/%D0%82%C2%A9%D1%97"},
      {"/", "/", "a b", "/a%20b"},
      {"/", "/docs", "a", "/docs/a"},
      {"", "/x", "a", "/x/a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Folder + " " + c.Name);
    Server.RC = c.Root;
    EXPECT_EQ(LocalPathToUrl(Server, c.Folder, c.Name), c.Url);
    // A listing builds its links from the folder's shared part.
    std::string url;
    ASSERT_TRUE(FolderUrlPrefix(Server, c.Folder, url));
    AppendUrlBytes(url, c.Name);
    EXPECT_EQ(url, c.Url);
  }
  EXPECT_EQ(Log(), "");
}

TEST_F(UrlMapTest, UrlOfAPathOutsideTheRootIsMarkedAndLogged) {
  EXPECT_EQ(LocalPathToUrl(Server, "/elsewhere", "a b"), "/ERROR//elsewhere/a%20b");
  EXPECT_EQ(Log(), "ERROR: /elsewhere/a b doesnt contain root path\n");
  std::string prefix;
  EXPECT_FALSE(FolderUrlPrefix(Server, "/elsewhere", prefix));
}

TEST_F(UrlMapTest, ListingLinksMapBackToTheirFiles) {
  for (const std::string root : {"/srv/www", "/"}) {
    Server.RC = root;
    const std::string folder = UrlToLocalPath(Server, "/docs/", false);
    for (const std::string name : {"a b.txt", "\xCF\xF0\xE8\xA8\xB8", "x+y"}) {
      SCOPED_TRACE(root + " " + name);
      std::string url = LocalPathToUrl(Server, folder, name);
      EXPECT_EQ(UrlToLocalPath(Server, url, false), folder + "/" + name);
    }
  }
}

// Each name as the listing links it, and as clients that escape more than the listing spell it
// (lower-case hexadecimal, Python's quote and Node's encodeURIComponent): both reach the name.
TEST_F(UrlMapTest, NamesOfEveryKindRoundTrip) {
  const struct {
    std::string Name, Link, Other;
  } cases[] = {
      {"a b.txt", "a%20b.txt", "a%20b.txt"},
      {"При", "%D0%9F%D1%80%D0%B8", "%d0%9f%d1%80%d0%b8"},
      {"Ёё", "%D0%81%D1%91", "%d0%81%d1%91"},
      {"№«€Ђ©ї", "%E2%84%96%C2%AB%E2%82%AC%D0%82%C2%A9%D1%97",
       "%e2%84%96%c2%ab%e2%82%ac%d0%82%c2%a9%d1%97"},
      {"Café.txt", "Caf%C3%A9.txt", "Caf%c3%a9.txt"},
      {"Müller", "M%C3%BCller", "M%c3%bcller"},
      {"中文", "%E4%B8%AD%E6%96%87", "%e4%b8%ad%e6%96%87"},
      {"😀", "%F0%9F%98%80", "%f0%9f%98%80"},
      {"ѐ", "%D1%90", "%d1%90"},
      {"#?%;{}", "%23%3F%25%3B%7B%7D", "%23%3f%25%3b%7b%7d"},
      {"\"<>`|^", "%22%3C%3E%60%7C%5E", "%22%3c%3e%60%7c%5e"},
      {"+&'()=,!~$@:[]", "+&'()=,!~$@:[]", "%2B%26%27%28%29%3D%2C!~%24%40%3A%5B%5D"},
      {"50%", "50%25", "50%"},
      {"%41", "%2541", "%2541"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string name = Utf8ToCp1251(c.Name);
    EXPECT_EQ(LocalPathToUrl(Server, "/srv/www/d", name), "/d/" + c.Link);
    EXPECT_EQ(UrlToLocalPath(Server, "/d/" + c.Link, false), "/srv/www/d/" + name);
    EXPECT_EQ(UrlToLocalPath(Server, "/d/" + c.Other, false), "/srv/www/d/" + name);
  }
}

// No escape, alone, in a run, overlong or double, spells what would climb out of the root, join
// or cut a path, act as a wildcard, or a control character; nor one that would take a path out
// of the CGI prefix and serve a program as a plain file.
TEST_F(UrlMapTest, TraversalAttempts) {
  const TMapCase cases[] = {
      {"/%2e%2e/x", "/srv/www/%/x"},
      {"/%2E%2E%2Fx", "/srv/www/% x"},
      {"/a%2f%2e%2e%2fb", "/srv/www/a%%b"},
      {"/a%5c%2e%5cb", "/srv/www/a% b"},
      {"/a%2a/b", "/srv/www/a /b"},
      {"/x%00.cgi", "/srv/www/x%i"},
      {"/%c0%ae%c0%ae/x", "/srv/www/%%/x"},
      {"/%e0%80%ae%e0%80%ae/x", "/srv/www/%%%/x"},
      {"/%c0%af/x", "/srv/www/%/x"},
      {"/%f0%80%80%ae/x", "/srv/www/%%/x"},
      {"/%252e%252e/x", "/srv/www/%2e%2e/x"},
      {"/a%0ab%7fc", "/srv/www/a% c"},
      {"/a%c2%85b%c2%98c", "/srv/www/a%b%c"},
      {"/a%ed%a0%80b", "/srv/www/a% b"},
      {"/cgi%2Dbin/t.pl", "/srv/www/cgi%in/t.pl"},
      {"/cgi%2dbin/t.pl", "/srv/www/cgi%in/t.pl"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(UrlToLocalPath(Server, c.Path, false), c.Local);
  }
}

TEST(DecodeQueryText, Table) {
  const struct {
    std::string In, Out;
  } cases[] = {
      {"a+b%3Dc%%d", "a b=c%d"},
      {"100%", "100%"},
      {"%4", "%4"},
      {"%", "%"},
      {"", ""},
      {"%41%42", "AB"},
      {"%D0%90", "\xD0\x90"},
      {"%zzq", "%q"},
      {"%2f%2E%00x", std::string("/.\0x", 4)},
      {"%-1", "\xFF"},
      {"% 9", "\t"},
      {"%%%41", "%A"},
      {"hello+world", "hello world"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.In);
    EXPECT_EQ(DecodeQueryText(c.In), c.Out);
  }
}

}  // namespace
