// What the server keeps of the disk between requests never outlives a change: each kind of change
// shows in the very next answer, and what no watch can see shows once a second has passed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "core/ServerCore.h"
#include "support/ServerFixture.h"
#include "support/TestSupport.h"

namespace {

struct TAnswerSeen {
  int Code = 0;
  std::string Body;
};

class FileFacts : public ServerFixture {
 protected:
  // One GET on a connection of its own.
  TAnswerSeen Get(const std::string& target) {
    std::string raw;
    Serve([&] {
      int fd = ConnectLoopback(Server.ServerSocket1->Port());
      SendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
      raw = ReadUntilClose(fd);
      close(fd);
    });
    TAnswerSeen a;
    if (raw.size() > 12) a.Code = std::stoi(raw.substr(9, 3));
    const size_t end = raw.find("\r\n\r\n");
    if (end != std::string::npos) a.Body = raw.substr(end + 4);
    return a;
  }
};

void Rewrite(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
}

// Each row: the file as it is, the change, and the answer that must follow at once.
TEST_F(FileFacts, EveryKindOfChangeShowsInTheNextAnswer) {
  ASSERT_TRUE(Server.Facts);
  struct Row {
    const char* name;
    bool exists;  // before the change
    std::function<void(const std::string& path)> change;
    int code;
    const char* body;
    bool applies = true;
  } rows[] = {
      {"nothing changed: the kept descriptor serves again", true, [](const std::string&) {}, 200,
       "first"},
      {"replaced by a rename over it", true,
       [](const std::string& path) {
         WriteFile(path + ".new", "second, longer");
         ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
       },
       200, "second, longer"},
      {"deleted", true, [](const std::string& path) { ASSERT_EQ(unlink(path.c_str()), 0); }, 404,
       ""},
      {"renamed away", true,
       [](const std::string& path) { ASSERT_EQ(rename(path.c_str(), (path + ".old").c_str()), 0); },
       404, ""},
      {"marked hidden", true,
       [](const std::string& path) {
         ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", "0x2", 3, 0), 0);
       },
       404, ""},
      {"rewritten in place with a new size", true,
       [](const std::string& path) { Rewrite(path, "rewritten, and longer"); }, 200,
       "rewritten, and longer"},
      {"created where it was missing", false,
       [](const std::string& path) { WriteFile(path, "created"); }, 200, "created"},
      // Root reads whatever the mode says; only an ordinary user sees this one.
      {"made unreadable", true,
       [](const std::string& path) { ASSERT_EQ(chmod(path.c_str(), 0), 0); }, 500, "",
       geteuid() != 0},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.applies) continue;
    const std::string name = "f" + std::to_string(n++) + ".txt";
    if (row.exists) WriteFile(Docs / name, "first");
    const TAnswerSeen before = Get("/" + name);
    ASSERT_EQ(before.Code, row.exists ? 200 : 404);
    if (row.exists) {
      ASSERT_EQ(before.Body, "first");
    }
    row.change(Docs / name);
    const TAnswerSeen after = Get("/" + name);
    EXPECT_EQ(after.Code, row.code);
    if (row.code == 200) {
      EXPECT_EQ(after.Body, row.body);
    }
  }
}

// The listing and the index search read the same kept folder; both follow its changes at once.
TEST_F(FileFacts, FolderChangesShowInTheNextListingAndIndexSearch) {
  mkdir((Docs / "dir").c_str(), 0755);
  WriteFile(Docs / "dir/old.txt", "o");
  std::string page = Get("/dir/").Body;
  EXPECT_NE(page.find(">old.txt<"), std::string::npos) << page;

  WriteFile(Docs / "dir/new.txt", "n");
  ASSERT_EQ(unlink((Docs / "dir/old.txt").c_str()), 0);
  page = Get("/dir/").Body;
  EXPECT_NE(page.find(">new.txt<"), std::string::npos) << page;
  EXPECT_EQ(page.find("old.txt"), std::string::npos) << page;

  ASSERT_EQ(setxattr((Docs / "dir/new.txt").c_str(), "user.DOSATTRIB", "0x2", 3, 0), 0);
  page = Get("/dir/").Body;
  EXPECT_EQ(page.find("new.txt"), std::string::npos) << "a hidden entry is not listed";

  WriteFile(Docs / "dir/index.html", "<p>index</p>");
  EXPECT_EQ(Get("/dir/").Body, "<p>index</p>");
}

// A folder above the file's own is renamed and another put in its place: no watch of the file's
// folder sees that, so what was kept goes when its second is up.
TEST_F(FileFacts, WhatNoWatchSeesIsLookedAtAgainAfterASecond) {
  ASSERT_TRUE(Server.Facts);
  int64_t now = 0;
  Server.Facts->SetClock([&now] { return now; });
  mkdir((Docs / "top").c_str(), 0755);
  mkdir((Docs / "top/v").c_str(), 0755);
  WriteFile(Docs / "top/v/a.txt", "first");
  EXPECT_EQ(Get("/top/v/a.txt").Body, "first");

  ASSERT_EQ(rename((Docs / "top").c_str(), (Docs / "was-top").c_str()), 0);
  mkdir((Docs / "top").c_str(), 0755);
  mkdir((Docs / "top/v").c_str(), 0755);
  WriteFile(Docs / "top/v/a.txt", "second");
  now += kFactValidityMs + 1;
  const TAnswerSeen after = Get("/top/v/a.txt");
  EXPECT_EQ(after.Code, 200);
  EXPECT_EQ(after.Body, "second");
}

// Many files served once each leave at most the bounded number of descriptors open.
TEST_F(FileFacts, KeptDescriptorsAreBounded) {
  const int files = static_cast<int>(kMaxCachedDescriptors) + 40;
  for (int i = 0; i < files; ++i) WriteFile(Docs / ("n" + std::to_string(i)), "x");
  const int before = OpenDescriptors();
  for (int i = 0; i < files; ++i) ASSERT_EQ(Get("/n" + std::to_string(i)).Body, "x");
  EXPECT_LE(OpenDescriptors() - before, static_cast<int>(kMaxCachedDescriptors));
}

// A folder that could not be read for lack of descriptors is read again the next time, not
// listed empty for the rest of the second.
TEST(FileFactsAlone, AFolderThatCouldNotBeReadIsNotKept) {
  TempDir dir;
  WriteFile(dir / "one.txt", "1");
  TempDir other;
  TFileFacts facts;
  facts.Folder(other.Path());  // the sanitizers' first look at these types opens files
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  int lowest = dup(0);
  close(lowest);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  setrlimit(RLIMIT_NOFILE, &tight);
  const bool readable = facts.Folder(dir.Path())->Readable;
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(readable);
  auto again = facts.Folder(dir.Path());
  EXPECT_TRUE(again->Readable);
  EXPECT_EQ(again->Entries.size(), 3u);  // ".", ".." and one.txt
}

}  // namespace
