// Between request paths and local paths: the percent escapes, UTF-8 characters, the root.
#include "content/UrlMap.h"

#include "log/Log.h"
#include "platform/Codec.h"
#include "platform/Files.h"
#include "server/ServerState.h"

namespace {

// Two characters read the way "%x" reads them: blanks, a sign, then hexadecimal digits up to the
// first other character. False when no digit converts.
bool ReadHexPair(const std::string& text, size_t at, int& value) {
  size_t i = at;
  const size_t end = at + 2;
  while (i < end && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\v' ||
                     text[i] == '\f' || text[i] == '\r'))
    ++i;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int v = 0;
  bool any = false;
  for (; i < end; ++i) {
    const int d = HexDigitValue(text[i]);
    if (d < 0) break;
    v = v * 16 + d;
    any = true;
  }
  if (!any) return false;
  value = negative ? -v : v;
  return true;
}

// The code page 1251 letter that a UTF-8 pair names; 0 for any pair outside the Cyrillic table.
unsigned char Cp1251FromUtf8Pair(int first, int second) {
  if (first == 0xD0) {
    if (second >= 0x90 && second <= 0xBF) return static_cast<unsigned char>(second + 0x30);
    if (second == 0x81) return 0xA8;
  } else if (first == 0xD1) {
    if (second >= 0x80 && second <= 0x8F) return static_cast<unsigned char>(second + 0x70);
    if (second == 0x91) return 0xB8;
  }
  return 0;
}

// The byte a strict escape "%XX" at path[at] names; -1 when none stands there.
int StrictEscape(const std::string& path, size_t at) {
  if (path.size() - at < 3 || path[at] != '%') return -1;
  const int high = HexDigitValue(path[at + 1]);
  const int low = HexDigitValue(path[at + 2]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// What an escape may give: no character that could climb out of the root, join or cut a path,
// or act as a wildcard, and no control character. Nor a letter, a digit, '-', '_' or '~', which
// no client escapes: the CGI prefix is recognised in the target as sent, and "/cgi%2Dbin/t.pl"
// would otherwise reach the program as a plain file and hand out its text.
bool MayBeEscaped(char32_t u) {
  if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) return false;
  if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')) return false;
  return u != '.' && u != '/' && u != '\\' && u != '*' && u != '-' && u != '_' && u != '~';
}

// A run of escapes at path[p] that spells one whole UTF-8 character, a single escape of an ASCII
// character included: appends it (its cp1251 byte, or the internal form) and moves p past the
// run. False, with nothing consumed, for anything else.
bool DecodeCharacterEscapes(const std::string& path, size_t& p, std::string& result) {
  char bytes[4];
  size_t count = 0;
  for (int b; count < sizeof bytes && (b = StrictEscape(path, p + 3 * count)) >= 0; ++count)
    bytes[count] = static_cast<char>(b);
  char32_t u = 0;
  const size_t len = ReadUtf8(std::string_view(bytes, count), u);
  if (len == 0 || !MayBeEscaped(u)) return false;
  AppendCharacter(result, u);
  p += 3 * len;
  return true;
}

// Appends to result the character that a '%' at position p produces, and moves p past what it
// consumed.
void DecodePathEscape(const std::string& path, size_t& p, std::string& result) {
  if (DecodeCharacterEscapes(path, p, result)) return;
  // Everything else reads as it always has: a blank near the end, '%' or a Cyrillic letter.
  const size_t n = path.size();
  int first = 0;
  if (n - p - 1 < 2 || !ReadHexPair(path, p + 1, first)) {
    result += '%';
    p += 1;
    return;
  }
  p += 3;
  // An escape too close to the end to be a pair reads as a blank, whatever its value.
  if (first == 0x20 || n - p < 3) {
    result += ' ';
    return;
  }
  int second = 0;
  if (!ReadHexPair(path, p + 1, second)) {
    result += '%';
    p += 1;  // the walk goes on with the two characters that did not convert
    return;
  }
  p += 3;
  unsigned char letter = Cp1251FromUtf8Pair(first, second);
  result += letter ? static_cast<char>(letter) : '%';
}

}  // namespace

const std::string& LocalBase(TServerState& Server, bool InCGIDir) {
  return InCGIDir && Server.USCGIF ? Server.SCGIF : Server.RC;
}

