// Reading a Range value and an HTTP date: value in, decision out, one row per case.
#include "http/Conditional.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "http/HttpDate.h"

namespace {

TEST(ParseByteRange, OneRangeOfAFileOf1000Bytes) {
  constexpr int64_t kNone = -1;
  struct {
    const char* Value;
    int64_t Size;
    TRangeAnswer Answer;
    int64_t First, Last;
  } rows[] = {
      {"bytes=0-99", 1000, TRangeAnswer::Partial, 0, 99},
      {"bytes=500-", 1000, TRangeAnswer::Partial, 500, 999},
      {"bytes=0-", 1000, TRangeAnswer::Partial, 0, 999},
      {"bytes=-100", 1000, TRangeAnswer::Partial, 900, 999},
      {"bytes=999-999", 1000, TRangeAnswer::Partial, 999, 999},
      {"bytes=900-5000", 1000, TRangeAnswer::Partial, 900, 999},  // the end is cut to the file
      {"bytes=-5000", 1000, TRangeAnswer::Partial, 0, 999},       // a suffix longer than the file
      {"bytes=0-99999999999999999999999", 1000, TRangeAnswer::Partial, 0, 999},
      {"BYTES=1-2", 1000, TRangeAnswer::Partial, 1, 2},
      {"bytes= 1-2 ", 1000, TRangeAnswer::Partial, 1, 2},
      {"bytes=1000-", 1000, TRangeAnswer::Unsatisfiable, kNone, kNone},
      {"bytes=1000-2000", 1000, TRangeAnswer::Unsatisfiable, kNone, kNone},
      {"bytes=99999999999999999999999-", 1000, TRangeAnswer::Unsatisfiable, kNone, kNone},
      {"bytes=-0", 1000, TRangeAnswer::Unsatisfiable, kNone, kNone},
      {"bytes=0-", 0, TRangeAnswer::Unsatisfiable, kNone, kNone},  // an empty file has no byte 0
      {"bytes=-5", 0, TRangeAnswer::Unsatisfiable, kNone, kNone},
      {"bytes=5-3", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes=0-1,5-6", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes=0-1,", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"items=0-1", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes 0-1", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes=", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes=-", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes=a-b", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes=+1-2", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes=1-2x", 1000, TRangeAnswer::Ignore, kNone, kNone},
      {"bytes=--1", 1000, TRangeAnswer::Ignore, kNone, kNone},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Value);
    int64_t first = kNone, last = kNone;
    EXPECT_EQ(ParseByteRange(r.Value, r.Size, first, last), r.Answer);
    if (r.Answer == TRangeAnswer::Partial) {
      EXPECT_EQ(first, r.First);
      EXPECT_EQ(last, r.Last);
    }
  }
}

TEST(ParseHttpDate, TheThreeFormsAndNothingElse) {
  constexpr int64_t k6Nov1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct {
    const char* Text;
    bool Valid;
    int64_t Time;
  } rows[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", true, k6Nov1994},
      {"sun, 06 nov 1994 08:49:37 gmt", true, k6Nov1994},  // as the request parser hands it on
      {"Sunday, 06-Nov-94 08:49:37 GMT", true, k6Nov1994},
      {"Sun Nov  6 08:49:37 1994", true, k6Nov1994},
      {"Tue, 05 Jan 2016 10:20:30 GMT", true, 1451989230},
      {"Tue, 29 Feb 2000 00:00:00 GMT", true, 951782400},
      {"Thursday, 01-Jan-70 00:00:00 GMT", true, 0},
      {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
      {"Mon, 29 Feb 2100 00:00:00 GMT", false, 0},  // not a leap year
      {"Sun, 31 Nov 1994 08:49:37 GMT", false, 0},
      {"Sun, 06 Nov 1994 24:00:00 GMT", false, 0},
      {"Sun, 06 Nov 1994 08:49:37 UTC", false, 0},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", false, 0},
      {"Sun, 6 Nov 1994 08:49:37 GMT", false, 0},
      {"Sun, 06 Nov 1994 08:49:37 GMT ", false, 0},
      {"Sunday, 06-Nov-94 08:49:37 GMT; length=12", false, 0},
      {"Sun Nov 06 08:49:37 1994", true, k6Nov1994},
      {"Sun Nov  6 08:49:37 94", false, 0},
      {"", false, 0},
      {"yesterday", false, 0},
      {"784111777", false, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Text);
    int64_t t = -12345;
    EXPECT_EQ(ParseHttpDate(r.Text, t), r.Valid);
    if (r.Valid) {
      EXPECT_EQ(t, r.Time);
    }
  }
}

}  // namespace
