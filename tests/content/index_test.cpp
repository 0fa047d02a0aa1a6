// Index files of a folder and the "Catalog contents" listing.
#include "content/Index.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "content/MimeTypes.h"
#include "core/ServerCore.h"
#include "platform/Codec.h"
#include "support/TestSupport.h"

namespace {

const std::string kPlainHead =
    "<html><head><title>Catalog contents</title><style type=\"text/css\">\ntd, th "
    "{text-align:center}\ntd.fname {font-family:monospace}\ntd.fsize {letter-spacing:2px; "
    "font-size:8pt}\n</style></head><body>\n";
const std::string kTableHead =
    "<h1>THE CATALOG</h1>\n<table width=100%><thead><th>File<th>Size</thead>\n";
const std::string kEnd = "</table>\n</body></html>";

std::string Row(const std::string& link, const std::string& name, const std::string& size) {
  return "<tr><td class=\"fname\"><a href=\"" + link + "\">" + name + "</a><td class=\"fsize\">" +
         size + "</tr>\n";
}

class IndexTest : public ::testing::Test {
 protected:
  TempDir Tmp;
  TServerCore Server;
  void SetUp() override {
    Server.RC = Tmp.Path();
    Server.LogFileName = Tmp / "brevoxa.log";
    FillMimeTable(Server.MimeTable);
  }
  std::string Sub(const std::string& name) {
    std::string path = Tmp / name;
    mkdir(path.c_str(), 0755);
    return path;
  }
};

TEST_F(IndexTest, PatternsInOrder) {
  struct {
    const char* Name;
    std::vector<std::string> Files;
    std::string Found;  // "" when no index
  } cases[] = {
      {"html_wins_over_php", {"index.php", "index.html"}, "index.html"},
      {"htm_variants", {"index.shtml"}, "index.shtml"},
      {"php_before_cgi_and_pl", {"index.pl", "index.cgi", "index.php3"}, "index.php3"},
      {"cgi_before_pl", {"index.pl", "index.cgi"}, "index.cgi"},
      {"pl_last", {"index.pl"}, "index.pl"},
      {"case_is_ignored", {"INDEX.HTM"}, "INDEX.HTM"},
      {"no_exe_index", {"index.exe", "default.html", "index"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    for (const std::string& f : c.Files) WriteFile(dir / f, "x");
    std::string path = dir.Path();
    EXPECT_EQ(FindIndexFile(Server, path), !c.Found.empty());
    EXPECT_EQ(path, c.Found.empty() ? dir.Path() : dir / c.Found);
  }
}

TEST_F(IndexTest, UpperCaseIndexIsFoundButUntyped) {
  std::string dir = Sub("d");
  WriteFile(dir + "/INDEX.HTM", "x");
  std::string path = dir;
  ASSERT_TRUE(FindIndexFile(Server, path));
  EXPECT_EQ(GetContentType(Server, path), "application/octet-stream");
}

TEST_F(IndexTest, FolderNamedLikeAnIndexIsTaken) {
  std::string dir = Sub("d");
  mkdir((dir + "/index.html").c_str(), 0755);
  std::string path = dir;
  ASSERT_TRUE(FindIndexFile(Server, path));
  EXPECT_EQ(path, dir + "/index.html");
}

TEST_F(IndexTest, LinkToNothingIsNoIndex) {
  std::string dir = Sub("d");
  ASSERT_EQ(symlink("gone.html", (dir + "/index.html").c_str()), 0);
  WriteFile(dir + "/index.php", "x");
  std::string path = dir;
  ASSERT_TRUE(FindIndexFile(Server, path));
  EXPECT_EQ(path, dir + "/index.php");
}

TEST_F(IndexTest, MissingFolderHasNoIndex) {
  std::string path = Tmp / "nope";
  EXPECT_FALSE(FindIndexFile(Server, path));
  EXPECT_EQ(path, Tmp / "nope");
}

TEST_F(IndexTest, EmptyAndMissingFolders) {
  Server.DPAF = false;
  // The root never links above itself.
  EXPECT_EQ(BuildCatalogPage(Server, Tmp.Path()), kPlainHead + kTableHead + kEnd);
  EXPECT_EQ(BuildCatalogPage(Server, Tmp / "nope"),
            kPlainHead + kTableHead + "<tr><td colspan=\"*\"><i>empty catalog</i></tr>" + kEnd);
}

TEST_F(IndexTest, ParentRowOnlyBelowTheRootAndWithoutDotRule) {
  std::string docs = Sub("docs");
  Server.DPAF = false;
  EXPECT_EQ(BuildCatalogPage(Server, docs),
            kPlainHead + kTableHead + Row("/docs/../", "..", "/CATALOG/") + kEnd);
  Server.DPAF = true;
  EXPECT_EQ(BuildCatalogPage(Server, docs), kPlainHead + kTableHead + kEnd);
}

TEST_F(IndexTest, StyleSheetHead) {
  Server.ICURL = "/s.css?a=1&b";
  std::string page = BuildCatalogPage(Server, Tmp.Path());
  EXPECT_EQ(page,
            "<html><head><title>Catalog contents</title>\n<link rel=\"stylesheet\" "
            "type=\"text/css\" href=\"/s.css?a=1&b\">\n</head><body>\n" +
                kTableHead + kEnd);
  EXPECT_EQ(page.find("<style"), std::string::npos);
  // Characters beyond the code page as escaped UTF-8, cp1251 bytes as they are.
  Server.ICURL = Utf8ToCp1251("/estilo/ñ.css?стиль");
  EXPECT_NE(BuildCatalogPage(Server, Tmp.Path())
                .find("href=\"/estilo/%C3%B1.css?" + Utf8ToCp1251("стиль") + "\""),
            std::string::npos);
}

TEST_F(IndexTest, RowsForFilesAndFolders) {
  struct {
    const char* Name;
    std::string Content;
    bool Folder;
    std::string ExpectedRow;
  } cases[] = {
      {"empty file", "", false, Row("/empty%20file", "empty file", "0")},
      {"a.txt", "hello", false, Row("/a.txt", "a.txt", "5")},
      {"sub", "", true, Row("/sub/", "sub", "/CATALOG/")},
      // Names that would break the markup are shown as text, and a quote cannot end the link.
      {"a&b<c>\"d\".txt", "", false,
       Row("/a&amp;b%3Cc%3E%22d%22.txt", "a&amp;b&lt;c&gt;&quot;d&quot;.txt", "0")},
      // Unescaped, the link would lead to "a©.txt".
      {"a&copy.txt", "", false, Row("/a&amp;copy.txt", "a&amp;copy.txt", "0")},
      // Beyond the code page: linked as escaped UTF-8, shown as character references; the
      // page's own characters ("№") stay bytes.
      {"Café 😀 中 №.txt", "", false,
       Row("/Caf%C3%A9%20%F0%9F%98%80%20%E4%B8%AD%20%E2%84%96.txt",
           "Caf&#233; &#128512; &#20013; \xB9.txt", "0")},
      {"Müller #1", "", true, Row("/M%C3%BCller%20%231/", "M&#252;ller #1", "/CATALOG/")},
      // On disk in UTF-8, shown in cp1251, linked as escaped UTF-8.
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82.txt", "", false,
       Row("/%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82.txt", "\xCF\xF0\xE8\xE2\xE5\xF2.txt", "0")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir root;
    Server.RC = root.Path();
    if (c.Folder)
      mkdir((root / c.Name).c_str(), 0755);
    else
      WriteFile(root / c.Name, c.Content);
    EXPECT_EQ(BuildCatalogPage(Server, root.Path()),
              kPlainHead + kTableHead + c.ExpectedRow + kEnd);
  }
}

TEST_F(IndexTest, SizeAbove4GiB) {
  std::string big = Tmp / "big.bin";
  int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  // Sparse, so the test costs no disk space.
  bool sized = ftruncate(fd, (int64_t{1} << 32) + 5) == 0;
  close(fd);
  if (!sized) GTEST_SKIP() << "no large files here";
  EXPECT_EQ(BuildCatalogPage(Server, Tmp.Path()),
            kPlainHead + kTableHead + Row("/big.bin", "big.bin", "1 * 2^32 + 5") + kEnd);
}

TEST_F(IndexTest, HiddenSystemAndDotNamesLeftOut) {
  WriteFile(Tmp / "shown.txt", "");
  WriteFile(Tmp / ".htaccess", "");
  WriteFile(Tmp / "hidden.txt", "");
  WriteFile(Tmp / "system.txt", "");
  mkdir((Tmp / "hiddendir").c_str(), 0755);
  const char* mark2 = "0x2";
  const char* mark4 = "0x4";
  if (setxattr((Tmp / "hidden.txt").c_str(), "user.DOSATTRIB", mark2, 3, 0) != 0)
    GTEST_SKIP() << "no user extended attributes here";
  ASSERT_EQ(setxattr((Tmp / "system.txt").c_str(), "user.DOSATTRIB", mark4, 3, 0), 0);
  ASSERT_EQ(setxattr((Tmp / "hiddendir").c_str(), "user.DOSATTRIB", mark2, 3, 0), 0);

  Server.DPAF = true;
  EXPECT_EQ(BuildCatalogPage(Server, Tmp.Path()),
            kPlainHead + kTableHead + Row("/shown.txt", "shown.txt", "0") + kEnd);

  // Without the dot rule only the dot file comes back; the marks still hide the others.
  Server.DPAF = false;
  std::string page = BuildCatalogPage(Server, Tmp.Path());
  EXPECT_NE(page.find(Row("/.htaccess", ".htaccess", "0")), std::string::npos);
  EXPECT_NE(page.find(Row("/shown.txt", "shown.txt", "0")), std::string::npos);
  EXPECT_EQ(page.find("hidden"), std::string::npos);
  EXPECT_EQ(page.find("system"), std::string::npos);
}

TEST_F(IndexTest, FolderOutsideTheRootLinksEveryEntryAsAnError) {
  // Each entry's link is made, and its record written, before dot names are left out.
  std::string other = Sub("other");
  Server.RC = Sub("root");
  Server.DPAF = true;
  WriteFile(other + "/a.txt", "x");
  WriteFile(other + "/.dot", "");
  EXPECT_EQ(BuildCatalogPage(Server, other),
            kPlainHead + kTableHead + Row("/ERROR/" + other + "/a.txt", "a.txt", "1") + kEnd);
  std::string log = ReadFile(Server.LogFileName);
  for (const char* name : {".", "..", "a.txt", ".dot"})
    EXPECT_NE(log.find("ERROR: " + other + "/" + name + " doesnt contain root path\n"),
              std::string::npos)
        << name;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
}

}  // namespace
