// Local time for the log, and the UTC calendar of file times.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

// The locale's date and time (LC_TIME from the environment); the time is left out at exactly
// midnight, as the reference conversion does.
std::string TimeStampText();
// The same text for a given local time.
std::string TimeStampTextOf(const std::tm& local);
// " GMT+03:00" for three hours ahead of UTC; bias B = -(local offset in minutes).
std::string TimeZoneSuffix();
std::string TimeZoneSuffixForBias(int biasMinutes);
bool UnixTimeToUtcFields(int64_t unixTime, std::tm& fields);

// The monotonic clock in milliseconds as the kernel last ticked it: far cheaper to read than the
// exact one, which it lags by at most CoarseClockLagMs().
int64_t CoarseClockMs();
int64_t CoarseClockLagMs();
