// File system calls and streams: attributes, searches, opening, cp1251 names on UTF-8 disks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "platform/Codec.h"
#include "platform/Files.h"
#include "platform/Streams.h"
#include "support/TestSupport.h"

namespace {

std::string Cp(const std::string& utf8) { return Utf8ToCp1251(utf8); }

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(Files, AttributesFromStat) {
  TempDir dir;
  WriteFile(dir / "file.txt", "x");
  mkdir((dir / "sub").c_str(), 0755);
  ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "link-to-sub").c_str()), 0);
  ASSERT_EQ(symlink((dir / "missing").c_str(), (dir / "dangling").c_str()), 0);
  struct Row {
    std::string name;
    uint32_t attr;
    bool exists, file, folder;
  } rows[] = {
      {"file.txt", FILE_ATTRIBUTE_ARCHIVE, true, true, false},
      {"sub", FILE_ATTRIBUTE_DIRECTORY, true, false, true},
      {"link-to-sub", FILE_ATTRIBUTE_DIRECTORY, true, false, true},
      {"dangling", INVALID_FILE_ATTRIBUTES, false, false, false},
      {"missing", INVALID_FILE_ATTRIBUTES, false, false, false},
  };
  for (const Row& r : rows) {
    std::string path = dir / r.name;
    EXPECT_EQ(GetFileAttributesA(path), r.attr) << r.name;
    EXPECT_EQ(FileOrFolderExists(path), r.exists) << r.name;
    EXPECT_EQ(FileExists(path), r.file) << r.name;
    EXPECT_EQ(DirectoryExists(path), r.folder) << r.name;
  }
}

