// A stream over an OS file handle that closes the handle when destroyed.
#pragma once
#include "platform/Streams.h"

class mAutocloseStream : public THandleStream {
 public:
  explicit mAutocloseStream(THandle handle) : THandleStream(handle) {}
  ~mAutocloseStream() override { CloseHandle(FHandle); }
  mAutocloseStream(const mAutocloseStream&) = delete;
  mAutocloseStream& operator=(const mAutocloseStream&) = delete;
};
