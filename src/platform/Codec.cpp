// Code page 1251 <-> UTF-8, and case folding over code page 1251 that ignores the C locale.
#include "platform/Codec.h"

#include <array>
#include <cstdint>

namespace {

// Unicode code points of the bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
// 0x98 has no character in the code page; it is the mark of the internal form, and alone it
// stands for U+0098.
constexpr std::array<char32_t, 64> kUpperHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

char32_t ToUnicode(unsigned char c) {
  if (c < 0x80) return c;
  if (c >= 0xC0) return 0x0410 + (c - 0xC0);
  return kUpperHalf[c - 0x80];
}

constexpr unsigned char kMark = static_cast<unsigned char>(kForeignMark);

// -1 when the code page has no byte for the character. The unassigned byte is the mark, so
// U+0098 takes the internal form like any other character the code page lacks.
int FromUnicode(char32_t u) {
  if (u < 0x80) return static_cast<int>(u);
  if (u >= 0x0410 && u <= 0x044F) return static_cast<int>(0xC0 + (u - 0x0410));
  for (int i = 0; i < 64; ++i)
    if (kUpperHalf[i] == u && 0x80 + i != kMark) return 0x80 + i;
  return -1;
}

// Case pairs follow from the Cyrillic block's layout: U+0400..U+040F pair with U+0450..U+045F,
// U+0410..U+042F with U+0430..U+044F, and Ґ U+0490 with ґ U+0491. Deriving them from the table
// keeps the two directions in step with the encoding.
struct CaseTables {
  std::array<unsigned char, 256> lower{};
  std::array<unsigned char, 256> upper{};
  CaseTables() {
    for (int c = 0; c < 256; ++c) lower[c] = upper[c] = static_cast<unsigned char>(c);
    for (int c = 'A'; c <= 'Z'; ++c) {
      lower[c] = static_cast<unsigned char>(c + 32);
      upper[c + 32] = static_cast<unsigned char>(c);
    }
    for (int c = 0x80; c < 256; ++c) {
      char32_t u = ToUnicode(static_cast<unsigned char>(c));
      char32_t pair = 0;
      if (u >= 0x0400 && u <= 0x040F)
        pair = u + 0x50;
      else if (u >= 0x0410 && u <= 0x042F)
        pair = u + 0x20;
      else if (u == 0x0490)
        pair = 0x0491;
      if (pair == 0) continue;
      int lc = FromUnicode(pair);
      if (lc < 0) continue;
      lower[c] = static_cast<unsigned char>(lc);
      upper[lc] = static_cast<unsigned char>(c);
    }
  }
};

const CaseTables& Cases() {
  static const CaseTables tables;
  return tables;
}

bool IsAscii(std::string_view text) {
  for (char ch : text)
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  return true;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t u) {
  if (u < 0x80) {
    out += static_cast<char>(u);
  } else if (u < 0x800) {
    out += static_cast<char>(0xC0 | (u >> 6));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else if (u < 0x10000) {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (u >> 18));
    out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  }
}

size_t ReadUtf8(std::string_view text, char32_t& u) {
  if (text.empty()) return 0;
  auto b0 = static_cast<unsigned char>(text[0]);
  size_t len;
  char32_t min;
  if (b0 < 0x80) {
    u = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, min = 0x80, u = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, min = 0x800, u = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, u = b0 & 0x07;
  } else {
    return 0;
  }
  if (text.size() < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    auto b = static_cast<unsigned char>(text[k]);
    if ((b & 0xC0) != 0x80) return 0;
    u = (u << 6) | (b & 0x3F);
  }
  if (u < min || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return 0;
  return len;
}

size_t ReadCharacter(std::string_view text, size_t i, char32_t& u) {
  const auto c = static_cast<unsigned char>(text[i]);
  // Only a character the code page lacks counts: each character has exactly one spelling.
  if (c == kMark) {
    const size_t len = ReadUtf8(text.substr(i + 1), u);
    if (len > 1 && FromUnicode(u) < 0) return len + 1;
  }
  u = ToUnicode(c);
  return 1;
}

void AppendCharacter(std::string& out, char32_t u) {
  const int c = FromUnicode(u);
  if (c >= 0) {
    out += static_cast<char>(c);
  } else {
    out += kForeignMark;
    AppendUtf8(out, u);
  }
}

std::string Cp1251ToUtf8(std::string_view text) {
  // Most names on disk are plain ASCII, which reads the same in both encodings.
  if (IsAscii(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() * 2);
  for (size_t i = 0; i < text.size();) {
    char32_t u = 0;
    const size_t len = ReadCharacter(text, i, u);
    if (len > 1)
      out.append(text, i + 1, len - 1);
    else
      AppendUtf8(out, u);
    i += len;
  }
  return out;
}

std::string Utf8ToCp1251(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char32_t u = 0;
    size_t len = ReadUtf8(text.substr(i), u);
    if (len == 0) {
      // One '?' per byte that starts no valid sequence; resynchronises on the next byte.
      out += '?';
      ++i;
      continue;
    }
    const int c = FromUnicode(u);
    if (c >= 0) {
      out += static_cast<char>(c);
    } else {
      out += kForeignMark;
      out.append(text, i, len);
    }
    i += len;
  }
  return out;
}

namespace {

// Folds every cp1251 letter and copies the internal form untouched: its UTF-8 bytes are no
// cp1251 letters.
std::string FoldCase(std::string_view text, const std::array<unsigned char, 256>& table) {
  std::string out(text);
  for (size_t i = 0; i < out.size();) {
    char32_t u = 0;
    const size_t len = out[i] == kForeignMark ? ReadCharacter(out, i, u) : 1;
    if (len == 1) out[i] = static_cast<char>(table[static_cast<unsigned char>(out[i])]);
    i += len;
  }
  return out;
}

}  // namespace

unsigned char Cp1251ToLower(unsigned char c) { return Cases().lower[c]; }
unsigned char Cp1251ToUpper(unsigned char c) { return Cases().upper[c]; }

std::string Cp1251LowerCase(std::string_view text) { return FoldCase(text, Cases().lower); }

std::string Cp1251UpperCase(std::string_view text) { return FoldCase(text, Cases().upper); }

bool Cp1251SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size();) {
    char32_t u = 0;
    const size_t len = a[i] == kForeignMark ? ReadCharacter(a, i, u) : 1;
    if (len > 1) {
      if (a.substr(i, len) != b.substr(i, len)) return false;
    } else if (Cp1251ToLower(static_cast<unsigned char>(a[i])) !=
               Cp1251ToLower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
    i += len;
  }
  return true;
}

bool Cp1251WildcardMatch(std::string_view pattern, std::string_view name) {
  // Greedy with one resume point: on a mismatch only the latest '*' needs to take one more
  // character, which keeps the match linear per star instead of exponential.
  const auto& lower = Cases().lower;
  auto same = [&lower](char a, char b) {
    return lower[static_cast<unsigned char>(a)] == lower[static_cast<unsigned char>(b)];
  };
  size_t p = 0, n = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
