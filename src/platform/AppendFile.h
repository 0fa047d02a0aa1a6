// A file appended to by one writer that must never wait: the system's side of the log file. Only
// a regular file (or a link to one) that the user has left writable is written, and only while it
// is still the file of its name.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"

class TAppendFile {
 public:
  // Names the file (cp1251) and lets go of the one held; false when the name can be no file's.
  bool SetName(const std::string& path);
  // Makes the kept descriptor the file now of that name, opening (and creating) it when needed:
  // a file renamed, deleted or replaced meanwhile is let go, the name decides. False when what
  // the name holds is not a regular file we may write (a named pipe or a device is left alone).
  bool Current();
  // Its size as last looked up, with what was appended since.
  [[nodiscard]] int64_t Size() const { return FSize; }
  // Renames it to its name + ".1", replacing that file, and lets go of it, so that the next
  // Current starts a new one. On failure, why, in the system's words.
  bool SetAside(std::string& why);
  bool Append(std::string_view bytes);
  void Close() { FFd.Reset(); }
  // The name as the system knows it, for messages.
  [[nodiscard]] const std::string& SystemName() const { return FUtf8; }

 private:
  bool Open();

  std::string FUtf8;
  TFd FFd;
  dev_t FDev = 0;
  ino_t FIno = 0;
  int64_t FSize = 0;
};
