// Fuzzes the hive's text form, which people edit by hand: whatever parses must write back to
// text that parses to the same keys and values, and from there on a rewrite changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/RegFile.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

// A registry string ends at its first NUL; what a hand-edited file puts after one does not
// survive a rewrite.
std::string StringPart(const TRegValue& v) {
  return v.Type == REG_SZ ? v.Data.substr(0, v.Data.find('\0')) : v.Data;
}

void RequireSameHive(const THive& a, const THive& b, bool exact) {
  Require(a.Keys.size() == b.Keys.size());
  for (size_t i = 0; i < a.Keys.size(); ++i) {
    const TRegKey& ka = a.Keys[i];
    const TRegKey& kb = b.Keys[i];
    Require(ka.Path == kb.Path);
    Require(ka.Values.size() == kb.Values.size());
    for (size_t j = 0; j < ka.Values.size(); ++j) {
      Require(ka.Values[j].Name == kb.Values[j].Name);
      Require(ka.Values[j].Type == kb.Values[j].Type);
      if (exact)
        Require(ka.Values[j].Data == kb.Values[j].Data);
      else
        Require(StringPart(ka.Values[j]) == StringPart(kb.Values[j]));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  THive hive;
  if (!THive::Parse(text, hive)) return 0;
  THive again;
  Require(THive::Parse(hive.Format(), again));
  RequireSameHive(hive, again, false);
  const std::string written = again.Format();
  THive third;
  Require(THive::Parse(written, third));
  RequireSameHive(again, third, true);
  Require(third.Format() == written);
  return 0;
}