std::string UrlToLocalPath(TServerState& Server, const std::string& Path, bool InCGIDir) {
  std::string result;
  AssignLocalPath(result, Server, Path, InCGIDir);
  return result;
}

void AssignLocalPath(std::string& result, TServerState& Server, const std::string& Path,
                     bool InCGIDir) {
  const std::string& base = LocalBase(Server, InCGIDir);
  std::string cut;
  const std::string* from = &Path;
  if (InCGIDir && Server.USCGIF) {
    if (Server.CGID.empty()) {
      WriteLog(Server,
               "ATTENTION! CGI dir is incorrect! Please do not play with registry.\nGo to Options "
               "dialog on CGI tab and change 'CGI dir' to correct one.");
    } else {
      // Dropped by count, keeping the prefix's final '/'.
      size_t drop = Server.CGID.size() - 1;
      if (drop < Path.size()) cut = Path.substr(drop);
      from = &cut;
    }
  }
  const std::string& path = *from;

  result.assign(base);
  // A base that already ends in the separator (the root "/") takes no second one at the join.
  bool atJoin = !base.empty() && base.back() == '/';
  auto appendSeparator = [&]() {
    if (!atJoin) result += '/';
    atJoin = false;
  };
  if (path.empty() || path[0] != '/') appendSeparator();

  const size_t n = path.size();
  size_t p = 0;
  while (p < n) {
    char c = path[p];
    if (c == '/' || c == '*') {
      // A trailing '/' never leaves a trailing separator.
      if (p != n - 1) appendSeparator();
      ++p;
    } else if (c == '%') {
      DecodePathEscape(path, p, result);
      atJoin = false;
    } else {
      size_t q = p + 1;
      while (q < n && path[q] != '/' && path[q] != '*' && path[q] != '%') ++q;
      result.append(path, p, q - p);
      p = q;
      atJoin = false;
    }
  }
}

namespace {

// The ASCII characters a link escapes: those a browser would change, or that would cut the path
// short (the query, the fragment, the path info) before it reaches the server.
struct TUrlEscapes {
  bool escape[128] = {};
  TUrlEscapes() {
    for (int c = 0; c < 0x20; ++c) escape[c] = true;
    escape[0x7F] = true;
    for (char c : std::string_view(" %#?;\"<>`{}|^")) escape[static_cast<unsigned char>(c)] = true;
  }
};

void AppendEscape(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  const char escape[3] = {'%', kHex[c >> 4], kHex[c & 15]};
  out.append(escape, sizeof escape);
}

}  // namespace

void AppendUrlBytes(std::string& out, std::string_view bytes) {
  static const TUrlEscapes kEscapes;
  size_t plain = 0;  // start of the run of bytes that stand as they are
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80 && !kEscapes.escape[c]) {
      ++i;
      continue;
    }
    out.append(bytes, plain, i - plain);
    if (c < 0x80) {
      AppendEscape(out, c);
      ++i;
    } else {
      // Every other character as the escapes of its UTF-8 bytes, which for the Cyrillic letters
      // are the pairs of D0 or D1 that clients send.
      char32_t u = 0;
      i += ReadCharacter(bytes, i, u);
      std::string utf8;
      AppendUtf8(utf8, u);
      for (char b : utf8) AppendEscape(out, static_cast<unsigned char>(b));
    }
    plain = i;
  }
  out.append(bytes, plain);
}

void AppendForeignEscaped(std::string& out, std::string_view address) {
  for (size_t i = 0; i < address.size();) {
    char32_t u = 0;
    const size_t len = ReadCharacter(address, i, u);
    if (len == 1) {
      out += address[i];
    } else {
      for (char b : address.substr(i + 1, len - 1))
        AppendEscape(out, static_cast<unsigned char>(b));
    }
    i += len;
  }
}

namespace {

// The folder with the separator LocalPathToUrl puts between it and a name.
std::string FolderHead(TServerState& Server, const std::string& Folder) {
  const std::string& root = Server.RC;
  const bool rootHasSeparator = !root.empty() && root.back() == '/';
  // The root "/" is listed as "/" and its entries as "/name", never "//name".
  return rootHasSeparator && Folder == root ? Folder : Folder + '/';
}

size_t RootStrip(TServerState& Server) {
  const std::string& root = Server.RC;
  const bool rootHasSeparator = !root.empty() && root.back() == '/';
  return rootHasSeparator ? root.size() - 1 : root.size();
}

}  // namespace

