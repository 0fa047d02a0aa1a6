// The content-type table and its lookup by extension.
#include "content/MimeTypes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/ServerCore.h"

namespace {

class MimeTypesTest : public ::testing::Test {
 protected:
  void SetUp() override { FillMimeTable(Server.MimeTable); }
  TServerCore Server;
};

TEST_F(MimeTypesTest, TableShape) {
  const std::vector<std::string>& table = Server.MimeTable;
  ASSERT_EQ(table.size(), 77u);
  EXPECT_EQ(table.front(),
            ";htm;;html;;shtm;;sht;;shtml;;dhtm;;dht;;dhtml;;xhtm;;xht;;xhtml;;phtm;;pht;;phtml;"
            ":text/html");
  EXPECT_EQ(table.back(), ";mjs;:text/javascript");

  // Every line is runs of ";ext;" and one type; no extension twice, none upper case.
  std::set<std::string> seen;
  for (const std::string& line : table) {
    SCOPED_TRACE(line);
    size_t colon = line.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_FALSE(line.substr(colon + 1).empty());
    size_t i = 0;
    while (i < colon) {
      ASSERT_EQ(line[i], ';');
      size_t end = line.find(';', i + 1);
      ASSERT_LT(end, colon);
      std::string extension = line.substr(i + 1, end - i - 1);
      EXPECT_FALSE(extension.empty());
      for (char c : extension) EXPECT_FALSE(c >= 'A' && c <= 'Z');
      EXPECT_TRUE(seen.insert(extension).second) << extension;
      i = end + 1;
    }
  }
  // Filling again replaces rather than appends.
  FillMimeTable(Server.MimeTable);
  EXPECT_EQ(Server.MimeTable.size(), 77u);
}

TEST_F(MimeTypesTest, ContentTypes) {
  const struct {
    std::string Path, Type;
  } cases[] = {
      {"index.html", "text/html"},
      {"INDEX.HTML", "application/octet-stream"},
      {"readme", "text/html"},
      {"notes.", "text/html"},
      {"archive.tar.gz", "application/octet-stream"},
      {"track.mp3", "audio/mpeg"},
      {"/srv/www/x.it", "audio/mpeg"},
      {"/srv/www/x.mp1", "audio/mpeg"},
      {"style.css", "text/css"},
      {"/srv/www/old.site/readme", "text/html"},
      {"/srv/www/a.txt", "text/plain"},
      {"/srv/www/x.jpeg", "image/jpeg"},
      {"/srv/www/x.669", "audio/mpeg"},
      {"/srv/www/x.323", "text/h323"},
      {"/srv/www/x.exe", "application/x-msdownload"},
      {"/srv/www/x.mpv2", "video/mpeg"},
      {"/srv/www/x.htt", "text/webviewhtml"},
      {"/srv/www/x.ht", "application/octet-stream"},
      {"/srv/www/x.tml", "application/octet-stream"},
      {"/srv/www/a.txt:stream", "text/html"},
      {"/srv/www/.hidden", "application/octet-stream"},
      {"/srv/www/x.htm;", "text/html"},
      {"/home/u/clip.m4v", "video/mp4"},
      {"/home/u/song.opus", "audio/ogg"},
      {"/home/u/font.woff", "font/woff"},
      {"/home/u/font.woff2", "font/woff2"},
      {"/home/u/icon.svg", "image/svg+xml"},
      {"/home/u/app.mjs", "text/javascript"},
      {"/home/u/CLIP.MP4", "application/octet-stream"},
      {"", "text/html"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(GetContentType(Server, c.Path), c.Type);
  }
}

TEST_F(MimeTypesTest, EmptyTableAnswersOctetStream) {
  Server.MimeTable.clear();
  EXPECT_EQ(GetContentType(Server, "a.html"), "application/octet-stream");
  // A line without a type is passed over.
  Server.MimeTable = {";html;:", ";html;:text/x-second"};
  EXPECT_EQ(GetContentType(Server, "a.html"), "text/x-second");
}

TEST(ExtractExtension, Table) {
  const struct {
    std::string Path;
    bool Has;
    std::string Extension;
  } cases[] = {
      {"a.txt", true, "txt"}, {"/x.y/z", false, ""},         {"/x/z.", true, ""},
      {"c:name", false, ""},  {"a.b:c", false, ""},          {"a:b.c", true, "c"},
      {"", false, ""},        {".profile", true, "profile"}, {"/d/a.tar.gz", true, "gz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    std::string extension = "junk";
    EXPECT_EQ(ExtractExtension(c.Path, extension), c.Has);
    EXPECT_EQ(extension, c.Extension);
  }
}

}  // namespace
