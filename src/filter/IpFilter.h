// Banned client addresses: the mask test and the character check of masks and addresses. The
// server object's TestWrongIP adds the log record.
#pragma once
#include <string>

struct TMaskTest {
  bool Denied = false;          // Address matches Mask
  bool StrangeAddress = false;  // Address has fewer than four parts
};

// Matches Address against one mask of the banned list.
[[nodiscard]] TMaskTest TestAddressMask(const std::string& Address, const std::string& Mask);

// True when Text holds a character other than digits and '.' (and '*', '-' for a mask).
[[nodiscard]] bool HasWrongChars(const std::string& Text, bool PlainAddress);
