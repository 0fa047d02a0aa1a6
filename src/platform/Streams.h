// Streams handed to the transport. A handle stream reads an OS file descriptor directly,
// which is what lets the transport send it with sendfile.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Files.h"
#include "platform/UniqueFd.h"

enum TSeekOrigin { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;
  virtual int Read(void* buffer, int count) = 0;  // bytes read, 0 at the end, -1 on failure
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;  // new position, -1 on failure
  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soFromBeginning); }
  virtual int64_t Size();
};

// Never closes its handle. The position is the stream's own, kept here and read with pread, so
// moving it costs no call; the descriptor's offset is asked once, on first use.
//
// With a range set, the stream is exactly that run of the descriptor's bytes: positions count
// from its first byte, Size is its length, and reads never go past its end. The descriptor's
// shared offset is then never looked at, so whoever else holds the descriptor (a program's
// background child writing to its standard output) can neither move what is read nor add to
// it, and a run that ends sooner than its length tells that the file shrank.
class THandleStream : public TStream {
 public:
  explicit THandleStream(THandle handle) : FHandle(handle) {}
  [[nodiscard]] THandle Handle() const { return FHandle; }
  // length bytes of the descriptor from offset; position 0 is offset.
  void SetRange(int64_t offset, int64_t length);
  [[nodiscard]] bool HasRange() const { return FLength >= 0; }
  // Where the position lies in the descriptor, for sendfile; -1 when it cannot be known.
  int64_t FileOffset();
  int Read(void* buffer, int count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;

 protected:
  bool KnowPosition();
  THandle FHandle;
  int64_t FPos = -1;      // -1: not yet taken from the descriptor
  bool FSeekable = true;  // false for a pipe: plain reads then
  int64_t FStart = 0;     // the range's first byte in the descriptor
  int64_t FLength = -1;   // the range's length; -1: no range, the descriptor to its end
};

// A file opened for reading. It either owns its descriptor, closing it when destroyed, or
// shares one with the file-fact cache and other answers of the same file: each reads at its own
// position, none moves the descriptor's offset, and the last holder closes it.
class TFileStream : public THandleStream {
 public:
  static std::unique_ptr<TFileStream> OpenRead(const std::string& path);  // null on failure
  explicit TFileStream(THandle handle) : THandleStream(handle), FOwned(handle) {}
  TFileStream(THandle handle, const TOpenFileInfo& info);
  TFileStream(std::shared_ptr<const TFd> shared, const TOpenFileInfo& info);
  // As they were when the file was opened: what the head announces is what goes out. With a
  // range set, the size is the range's length.
  int64_t Size() override;
  bool LastWriteTime(int64_t& unixTime);

 private:
  TFd FOwned;
  std::shared_ptr<const TFd> FShared;
  bool FInfoKnown = false;
  TOpenFileInfo FInfo;
};

// Text held in memory (tests, and any producer that has no file).
class TStringStream : public TStream {
 public:
  explicit TStringStream(std::string data) : FData(std::move(data)) {}
  int Read(void* buffer, int count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

 private:
  std::string FData;
  int64_t FPos = 0;
};
