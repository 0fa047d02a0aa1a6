// Parsing the head of one request: request line, target, CGI meta-variables, headers, body size.
#include "http/Parse.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "content/Cgi.h"
#include "content/MimeTypes.h"
#include "content/UrlMap.h"
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

// Decoding can spell ".." ("%2e%2e"); the path info becomes PATH_TRANSLATED, which programs open,
// so it keeps to the same rule as the target: a run of dots stands as one.
std::string CollapseDots(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '.' && i > 0 && text[i - 1] == '.')) result += text[i];
  return result;
}

void AddVariable(mParser* p, std::string name, std::string value) {
  p->Variables.push_back(std::move(name));
  p->Variables.push_back(std::move(value));
}

}  // namespace

std::string GetHeaderValue(TServerState& Server, mParser* p, std::string_view Name) {
  // The scan goes on after a match: a repeated header counts by its last line.
  const std::string* found = nullptr;
  for (size_t i = 0; i + 1 < p->Variables.size(); i += 2)
    if (Cp1251SameText(p->Variables[i], Name)) found = &p->Variables[i + 1];
  return found ? Cp1251LowerCase(*found) : std::string();
}

int FramingRefusal(TServerState& Server, mParser* p) {
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

int ParseHttpVersion(TServerState& Server, const std::string& Protocol) {
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

bool IsInCGIDir(TServerState& Server, const std::string& Target) {
  const std::string& prefix = Server.CGID;
  if (Target.size() < prefix.size()) return false;
  // Only ASCII letters fold: the prefix is a URL, and URLs carry other bytes escaped.
  auto fold = [](char c) -> char { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < prefix.size(); ++i)
    if (fold(Target[i]) != fold(prefix[i])) return false;
  return true;
}

std::string TranslatePathInfo(TServerState& Server, const std::string& PathInfo, mParser* p) {
  std::string result;
  if (!PathInfo.empty() && (PathInfo[0] == '/' || PathInfo[0] == '\\')) {
    result = Server.RC;
    // The root "/" already ends in the separator the path info brings along.
    if (!result.empty() && result.back() == '/' && PathInfo[0] == '/') result.pop_back();
  } else {
    size_t slash = p->LocalPath.rfind('/');
    if (slash != std::string::npos) result = p->LocalPath.substr(0, slash + 1);
  }
  result += PathInfo;
  return result;
}

void ParseRequest(TServerState& Server, mParser* p) {
  const std::string& head = p->HeaderText;
  const size_t n = head.size();

  // 1. Request line: method, target, protocol, separated by single blanks. An LF before the
  // protocol ends the line and stays at the end of the field it ends.
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
  const size_t headersStart = i;

  // 2. Absolute form: drop the scheme and host.
  size_t slashes = p->URI.find("//");
  if (slashes != std::string::npos) {
    std::string rest = p->URI.substr(slashes + 2);
    size_t slash = rest.find('/');
    p->URI = slash == std::string::npos ? std::string("/") : rest.substr(slash);
  }

  // 3. CGI folder.
  if (Server.ECGI) p->InCGIDir = IsInCGIDir(Server, p->URI);

  // 4. Query string and path info.
  std::string path = p->URI;
  std::string pathInfo;
  size_t q = p->URI.find('?');
  size_t s = p->URI.find(';');
  if (q != std::string::npos) {
    if (p->InCGIDir) p->QueryString = p->URI.substr(q + 1);
    path = p->URI.substr(0, q);
  }
  if (s != std::string::npos && (q == std::string::npos || s < q)) {
    if (p->InCGIDir) {
      pathInfo = path.substr(s + 1);
      if (!pathInfo.empty()) pathInfo = CollapseDots(DecodeQueryText(pathInfo));
    }
    path = path.substr(0, s);
  }

  // 5. Local path.
  AssignLocalPath(p->LocalPath, Server, path, p->InCGIDir);

  // 6. CGI decision: a name without extension in the CGI folder is a program. An empty path
  // names the root folder (only an empty CGI prefix gets here with one), not a program.
  if (p->InCGIDir) {
    std::string extension;
    bool namesFolder = path.empty() || path.back() == '/';
    if (!namesFolder && !ExtractExtension(p->LocalPath, extension)) p->LocalPath += ".exe";
    p->IsCGI = IsCgiProgram(Server, p);
  }

  // 7. CGI meta-variables, ahead of the headers.
  if (p->IsCGI) {
    AddVariable(p, "REQUEST_METHOD", p->Method);
    AddVariable(p, "QUERY_STRING", p->QueryString);
    AddVariable(p, "REMOTE_ADDR", p->RemoteAddr);
    AddVariable(p, "REMOTE_PORT", p->RemotePort);
    AddVariable(p, "SCRIPT_NAME", path);
    AddVariable(p, "GATEWAY_INTERFACE", "CGI/1.1");
    AddVariable(p, "SERVER_SOFTWARE", std::string("Vyn_Brevoxa/") + kVersionText);
    AddVariable(p, "SERVER_PROTOCOL", p->Protocol);
    AddVariable(p, "SERVER_PORT", std::to_string(p->Socket ? p->Socket->OwnPort() : 0));
    AddVariable(p, "SCRIPT_FILENAME", p->LocalPath);
    std::string serverName;
    if (p->Socket) {
      serverName = p->Socket->OwnHostName();
      if (serverName.empty()) serverName = p->Socket->OwnAddress();
    }
    size_t cut = serverName.find("//");
    if (cut != std::string::npos) serverName = serverName.substr(cut + 2);
    AddVariable(p, "SERVER_NAME", serverName);
    if (!pathInfo.empty()) {
      AddVariable(p, "PATH_INFO", pathInfo);
      AddVariable(p, "PATH_TRANSLATED", TranslatePathInfo(Server, pathInfo, p));
    }
    if (Server.DIPIV) AddVariable(p, Server.DIPV, p->RemoteAddr);
    p->FirstHeaderEntry = static_cast<int32_t>(p->Variables.size());
  }

  // 8. Header lines; a line that begins with a blank continues the previous one.
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
      const size_t c = static_cast<size_t>(static_cast<const char*>(colon) - head.data());
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

  // 9. Declared body size. A body is only ever read by its one declared length: one framed any
  // other way would be scanned as further requests, smuggled past whatever stands in front.
  std::string length = GetHeaderValue(Server, p, "Content-Length");
  if (const int refusal = FramingRefusal(Server, p); refusal != 0) {
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

  // 10. Version.
  p->Version = ParseHttpVersion(Server, p->Protocol);

  // 11. Method length.
  if (p->Method.size() > static_cast<size_t>(kMaxMethodLength)) {
    p->Method = "UNKNOWN";
    p->CloseConnection = true;
  }
}