TEST(Files, DosAttributesFromExtendedAttribute) {
  TempDir dir;
  std::string probe = dir / "probe";
  WriteFile(probe, "");
  if (setxattr(probe.c_str(), "user.DOSATTRIB", "0x2", 3, 0) != 0)
    GTEST_SKIP() << "the temporary file system refuses user extended attributes";
  struct Row {
    std::string value;
    uint32_t attr;
  } rows[] = {
      {"0x2", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
      {"0x6", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {"0X104", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY},
      {"0x1022", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_OFFLINE},
      {"0x1", FILE_ATTRIBUTE_ARCHIVE},  // read-only is not one of the bits taken over
      {"\"0x2\"", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
      {std::string("0x22\0\x03\x00\x04", 8), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
      {"2", FILE_ATTRIBUTE_ARCHIVE},
      {"0x", FILE_ATTRIBUTE_ARCHIVE},
      {"hidden", FILE_ATTRIBUTE_ARCHIVE},
  };
  int i = 0;
  for (const Row& r : rows) {
    std::string path = dir / ("f" + std::to_string(i++));
    WriteFile(path, "data");
    ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", r.value.data(), r.value.size(), 0), 0);
    EXPECT_EQ(GetFileAttributesA(path), r.attr) << r.value;
  }
  mkdir((dir / "hidden-folder").c_str(), 0755);
  setxattr((dir / "hidden-folder").c_str(), "user.DOSATTRIB", "0x12", 4, 0);
  EXPECT_EQ(GetFileAttributesA(dir / "hidden-folder"),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  std::vector<TSearchRec> found;
  ASSERT_TRUE(FindFiles(dir / "f0", found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Attr, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
}

TEST(Files, PathWithNulNamesNothing) {
  TempDir dir;
  WriteFile(dir / "x.cgi", "#!/bin/sh\n");
  std::string path = dir / "x.cgi";
  path += std::string("\0.txt", 5);
  EXPECT_EQ(GetFileAttributesA(path), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(FileOrFolderExists(path));
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(DirectoryExists(dir.Path() + std::string("\0", 1)));
  EXPECT_EQ(OpenForReading(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(TFileStream::OpenRead(path), nullptr);
  std::vector<TSearchRec> found;
  EXPECT_FALSE(FindFiles(path, found));
  EXPECT_TRUE(found.empty());
  EXPECT_FALSE(AppendToFile(path, "lost"));
  EXPECT_EQ(ReadFile(dir / "x.cgi"), "#!/bin/sh\n");
  EXPECT_FALSE(SetCurrentDir(dir.Path() + std::string("\0", 1)));
}

TEST(Files, CyrillicNamesOnDisk) {
  TempDir dir;
  WriteFile(dir / "При.html", "12345");
  WriteFile(dir / "ПРИВЕТ.txt", "");
  WriteFile(dir / "日本.txt", "");
  mkdir((dir / "Папка").c_str(), 0755);
  EXPECT_TRUE(FileExists(dir.Path() + "/" + Cp("При.html")));
  EXPECT_TRUE(DirectoryExists(dir.Path() + "/" + Cp("Папка")));
  THandle h = OpenForReading(dir.Path() + "/" + Cp("При.html"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSizeOfHandle(h), 5);
  CloseHandle(h);

  auto names = [](const std::vector<TSearchRec>& recs) {
    std::vector<std::string> out;
    for (const TSearchRec& r : recs) out.push_back(r.Name);
    std::sort(out.begin(), out.end());
    return out;
  };
  std::vector<TSearchRec> found;
  ASSERT_TRUE(FindFiles(dir.Path() + "/" + Cp("при*"), found));
  EXPECT_EQ(names(found), (std::vector<std::string>{Cp("ПРИВЕТ.txt"), Cp("При.html")}));
  ASSERT_TRUE(FindFiles(dir / "*.TXT", found));
  EXPECT_EQ(names(found), (std::vector<std::string>{Cp("日本.txt"), Cp("ПРИВЕТ.txt")}));
  ASSERT_TRUE(FindFiles(dir.Path() + "/" + Cp("папк?"), found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Attr, FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(FindFiles(dir / "*", found));
  EXPECT_EQ(names(found), (std::vector<std::string>{".", "..", Cp("日本.txt"), Cp("ПРИВЕТ.txt"),
                                                    Cp("Папка"), Cp("При.html")}));

  // A name the code page cannot hold is found, opened and made under its own name on disk.
  EXPECT_EQ(Cp("日本.txt"), "\x98\xE6\x97\xA5\x98\xE6\x9C\xAC.txt");
  EXPECT_TRUE(FileExists(dir.Path() + "/" + Cp("日本.txt")));
  const std::string made = dir.Path() + "/" + Cp("Café Müller 😀 №.txt");
  EXPECT_TRUE(AppendToFile(made, "x"));
  EXPECT_EQ(ReadFile(dir / "Café Müller 😀 №.txt"), "x");
  ASSERT_TRUE(FindFiles(dir / "Caf*", found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Name, Cp("Café Müller 😀 №.txt"));
  EXPECT_EQ(found[0].SizeLow, 1u);
}

TEST(Files, SearchReportsSizesInHalves) {
  TempDir dir;
  WriteFile(dir / "small", "12345");
  int fd = open((dir / "big").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  const off_t big = (off_t{5} << 30) + 7;  // sparse, costs no space
  ASSERT_EQ(ftruncate(fd, big), 0);
  close(fd);
  std::vector<TSearchRec> found;
  ASSERT_TRUE(FindFiles(dir / "small", found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].SizeLow, 5u);
  EXPECT_EQ(found[0].SizeHigh, 0u);
  ASSERT_TRUE(FindFiles(dir / "b?g", found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].SizeHigh, 1u);
  EXPECT_EQ(found[0].SizeLow, 0x40000007u);
  EXPECT_FALSE(FindFiles(dir / "no-such-folder/*", found));
  EXPECT_TRUE(FindFiles(dir / "nothing-matches*", found));
  EXPECT_TRUE(found.empty());
}

TEST(Files, OpenForReadingOnlyRegularFiles) {
  TempDir dir;
  WriteFile(dir / "a.txt", "hello");
  mkdir((dir / "index.html").c_str(), 0755);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  // A pipe without a writer must be refused at once rather than block the server.
  EXPECT_EQ(OpenForReading(dir / "pipe"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenForReading(dir / "index.html"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenForReading(dir / "missing"), INVALID_HANDLE_VALUE);

  struct timeval times[2] = {{1000000000, 0}, {1234567890, 0}};
  ASSERT_EQ(utimes((dir / "a.txt").c_str(), times), 0);
  THandle h = OpenForReading(dir / "a.txt");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(fcntl(h, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(GetFileSizeOfHandle(h), 5);
  int64_t mtime = 0;
  EXPECT_TRUE(GetLastWriteTime(h, mtime));
  EXPECT_EQ(mtime, 1234567890);
  CloseHandle(h);

  EXPECT_EQ(GetFileSizeOfHandle(h), -1);
  EXPECT_FALSE(GetLastWriteTime(h, mtime));

  // The size and time seen at opening come back with the handle, and the file stream keeps them
  // even when the file changes afterwards: the head announces what goes out.
  TOpenFileInfo info;
  h = OpenForReading(dir / "a.txt", info);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(info.Size, 5);
  EXPECT_EQ(info.LastWriteTime, 1234567890);
  TFileStream stream(h, info);
  WriteFile(dir / "a.txt", "longer now");
  EXPECT_EQ(stream.Size(), 5);
  EXPECT_TRUE(stream.LastWriteTime(mtime));
  EXPECT_EQ(mtime, 1234567890);
  char buf[16];
  EXPECT_EQ(stream.Read(buf, sizeof buf), 10)
      << "reads go to the file, only the announced size is kept";
}

TEST(Files, AppendToFileAddsAndCreates) {
  TempDir dir;
  std::string path = dir.Path() + "/" + Cp("журнал.log");
  EXPECT_TRUE(AppendToFile(path, "one\n"));
  EXPECT_TRUE(AppendToFile(path, "two\n"));
  EXPECT_EQ(ReadFile(dir / "журнал.log"), "one\ntwo\n");
  EXPECT_FALSE(AppendToFile(dir.Path(), "into a folder"));
  EXPECT_FALSE(AppendToFile(dir / "no-folder/x.log", "x"));
}

TEST(Files, PathPieces) {
  struct Row {
    std::string path, folder;
  } rows[] = {{"/srv/www/a.txt", "/srv/www/"},
              {"/a", "/"},
              {"a.txt", ""},
              {"/srv/www/", "/srv/www/"},
              {"", ""}};
  for (const Row& r : rows) EXPECT_EQ(ExtractFilePath(r.path), r.folder) << r.path;

  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string self(exe, static_cast<size_t>(n));
  EXPECT_EQ(ProgramFolder(), Utf8ToCp1251(self.substr(0, self.rfind('/'))));
  EXPECT_NE(ProgramFolder().back(), '/');
}

TEST(Streams, StringStreamReadSeekSize) {
  TStringStream s("0123456789");
  char buf[16] = {};
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Position(), 0);  // Size leaves the position where it was
  EXPECT_EQ(s.Read(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(s.Seek(-2, soFromEnd), 8);
  EXPECT_EQ(s.Read(buf, 16), 2);
  EXPECT_EQ(std::string(buf, 2), "89");
  EXPECT_EQ(s.Read(buf, 16), 0);
  EXPECT_EQ(s.Seek(-11, soFromEnd), -1);
  EXPECT_EQ(s.Position(), 10);
  EXPECT_EQ(s.Seek(5, soFromEnd), 15);
  EXPECT_EQ(s.Read(buf, 16), 0);
  s.SetPosition(3);
  EXPECT_EQ(s.Seek(2, soFromCurrent), 5);
  EXPECT_EQ(s.Read(buf, 0), 0);
  EXPECT_EQ(s.Read(buf, 1), 1);
  EXPECT_EQ(buf[0], '5');
}

TEST(Streams, HandleStreamLeavesHandleOpenFileStreamClosesIt) {
  TempDir dir;
  WriteFile(dir / "data.bin", "abcdefgh");
  THandle h = OpenForReading(dir / "data.bin");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  {
    THandleStream s(h);
    char buf[8];
    EXPECT_EQ(s.Seek(2, soFromBeginning), 2);
    EXPECT_EQ(s.Size(), 8);
    EXPECT_EQ(s.Position(), 2);
    EXPECT_EQ(s.Read(buf, 8), 6);
    EXPECT_EQ(std::string(buf, 6), "cdefgh");
    EXPECT_EQ(s.Read(buf, 8), 0);
  }
  EXPECT_TRUE(IsOpen(h));
  // A stream starts where the handle stands, whoever moved it there.
  ASSERT_EQ(lseek(h, 5, SEEK_SET), 5);
  {
    THandleStream s(h);
    char buf[8];
    EXPECT_EQ(s.Position(), 5);
    EXPECT_EQ(s.Read(buf, 8), 3);
    EXPECT_EQ(std::string(buf, 3), "fgh");
    EXPECT_EQ(s.Seek(-4, soFromEnd), 4);
    EXPECT_EQ(s.Read(buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(s.Seek(-7, soFromCurrent), -1) << "before the start";
  }
  CloseHandle(h);

  EXPECT_EQ(TFileStream::OpenRead(dir / "missing"), nullptr);
  auto fs = TFileStream::OpenRead(dir / "data.bin");
  ASSERT_NE(fs, nullptr);
  THandle fh = fs->Handle();
  EXPECT_EQ(fs->Size(), 8);
  fs.reset();
  EXPECT_FALSE(IsOpen(fh));
  THandleStream bad(-1);
  char c;
  EXPECT_EQ(bad.Read(&c, 1), -1);
  EXPECT_EQ(bad.Seek(0, soFromBeginning), -1);
  EXPECT_EQ(bad.Size(), -1);
}

}  // namespace
