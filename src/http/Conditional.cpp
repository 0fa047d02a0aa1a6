// The Range header of a partial GET: which bytes of a file it asks for.
#include "http/Conditional.h"

#include "http/Tokens.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

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