std::string LocalPathToUrl(TServerState& Server, const std::string& Folder,
                           const std::string& Name) {
  const std::string& root = Server.RC;
  const std::string full = FolderHead(Server, Folder) + Name;

  std::string rest;
  std::string result;
  if (full.find(root) != std::string::npos) {
    size_t strip = RootStrip(Server);
    rest = strip < full.size() ? full.substr(strip) : std::string();
  } else {
    result = "/ERROR/";
    rest = full;
    WriteLog(Server, "ERROR: " + full + " doesnt contain root path");
  }
  AppendUrlBytes(result, rest);
  return result;
}

bool FolderUrlPrefix(TServerState& Server, const std::string& Folder, std::string& prefix) {
  const std::string head = FolderHead(Server, Folder);
  // Found in the head, the root is found in every path that starts with it, and the part cut
  // off never reaches into the name.
  if (head.find(Server.RC) == std::string::npos) return false;
  prefix.clear();
  AppendUrlBytes(prefix, std::string_view(head).substr(RootStrip(Server)));
  return true;
}

std::string DecodeQueryText(const std::string& Text) {
  std::string result;
  const size_t n = Text.size();
  size_t i = 0;
  while (i < n) {
    char c = Text[i];
    if (c == '+') {
      result += ' ';
      ++i;
    } else if (c == '%' && i + 1 < n && Text[i + 1] == '%') {
      result += '%';
      i += 2;
    } else if (c == '%' && n - i - 1 >= 2) {
      int value = 0;
      result += ReadHexPair(Text, i + 1, value) ? static_cast<char>(value & 0xFF) : '%';
      i += 3;
    } else {
      result += c;
      ++i;
    }
  }
  return result;
}

bool IsAccessibleName(TServerState& Server, const std::string& LocalPath) {
  if (!Server.DPAF) return true;
  size_t cut = LocalPath.find_last_of("/:");
  size_t start = (cut == std::string::npos) ? 0 : cut + 1;
  return !(start < LocalPath.size() && LocalPath[start] == '.');
}

bool IsAccessiblePath(TServerState& Server, const std::string& Base, const std::string& Path) {
  if (!Server.DPAF) return true;
  size_t start = 0;
  // The base is the user's own choice and may itself lie in a dot folder (~/.www).
  if (!Base.empty() && Path.compare(0, Base.size(), Base) == 0 &&
      (Base.back() == '/' || Path.size() == Base.size() || Path[Base.size()] == '/'))
    start = Base.size();
  // A name begins at the start or after a '/' or ':'.
  bool nameStart = true;
  for (size_t i = start; i < Path.size(); ++i) {
    const char c = Path[i];
    if (nameStart && c == '.') return false;
    nameStart = c == '/' || c == ':';
  }
  return true;
}

bool IsProgramFileName(std::string_view Name) {
  // The log with its rotated copies, the hive with its temporary and set-aside forms.
  for (const std::string_view own : {std::string_view("brevoxa.log"), std::string_view("HKLM.reg")})
    if (Name.compare(0, own.size(), own) == 0 &&
        (Name.size() == own.size() || Name[own.size()] == '.'))
      return true;
  // A CGI run's standard input, error and output ("out%d.tmp").
  if (Name == "t_in.tmp" || Name == "t_err.tmp") return true;
  const size_t digits = Name.size() >= 8 ? Name.size() - 7 : 0;
  if (digits == 0 || Name.compare(0, 3, "out") != 0 || Name.compare(3 + digits, 4, ".tmp") != 0)
    return false;
  for (size_t i = 3; i < 3 + digits; ++i)
    if (Name[i] < '0' || Name[i] > '9') return false;
  return true;
}

bool IsProgramFile(TServerState& Server, const std::string& LocalPath) {
  const size_t slash = LocalPath.rfind('/');
  if (slash == std::string::npos ||
      !IsProgramFileName(std::string_view(LocalPath).substr(slash + 1)))
    return false;
  // Start-up made the program folder current; a relative name is only usable as that.
  const std::string& dir = Server.ProgramDir;
  const std::string own = dir.empty() || dir[0] != '/' ? std::string(".") : dir;
  // Compared as folders on disk, so "//", "/./" or a linked root cannot spell it otherwise.
  return SameDirectory(LocalPath.substr(0, slash + 1), own);
}
