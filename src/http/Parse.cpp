// Parsing the head of one request: the request line, the header lines, the declared body size.
#include "http/Parse.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "http/Target.h"
#include "platform/Codec.h"
#include "server/ServerState.h"

namespace {

constexpr int kMaxMethodLength = 20;  // longer methods are refused as unknown
// A declared body beyond this is refused before any of it is awaited: a program's input file
// and the connection's buffer would otherwise grow by whatever a client cares to claim.
constexpr int32_t kMaxContentLength = 64 * 1024 * 1024;
constexpr int32_t kBadVersion = -1000;

// Optional sign and decimal digits, nothing else, within 32 signed bits.
bool StrToInt32(std::string_view text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min())
    return false;
  value = static_cast<int32_t>(v);
  return true;
}

// The method, the target and the protocol, separated by single blanks; an LF before the protocol
// ends the line and stays at the end of the field it ends. Returns where the header lines begin.
size_t ReadRequestLine(mParser* p) {
  const std::string& head = p->HeaderText;
  const size_t n = head.size();
  size_t i = 0;
  while (i < n && head[i] != ' ' && head[i] != '\n') ++i;
  const bool methodEndsLine = i < n && head[i] == '\n';
  p->Method.assign(head, 0, methodEndsLine ? i + 1 : i);
  if (i < n) ++i;
  if (!methodEndsLine && i < n && head[i - 1] == ' ') {
    const size_t start = i;
    while (i < n && head[i] != ' ' && head[i] != '\n') ++i;
    const bool targetEndsLine = i < n && head[i] == '\n';
    const size_t end = targetEndsLine ? i + 1 : i;
    // No ".." can reach the target, so no path can climb out of the root.
    if (std::string_view(head.data() + start, end - start).find("..") == std::string_view::npos) {
      p->URI.assign(head, start, end - start);
    } else {
      p->URI.reserve(end - start);
      for (size_t k = start; k < end; ++k)
        if (!(head[k] == '.' && head[k - 1] == '.')) p->URI += head[k];
    }
    if (i < n) ++i;
    if (!targetEndsLine && i < n && head[i - 1] == ' ') {
      const size_t from = i;
      while (i < n && head[i] != '\n') ++i;
      p->Protocol.assign(head, from, i - from);
      if (i < n) ++i;
    }
  }

  // An absolute target names the scheme and host before the path: only the path is kept.
  size_t slashes = p->URI.find("//");
  if (slashes != std::string::npos) {
    std::string rest = p->URI.substr(slashes + 2);
    size_t slash = rest.find('/');
    p->URI = slash == std::string::npos ? std::string("/") : rest.substr(slash);
  }
  return i;
}

// Header lines from headersStart on, into Variables; a line that begins with a blank continues
// the previous one.
void ReadHeaderLines(mParser* p, size_t headersStart) {
  const std::string& head = p->HeaderText;
  const size_t n = head.size();
  std::string name;
  std::string value;
  bool inName = true;
  bool valueStarted = false;
  const auto scanBytes = [&](size_t from, size_t to) {
    for (size_t k = from; k < to; ++k) {
      char c = head[k];
      bool lineStart = k > 0 && head[k - 1] == '\n';
      if (!inName && !valueStarted) valueStarted = c != ' ';
      if (lineStart && c != ' ') {
        if (!name.empty()) AddVariable(p, std::move(name), std::move(value));
        name.clear();
        value.clear();
        inName = true;
        valueStarted = false;
      }
      if (inName) {
        if (c == ':')
          inName = false;
        else
          name += c;
      }
      if (valueStarted && c != '\n') value += c;
    }
  };
  p->Variables.reserve(
      p->Variables.size() +
      2 * static_cast<size_t>(std::count(head.begin() + static_cast<std::ptrdiff_t>(headersStart),
                                         head.end(), '\n')));
  // Every line here starts right after an LF. The usual lines, "Name: value" and a continuation
  // of a value, are taken whole; any other goes byte by byte through the same rules.
  for (size_t k = headersStart; k < n;) {
    const void* lf = std::memchr(head.data() + k, '\n', n - k);
    const size_t textEnd = lf ? static_cast<size_t>(static_cast<const char*>(lf) - head.data()) : n;
    const size_t end = lf ? textEnd + 1 : n;
    const void* colon = head[k] == ' ' ? nullptr : std::memchr(head.data() + k, ':', textEnd - k);
    if (colon) {
      if (!name.empty()) AddVariable(p, std::move(name), std::move(value));
      const auto c = static_cast<size_t>(static_cast<const char*>(colon) - head.data());
      size_t v = c + 1;
      while (v < textEnd && head[v] == ' ') ++v;
      name.assign(head, k, c - k);
      value.assign(head, v, textEnd - v);
      inName = false;
      valueStarted = v < textEnd || lf != nullptr;
    } else if (head[k] == ' ' && !inName && valueStarted) {
      value.append(head, k, textEnd - k);
    } else {
      scanBytes(k, end);
    }
    k = end;
  }
}

