// Banned client addresses: the mask matcher and the character check of masks and addresses.
#include "filter/IpFilter.h"

#include <cstdint>
#include <limits>

namespace {

constexpr int kAddressParts = 4;
constexpr int kWholeRangeParts = 8;  // lower and upper address of a whole-address range

// A 32-bit signed decimal number; anything else, the empty text and overflow included, is 0.
int32_t ReadNumber(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return 0;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
    if (v > int64_t{std::numeric_limits<int32_t>::max()} + 1) return 0;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(v);
}

// The text from start up to end, excluded; empty when start has passed end.
std::string Slice(const std::string& text, size_t start, size_t end) {
  return start < end ? text.substr(start, end - start) : std::string();
}

uint32_t PackAddress(const int32_t* parts) {
  uint32_t value = 0;
  for (int k = 0; k < kAddressParts; ++k)
    value = (value << 8) | (static_cast<uint32_t>(parts[k]) & 0xFF);
  return value;
}

}  // namespace

bool HasWrongChars(const std::string& Text, bool PlainAddress) {
  for (char c : Text) {
    if ((c >= '0' && c <= '9') || c == '.') continue;
    if (!PlainAddress && (c == '*' || c == '-')) continue;
    return true;
  }
  return false;
}

TMaskTest TestAddressMask(const std::string& Address, const std::string& Mask) {
  int32_t A[kAddressParts] = {0, 0, 0, 0};
  int32_t L[kAddressParts] = {0, 0, 0, 0};
  int32_t H[kAddressParts] = {0, 0, 0, 0};
  // Upper parts that a whole-address mask leaves out cover everything up to 255.
  int32_t V[kWholeRangeParts] = {0, 0, 0, 0, 255, 255, 255, 255};
  bool R[kAddressParts] = {false, false, false, false};
  bool W[kAddressParts] = {false, false, false, false};
  bool wholeAddress = false;
  int partLimit = kAddressParts;

  // 1. The address; a final '.' belongs to the last part.
  int taken = 0;
  size_t start = 0;
  for (size_t k = 0; k < Address.size(); ++k) {
    bool last = k + 1 == Address.size();
    if ((Address[k] == '.' || last) && taken < kAddressParts) {
      A[taken++] = ReadNumber(Slice(Address, start, last ? k + 1 : k));
      start = k + 1;
    }
  }

  // 2. The mask, in one pass.
  int i = 0;
  start = 0;
  const size_t m = Mask.size();
  for (size_t p = 0; p < m; ++p) {
    char c = Mask[p];
    if (c == '-' && i < kAddressParts) {
      if (i == 3) wholeAddress = p + 4 < m;
      L[i] = ReadNumber(Slice(Mask, start, p));
      if (wholeAddress) {
        V[i] = L[i];
        partLimit = kWholeRangeParts;
        ++i;
      } else {
        R[i] = true;
      }
      start = p + 1;
    }
    bool last = p + 1 == m;
    if ((c == '.' || last) && i < partLimit) {
      std::string part = Slice(Mask, start, last ? p + 1 : p);
      if (part.find('*') != std::string::npos) {
        V[i] = i < kAddressParts ? 0 : 255;
        if (i < kAddressParts) W[i] = true;
      } else {
        V[i] = ReadNumber(part);
        if (i < kAddressParts && R[i]) H[i] = V[i];
      }
      ++i;
      start = p + 1;
    }
  }

  // 3. A short address did not come from a peer; the caller makes a record of it.
  const bool strange = taken < kAddressParts;

  // 4. Absent mask parts match everything.
  for (int k = i; k < kAddressParts; ++k) W[k] = true;

  // 5. Decide.
  if (wholeAddress) {
    uint32_t address = PackAddress(A);
    return {PackAddress(V) <= address && address <= PackAddress(V + kAddressParts), strange};
  }
  for (int k = 0; k < kAddressParts; ++k) {
    if (W[k]) continue;
    bool match = R[k] ? (L[k] <= A[k] && A[k] <= H[k]) : A[k] == V[k];
    if (!match) return {false, strange};
  }
  return {true, strange};
}
