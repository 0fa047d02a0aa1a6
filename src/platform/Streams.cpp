// Streams over descriptors and over text held in memory.
#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

int64_t TStream::Size() {
  int64_t pos = Seek(0, soFromCurrent);
  if (pos < 0) return -1;
  int64_t end = Seek(0, soFromEnd);
  Seek(pos, soFromBeginning);
  return end;
}

bool THandleStream::KnowPosition() {
  if (FPos >= 0) return true;
  if (!FSeekable) return false;
  off_t pos = lseek(FHandle, 0, SEEK_CUR);
  if (pos < 0) {
    FSeekable = false;
    return false;
  }
  FPos = static_cast<int64_t>(pos);
  return true;
}

void THandleStream::SetRange(int64_t offset, int64_t length) {
  FStart = offset < 0 ? 0 : offset;
  FLength = length < 0 ? 0 : length;
  FPos = 0;
  FSeekable = true;
}

int64_t THandleStream::FileOffset() {
  if (!KnowPosition() || FPos > INT64_MAX - FStart) return -1;
  return FStart + FPos;
}

int THandleStream::Read(void* buffer, int count) {
  if (HasRange())
    count = static_cast<int>(std::min<int64_t>(count, std::max<int64_t>(FLength - FPos, 0)));
  if (count <= 0) return 0;
  const bool positioned = KnowPosition();
  for (;;) {
    ssize_t n = positioned ? pread(FHandle, buffer, static_cast<size_t>(count),
                                   static_cast<off_t>(FileOffset()))
                           : read(FHandle, buffer, static_cast<size_t>(count));
    if (n >= 0) {
      if (positioned) FPos += n;
      return static_cast<int>(n);
    }
    if (errno != EINTR) return -1;
  }
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (!KnowPosition()) return -1;
  int64_t base = 0;
  if (origin == soFromCurrent) {
    base = FPos;
  } else if (origin == soFromEnd) {
    base = Size();
    if (base < 0) return -1;
  }
  if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
  FPos = base + offset;
  return FPos;
}

int64_t THandleStream::Size() {
  if (HasRange()) return FLength;
  struct stat st;
  if (fstat(FHandle, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::unique_ptr<TFileStream> TFileStream::OpenRead(const std::string& path) {
  TOpenFileInfo info;
  THandle handle = OpenForReading(path, info);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  auto* stream = new (std::nothrow) TFileStream(handle, info);
  if (!stream) CloseHandle(handle);
  return std::unique_ptr<TFileStream>(stream);
}

TFileStream::TFileStream(THandle handle, const TOpenFileInfo& info)
    : THandleStream(handle), FOwned(handle), FInfoKnown(true), FInfo(info) {
  FPos = 0;  // just opened
}

TFileStream::TFileStream(std::shared_ptr<const TFd> shared, const TOpenFileInfo& info)
    : THandleStream(shared->Get()), FShared(std::move(shared)), FInfoKnown(true), FInfo(info) {
  FPos = 0;  // its own position; the descriptor's offset is nobody's
}

int64_t TFileStream::Size() {
  return FInfoKnown && !HasRange() ? FInfo.Size : THandleStream::Size();
}

bool TFileStream::LastWriteTime(int64_t& unixTime) {
  if (FInfoKnown) {
    unixTime = FInfo.LastWriteTime;
    return true;
  }
  return GetLastWriteTime(FHandle, unixTime);
}

int TStringStream::Read(void* buffer, int count) {
  if (count <= 0) return 0;
  auto size = static_cast<int64_t>(FData.size());
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
