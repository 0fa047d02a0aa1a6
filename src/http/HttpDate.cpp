// HTTP dates: a file's time written as one, and one a client sent read back.
#include "http/HttpDate.h"

#include <cstdio>
#include <ctime>

#include "http/Tokens.h"
#include "platform/Time.h"

namespace {

void TwoDigits(char* at, int value) {
  at[0] = static_cast<char>('0' + value / 10);
  at[1] = static_cast<char>('0' + value % 10);
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

const std::string& FileTimeToHttpDate(int64_t unixTime) {
  static const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // The answers of one stretch of time are mostly of the same few files: the text of the last
  // time asked for is kept.
  thread_local int64_t lastTime = 0;
  thread_local std::string lastText;
  thread_local const std::string none;
  if (!lastText.empty() && unixTime == lastTime) return lastText;
  std::tm t{};
  if (!UnixTimeToUtcFields(unixTime, t)) return none;
  if (t.tm_wday < 0 || t.tm_wday > 6 || t.tm_mon < 0 || t.tm_mon > 11) return none;
  const int year = t.tm_year + 1900;
  std::string text;
  if (year >= 0 && year <= 9999 && t.tm_mday >= 0 && t.tm_mday <= 99 && t.tm_hour >= 0 &&
      t.tm_hour <= 99 && t.tm_min >= 0 && t.tm_min <= 99 && t.tm_sec >= 0 && t.tm_sec <= 99) {
    // "Sun, 06 Nov 1994 08:49:37 GMT", digit by digit.
    char buf[] = "Ddd, 00 Mmm 0000 00:00:00 GMT";
    std::memcpy(buf, kDayNames[t.tm_wday], 3);
    TwoDigits(buf + 5, t.tm_mday);
    std::memcpy(buf + 8, kMonthNames[t.tm_mon], 3);
    TwoDigits(buf + 12, year / 100);
    TwoDigits(buf + 14, year % 100);
    TwoDigits(buf + 17, t.tm_hour);
    TwoDigits(buf + 20, t.tm_min);
    TwoDigits(buf + 23, t.tm_sec);
    text.assign(buf, sizeof buf - 1);
  } else {
    char buf[64];
    int n =
        std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[t.tm_wday],
                      t.tm_mday, kMonthNames[t.tm_mon], year, t.tm_hour, t.tm_min, t.tm_sec);
    if (n <= 0 || n >= static_cast<int>(sizeof buf)) return none;
    text.assign(buf, static_cast<size_t>(n));
  }
  lastTime = unixTime;
  lastText = text;
  return lastText;
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