// A body is only ever read by its one declared length: one framed any other way would be scanned
// as further requests, smuggled past whatever stands in front.
void ReadBodySize(mParser* p) {
  std::string length = GetHeaderValue(p, "Content-Length");
  if (const int refusal = FramingRefusal(p); refusal != 0) {
    p->ContentLength = 0;
    p->CloseConnection = true;
    p->StatusCode = refusal;
  } else if (!length.empty()) {
    int32_t v = 0;
    // Plain digits only: a sign ("+5") is read differently by the servers in front of this one,
    // and a negative size would never be reached, leaving the request hanging.
    if (length[0] < '0' || length[0] > '9' || !StrToInt32(length, v) || v < 0) {
      p->ContentLength = 0;
      p->CloseConnection = true;
      p->StatusCode = 400;
    } else if (v > kMaxContentLength) {
      p->ContentLength = 0;
      p->CloseConnection = true;
      p->StatusCode = 413;
    } else {
      p->ContentLength = v;
    }
  }
}

}  // namespace

std::string GetHeaderValue(mParser* p, std::string_view Name) {
  // The scan goes on after a match: a repeated header counts by its last line.
  const std::string* found = nullptr;
  for (size_t i = 0; i + 1 < p->Variables.size(); i += 2)
    if (Cp1251SameText(p->Variables[i], Name)) found = &p->Variables[i + 1];
  return found ? Cp1251LowerCase(*found) : std::string();
}

int FramingRefusal(mParser* p) {
  const std::string* length = nullptr;
  bool disagree = false;
  bool malformed = false;
  for (auto i = static_cast<size_t>(p->FirstHeaderEntry); i + 1 < p->Variables.size(); i += 2) {
    // "Content-Length : 5" or "Transfer-Encoding\v:" is still read as the header by some servers
    // in front of this one: skipped here, its body would be scanned as the next request. A line
    // without a colon keeps its LF at the end of the name and is left alone.
    std::string_view name = p->Variables[i];
    const auto blankOrControl = [](char c) {
      const auto u = static_cast<unsigned char>(c);
      return u != '\n' && (u <= ' ' || u == 0x7f);
    };
    const size_t spelled = name.size();
    while (!name.empty() && blankOrControl(name.back())) name.remove_suffix(1);
    if (Cp1251SameText(name, "Transfer-Encoding")) return 501;
    if (name.size() != spelled) malformed = true;
    if (Cp1251SameText(name, "Content-Length")) {
      if (length != nullptr && *length != p->Variables[i + 1]) disagree = true;
      length = &p->Variables[i + 1];
    }
  }
  return disagree || malformed ? 400 : 0;
}

int ParseHttpVersion(const std::string& Protocol) {
  if (Protocol.size() < 8 || Protocol.compare(0, 5, "HTTP/") != 0) return kBadVersion;
  size_t dot = Protocol.find('.');
  if (dot == std::string::npos) return kBadVersion;
  int32_t major = 0;
  int32_t minor = 0;
  const std::string_view text = Protocol;
  if (dot < 5 || !StrToInt32(text.substr(5, dot - 5), major) ||
      !StrToInt32(text.substr(dot + 1), minor))
    return kBadVersion;
  if (major == 1) return minor;
  if (major < 1) return kBadVersion;
  // Kept within 32 bits: a huge major must still read as "above 1.x", not wrap to a small code.
  int64_t code = int64_t{major} * 1000 + minor;
  if (code > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (code < 2) return std::numeric_limits<int32_t>::max();
  return static_cast<int>(code);
}

void ParseRequest(TServerState& Server, mParser* p) {
  const size_t headersStart = ReadRequestLine(p);
  ResolveTarget(Server, p);
  ReadHeaderLines(p, headersStart);
  ReadBodySize(p);
  p->Version = ParseHttpVersion(p->Protocol);
  if (p->Method.size() > static_cast<size_t>(kMaxMethodLength)) {
    p->Method = "UNKNOWN";
    p->CloseConnection = true;
  }
}
