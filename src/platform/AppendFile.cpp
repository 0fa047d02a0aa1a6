// Appending to a file that is checked against its name before each write.
#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Files.h"

namespace {

// A file made read-only is left alone, also by a descriptor opened before, and by root, whom the
// mode does not stop: the user's word on the file, as on Windows.
bool ReadOnly(const struct stat& st) {
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
         (st.st_uid == geteuid() && (st.st_mode & S_IWUSR) == 0);
}

}  // namespace

bool TAppendFile::SetName(const std::string& path) {
  FFd.Reset();
  FSize = 0;
  return OsPath(path, FUtf8);
}

// Opens for appending without ever blocking, and only a regular file.
bool TAppendFile::Open() {
  FFd.Reset(
      open(FUtf8.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
  struct stat st;
  if (FFd.Valid() && (fstat(FFd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || ReadOnly(st)))
    FFd.Reset();
  if (!FFd.Valid()) return false;
  FDev = st.st_dev;
  FIno = st.st_ino;
  FSize = static_cast<int64_t>(st.st_size);
  return true;
}

// The inode the descriptor holds cannot be reused while it is open, so the same device and inode
// mean the same file.
bool TAppendFile::Current() {
  if (FFd.Valid()) {
    struct stat st;
    if (stat(FUtf8.c_str(), &st) == 0 && st.st_dev == FDev && st.st_ino == FIno) {
      FSize = static_cast<int64_t>(st.st_size);
      if (!ReadOnly(st)) return true;
    }
    FFd.Reset();
  }
  return Open();
}

bool TAppendFile::SetAside(std::string& why) {
  if (rename(FUtf8.c_str(), (FUtf8 + ".1").c_str()) != 0) {
    why = std::strerror(errno);
    return false;
  }
  FFd.Reset();  // before the new one opens: at the descriptor limit there is room for one
  return true;
}

bool TAppendFile::Append(std::string_view bytes) {
  if (!WriteAllBytes(FFd.Get(), bytes.data(), bytes.size())) return false;
  FSize += static_cast<int64_t>(bytes.size());
  return true;
}
