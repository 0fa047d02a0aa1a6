// Conditional and partial GET: reading the Range header and HTTP dates.
#include "http/Conditional.h"

#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Decimal digits at pos, saturating at INT64_MAX; false when there is none.
bool ReadNumber(const std::string& s, size_t& pos, int64_t& value) {
  const size_t start = pos;
  value = 0;
  for (; pos < s.size() && IsDigit(s[pos]); ++pos) {
    const int d = s[pos] - '0';
    value = value > (INT64_MAX - d) / 10 ? INT64_MAX : value * 10 + d;
  }
  return pos > start;
}

bool MatchWordAt(const std::string& s, size_t pos, const char* word) {
  const size_t n = std::strlen(word);
  if (pos + n > s.size()) return false;
  for (size_t i = 0; i < n; ++i)
    if (AsciiLower(s[pos + i]) != word[i]) return false;
  return true;
}

// Index of the name at pos among names (lower case, all of one length), or -1.
int NameAt(const std::string& s, size_t pos, const char* const* names, int count) {
  for (int i = 0; i < count; ++i)
    if (MatchWordAt(s, pos, names[i])) return i;
  return -1;
}

const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                               "jul", "aug", "sep", "oct", "nov", "dec"};
const char* const kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
const char* const kLongDays[] = {"monday", "tuesday",  "wednesday", "thursday",
                                 "friday", "saturday", "sunday"};

// Exactly n digits at pos.
bool Fixed(const std::string& s, size_t& pos, int n, int& value) {
  if (pos + static_cast<size_t>(n) > s.size()) return false;
  value = 0;
  for (int i = 0; i < n; ++i, ++pos) {
    if (!IsDigit(s[pos])) return false;
    value = value * 10 + (s[pos] - '0');
  }
  return true;
}

bool Char(const std::string& s, size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

// "hh:mm:ss"
bool Clock(const std::string& s, size_t& pos, int& h, int& m, int& sec) {
  return Fixed(s, pos, 2, h) && Char(s, pos, ':') && Fixed(s, pos, 2, m) && Char(s, pos, ':') &&
         Fixed(s, pos, 2, sec) && h <= 23 && m <= 59 && sec <= 60;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool ValidDay(int year, int month, int day) {
  static const int kLength[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month >= 1 && month <= 12 && day >= 1 &&
         day <= kLength[month - 1] + (month == 2 && leap ? 1 : 0);
}

bool Finish(int year, int month, int day, int h, int m, int sec, int64_t& unixTime) {
  if (!ValidDay(year, month, day)) return false;
  unixTime = DaysFromCivil(year, month, day) * 86400 + int64_t{h} * 3600 + int64_t{m} * 60 + sec;
  return true;
}

}  // namespace

TRangeAnswer ParseByteRange(const std::string& value, int64_t size, int64_t& first, int64_t& last) {
  if (!MatchWordAt(value, 0, "bytes=") || size < 0) return TRangeAnswer::Ignore;
  size_t pos = 6;
  while (pos < value.size() && IsBlank(value[pos])) ++pos;
  int64_t a = -1;
  int64_t b = -1;
  const bool hasFirst = ReadNumber(value, pos, a);
  if (pos >= value.size() || value[pos] != '-') return TRangeAnswer::Ignore;
  ++pos;
  const bool hasLast = ReadNumber(value, pos, b);
  while (pos < value.size() && IsBlank(value[pos])) ++pos;
  // Anything left over (a second range after a comma among it) is not one range.
  if (pos != value.size() || (!hasFirst && !hasLast)) return TRangeAnswer::Ignore;
  if (hasFirst && hasLast && b < a) return TRangeAnswer::Ignore;
  if (!hasFirst) {
    // The last b bytes; a suffix of nothing starts at the end.
    if (b == 0 || size == 0) return TRangeAnswer::Unsatisfiable;
    first = b >= size ? 0 : size - b;
    last = size - 1;
    return TRangeAnswer::Partial;
  }
  if (a >= size) return TRangeAnswer::Unsatisfiable;
  first = a;
  last = hasLast && b < size - 1 ? b : size - 1;
  return TRangeAnswer::Partial;
}

bool ParseHttpDate(const std::string& s, int64_t& unixTime) {
  int day = 0, year = 0, h = 0, m = 0, sec = 0;
  size_t pos = 0;
  int month = -1;
  if (s.size() == 29 && s[3] == ',') {
    // Sun, 06 Nov 1994 08:49:37 GMT
    if (NameAt(s, 0, kDays, 7) < 0) return false;
    pos = 4;
    if (!Char(s, pos, ' ') || !Fixed(s, pos, 2, day) || !Char(s, pos, ' ')) return false;
    if ((month = NameAt(s, pos, kMonths, 12)) < 0) return false;
    pos += 3;
    if (!Char(s, pos, ' ') || !Fixed(s, pos, 4, year) || !Char(s, pos, ' ') ||
        !Clock(s, pos, h, m, sec) || !Char(s, pos, ' ') || !MatchWordAt(s, pos, "gmt"))
      return false;
    return Finish(year, month + 1, day, h, m, sec, unixTime);
  }
  const size_t comma = s.find(',');
  if (comma != std::string::npos) {
    // Sunday, 06-Nov-94 08:49:37 GMT
    const int weekday = NameAt(s, 0, kLongDays, 7);
    if (weekday < 0 || std::strlen(kLongDays[weekday]) != comma) return false;
    pos = comma + 1;
    if (!Char(s, pos, ' ') || !Fixed(s, pos, 2, day) || !Char(s, pos, '-')) return false;
    if ((month = NameAt(s, pos, kMonths, 12)) < 0) return false;
    pos += 3;
    if (!Char(s, pos, '-') || !Fixed(s, pos, 2, year) || !Char(s, pos, ' ') ||
        !Clock(s, pos, h, m, sec) || !Char(s, pos, ' ') || !MatchWordAt(s, pos, "gmt") ||
        pos + 3 != s.size())
      return false;
    // Two-digit years: the century that keeps the date nearest to the time HTTP/1.0 was in use.
    year += year < 70 ? 2000 : 1900;
    return Finish(year, month + 1, day, h, m, sec, unixTime);
  }
  // Sun Nov  6 08:49:37 1994
  if (s.size() != 24 || NameAt(s, 0, kDays, 7) < 0) return false;
  pos = 3;
  if (!Char(s, pos, ' ') || (month = NameAt(s, pos, kMonths, 12)) < 0) return false;
  pos += 3;
  if (!Char(s, pos, ' ')) return false;
  if (s[pos] == ' ') {
    ++pos;
    if (!Fixed(s, pos, 1, day)) return false;
  } else if (!Fixed(s, pos, 2, day)) {
    return false;
  }
  if (!Char(s, pos, ' ') || !Clock(s, pos, h, m, sec) || !Char(s, pos, ' ') ||
      !Fixed(s, pos, 4, year) || pos != s.size())
    return false;
  return Finish(year, month + 1, day, h, m, sec, unixTime);
}
