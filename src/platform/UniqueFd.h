// TFd: the one owner of a POSIX descriptor, closing it when it goes.
#pragma once
#include <unistd.h>

// Owns one descriptor: closes it when it goes, so no path can leak it or close it twice.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) : FFd(fd) {}
  ~TFd() { Reset(); }
  TFd(TFd&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  TFd& operator=(TFd&& other) noexcept {
    if (this != &other) {
      Reset();
      FFd = other.FFd;
      other.FFd = -1;
    }
    return *this;
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;

  [[nodiscard]] int Get() const { return FFd; }
  [[nodiscard]] bool Valid() const { return FFd >= 0; }
  void Reset(int fd = -1) {
    if (FFd >= 0) ::close(FFd);
    FFd = fd;
  }
  // Closes it now; false when close reports an error (for a written file: the data may be lost).
  [[nodiscard]] bool Close() {
    const int fd = FFd;
    FFd = -1;
    return fd < 0 || ::close(fd) == 0;
  }
  // Hands the descriptor to an owner of another kind (fdopendir).
  [[nodiscard]] int Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }

 private:
  int FFd = -1;
};
