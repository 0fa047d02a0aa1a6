// The few character tests the header-value readers (dates, ranges) share: ASCII only, whatever
// the locale.
#pragma once
#include <cstring>
#include <string>

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether s holds word (given in lower case) at pos, in any letter case.
inline bool MatchWordAt(const std::string& s, size_t pos, const char* word) {
  const size_t n = std::strlen(word);
  if (pos + n > s.size()) return false;
  for (size_t i = 0; i < n; ++i)
    if (AsciiLower(s[pos + i]) != word[i]) return false;
  return true;
}
