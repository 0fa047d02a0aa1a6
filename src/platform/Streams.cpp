// Streams over descriptors and over text held in memory.
#include "platform/Streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

int64_t TStream::Size() {
  int64_t pos = Seek(0, soFromCurrent);
  if (pos < 0) return -1;
  int64_t end = Seek(0, soFromEnd);
  Seek(pos, soFromBeginning);
  return end;
}

int THandleStream::Read(void* buffer, int count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t n = read(FHandle, buffer, static_cast<size_t>(count));
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -1;
  }
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soFromBeginning ? SEEK_SET : origin == soFromCurrent ? SEEK_CUR : SEEK_END;
  off_t pos = lseek(FHandle, static_cast<off_t>(offset), whence);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

std::unique_ptr<TFileStream> TFileStream::OpenRead(const std::string& path) {
  THandle handle = OpenForReading(path);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<TFileStream>(handle);
}

TFileStream::~TFileStream() { CloseHandle(FHandle); }

int TStringStream::Read(void* buffer, int count) {
  if (count <= 0) return 0;
  int64_t size = static_cast<int64_t>(FData.size());
  if (FPos >= size) return 0;
  int64_t n = std::min<int64_t>(count, size - FPos);
  std::memcpy(buffer, FData.data() + FPos, static_cast<size_t>(n));
  FPos += n;
  return static_cast<int>(n);
}

int64_t TStringStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soFromBeginning ? 0
                 : origin == soFromCurrent ? FPos
                                           : static_cast<int64_t>(FData.size());
  // Past the end is allowed (reads give 0 there), before the start is not.
  if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
  FPos = base + offset;
  return FPos;
}
