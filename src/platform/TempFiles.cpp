// Temporary files on Linux: "delete on close" becomes an unlink by name while the descriptor
// lives on, which the callers do as soon as the name is no longer needed.
#include "platform/TempFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Codec.h"

namespace {

bool UsableName(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

// Opens a file of ours (mode 0600), again when a signal cuts the call short; -1 with errno set.
int OpenOwn(const std::string& path, int flags) {
  if (!UsableName(path)) {
    errno = ENOENT;
    return -1;
  }
  const std::string name = Cp1251ToUtf8(path);
  int fd;
  do {
    fd = open(name.c_str(), flags, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

THandle OpenTemp(const std::string& path, int extraFlags) {
  const int fd = OpenOwn(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | extraFlags);
  return fd < 0 ? INVALID_HANDLE_VALUE : fd;
}

}  // namespace

THandle CreateTempFile(const std::string& path) { return OpenTemp(path, O_TRUNC); }

THandle CreateNewTempFile(const std::string& path) { return OpenTemp(path, O_EXCL); }

THandle CreateUnnamedTempFile(const std::string& folder) {
  int fd = OpenOwn(folder, O_TMPFILE | O_RDWR | O_CLOEXEC);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR))
    return fd < 0 ? INVALID_HANDLE_VALUE : fd;
  // A file system without unnamed files: a private name, taken away at once.
  std::string path = Cp1251ToUtf8(folder) + "/brevoxa-body-XXXXXX";
  fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd >= 0) unlink(path.c_str());
  return fd < 0 ? INVALID_HANDLE_VALUE : fd;
}

bool DeleteFileName(const std::string& path) {
  if (!UsableName(path)) return false;
  return unlink(Cp1251ToUtf8(path).c_str()) == 0;
}

bool WriteAllAt(THandle handle, const char* data, size_t size, int64_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t w = pwrite(handle, data + done, size - done, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

int64_t ReadAt(THandle handle, char* buffer, size_t count, int64_t offset) {
  size_t done = 0;
  while (done < count) {
    const ssize_t r = pread(handle, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

bool SeekToStart(THandle handle) { return lseek(handle, 0, SEEK_SET) == 0; }

std::string LastErrorText() { return Utf8ToCp1251(std::strerror(errno)); }
