// Local time stamps for the log, the time-zone suffix of the session record, UTC file times.
#include "platform/Time.h"

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/Codec.h"

namespace {

// The LC_TIME locale the environment asks for, resolved the way setlocale would resolve it.
std::string EnvironmentTimeLocaleName() {
  for (const char* var : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return "C";
}

// A private locale object, so the process's global locale (and with it every number the server
// formats) stays "C". Kept while the environment names the same locale. LC_CTYPE comes along
// from the same name because it tells the encoding of the texts strftime produces.
class TimeLocale {
 public:
  ~TimeLocale() {
    if (FLocale) freelocale(FLocale);
  }
  locale_t Get() {
    std::string name = EnvironmentTimeLocaleName();
    if (FLocale && name == FName) return FLocale;
    if (FLocale) freelocale(FLocale);
    FName = name;
    FLocale = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, name.c_str(), nullptr);
    if (!FLocale) FLocale = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", nullptr);
    return FLocale;
  }

 private:
  std::string FName;
  locale_t FLocale = nullptr;
};

std::mutex gLocaleMutex;

// Month and day names come out in the locale's own encoding; inside the program texts are cp1251.
std::string ToCp1251(const std::string& text, const char* codeset) {
  bool plain = true;
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) plain = false;
  if (plain || std::strcmp(codeset, "CP1251") == 0) return text;
  if (std::strcmp(codeset, "UTF-8") == 0) return Utf8ToCp1251(text);
  iconv_t cd = iconv_open("UTF-8", codeset);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv_open's own failure value.
  if (cd != reinterpret_cast<iconv_t>(-1)) {
    std::string out(text.size() * 4 + 8, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* o = out.data();
    size_t outLeft = out.size();
    size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r != static_cast<size_t>(-1)) {
      out.resize(out.size() - outLeft);
      return Utf8ToCp1251(out);
    }
  }
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  return out;
}

}  // namespace

std::string TimeStampText() {
  time_t now = time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return TimeStampTextOf(local);
}

std::string TimeStampTextOf(const std::tm& local) {
  // At exactly midnight the time part, and the blank before it, are left out.
  const char* format =
      (local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0) ? "%x" : "%x %X";
  std::lock_guard<std::mutex> lock(gLocaleMutex);
  static TimeLocale timeLocale;
  locale_t loc = timeLocale.Get();
  char buf[256];
  size_t n = loc ? strftime_l(buf, sizeof buf, format, &local, loc)
                 : strftime(buf, sizeof buf, format, &local);
  return ToCp1251(std::string(buf, n), loc ? nl_langinfo_l(CODESET, loc) : "ANSI_X3.4-1968");
}

std::string TimeZoneSuffixForBias(int biasMinutes) {
  int h = biasMinutes / 60;  // both truncate toward zero
  int m = biasMinutes % 60;
  char buf[32];
  if (biasMinutes > 0)
    std::snprintf(buf, sizeof buf, " GMT-%02d:%02d", h, m);
  else
    std::snprintf(buf, sizeof buf, " GMT+%02d:%02d", -h, -m);
  return buf;
}

std::string TimeZoneSuffix() {
  time_t now = time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return TimeZoneSuffixForBias(0);
  // tm_gmtoff already includes daylight saving when it is in force.
  return TimeZoneSuffixForBias(-static_cast<int>(local.tm_gmtoff / 60));
}

int64_t CoarseClockMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One tick of the coarse clock, and the millisecond cut off.
int64_t CoarseClockLagMs() {
  timespec res{};
  if (clock_getres(CLOCK_MONOTONIC_COARSE, &res) != 0) return 11;
  return static_cast<int64_t>(res.tv_sec) * 1000 + (res.tv_nsec + 999999) / 1000000 + 1;
}

bool UnixTimeToUtcFields(int64_t unixTime, std::tm& fields) {
  auto t = static_cast<time_t>(unixTime);
  if (static_cast<int64_t>(t) != unixTime) return false;
  return gmtime_r(&t, &fields) != nullptr;
}
