// The registry hive kept as a REGEDIT4 text file, and the one-key-at-a-time access object over it.
#include "platform/Registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Codec.h"
#include "platform/Files.h"

namespace {

constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";
// mkstemp's pattern for the replacement hive written beside the real one; distinct enough
// that clearing orphans of it never takes a file of the user's.
constexpr const char* kTempSuffix = ".tmpXXXXXX";
constexpr size_t kHexBytesPerLine = 25;  // keeps exported lines near 80 columns, as regedit does

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool AsciiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && AsciiSameText(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// "a\b\" and "\a\b" name the same key as "a\b".
std::string_view TrimSeparators(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return path;
}

// Parses hex digits filling the whole of text into value; false on anything else or overflow.
bool ParseHex32(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 8) return false;
  value = 0;
  for (char c : text) {
    int d = HexDigitValue(c);
    if (d < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(d);
  }
  return true;
}

// A quoted string starting at s[0] == '"' with \\ and \" escapes. Returns the length consumed.
size_t ParseQuoted(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') return i + 1;
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out += s[++i];
    } else {
      out += c;  // a lone backslash is kept as the character it is
    }
  }
  return 0;
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

void AppendUtf16AsUtf8(std::string& out, uint32_t u) {
  if (u < 0x80) {
    out += static_cast<char>(u);
  } else if (u < 0x800) {
    out += static_cast<char>(0xC0 | (u >> 6));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else if (u < 0x10000) {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (u >> 18));
    out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  }
}

// REG_EXPAND_SZ arrives as raw bytes: UTF-16LE when regedit 5 wrote it (even length, ending in a
// 16-bit NUL), otherwise the 8-bit text of a REGEDIT4 export, which in this file is UTF-8.
std::string ExpandSzToCp1251(const std::string& data) {
  std::string utf8;
  if (data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 1] == 0 &&
      data[data.size() - 2] == 0) {
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      uint32_t u =
          static_cast<unsigned char>(data[i]) | (static_cast<unsigned char>(data[i + 1]) << 8);
      if (u == 0) break;
      if (u >= 0xD800 && u <= 0xDBFF && i + 3 < data.size()) {
        uint32_t lo = static_cast<unsigned char>(data[i + 2]) |
                      (static_cast<unsigned char>(data[i + 3]) << 8);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          AppendUtf16AsUtf8(utf8, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
          i += 2;
          continue;
        }
      }
      if (u >= 0xD800 && u <= 0xDFFF) u = '?';
      AppendUtf16AsUtf8(utf8, u);
    }
  } else {
    utf8 = data.substr(0, data.find('\0'));
  }
  return Utf8ToCp1251(utf8);
}

std::string FormatHexData(const std::string& prefix, const std::string& data) {
  std::string out = prefix;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(data[i]));
    out += buf;
    if (i + 1 < data.size()) {
      out += ',';
      if ((i + 1) % kHexBytesPerLine == 0) out += "\\\n  ";
    }
  }
  return out;
}

std::string FormatValue(const TRegValue& v) {
  std::string line = v.Name.empty() ? "@" : Quote(v.Name);
  line += '=';
  if (v.Type == REG_SZ) {
    std::string text = (!v.Utf8Text.empty() && Utf8ToCp1251(v.Utf8Text) == v.Data)
                           ? v.Utf8Text
                           : Cp1251ToUtf8(v.Data);
    // A line break or a NUL cannot stand inside the quoted form; the hex form carries it whole.
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
      return line + FormatHexData("hex(1):", text + '\0');
    return line + Quote(text);
  }
  if (v.Type == REG_DWORD && v.Data.size() == 4) {
    uint32_t d = 0;
    for (int i = 3; i >= 0; --i)
      d = (d << 8) | static_cast<unsigned char>(v.Data[static_cast<size_t>(i)]);
    char buf[24];
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    return line + buf;
  }
  if (v.Type == REG_BINARY) return line + FormatHexData("hex:", v.Data);
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", v.Type);
  return line + FormatHexData(prefix, v.Data);
}

// The form a name is indexed by: names compare without regard to ASCII case.
std::string FoldedName(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

// Parses the data after '=' (possibly continued on the following lines) into value.
bool ParseData(const std::vector<std::string_view>& lines, size_t& li, std::string_view data,
               TRegValue& value) {
  if (!data.empty() && data.front() == '"') {
    std::string text;
    size_t used = ParseQuoted(data, text);
    if (used == 0 || !TrimLeft(data.substr(used)).empty()) return false;
    value.Type = REG_SZ;
    value.Utf8Text = text;
    value.Data = Utf8ToCp1251(text);
    return true;
  }
  if (StartsWithNoCase(data, "dword:")) {
    uint32_t d;
    if (!ParseHex32(TrimRight(data.substr(6)), d)) return false;
    value.Type = REG_DWORD;
    value.Data.assign({static_cast<char>(d & 0xFF), static_cast<char>((d >> 8) & 0xFF),
                       static_cast<char>((d >> 16) & 0xFF), static_cast<char>((d >> 24) & 0xFF)});
    return true;
  }
  if (!StartsWithNoCase(data, "hex")) return false;
  data.remove_prefix(3);
  uint32_t type = REG_BINARY;
  if (!data.empty() && data.front() == '(') {
    size_t close = data.find(')');
    if (close == std::string_view::npos || !ParseHex32(data.substr(1, close - 1), type))
      return false;
    data.remove_prefix(close + 1);
  }
  if (data.empty() || data.front() != ':') return false;
  data.remove_prefix(1);
  std::string bytes;
  for (;;) {
    data = TrimRight(data);
    bool more = !data.empty() && data.back() == '\\';
    if (more) data.remove_suffix(1);
    size_t pos = 0;
    while (pos < data.size()) {
      std::string_view rest = TrimLeft(data.substr(pos));
      pos = data.size() - rest.size();
      if (rest.empty()) break;
      size_t comma = rest.find(',');
      std::string_view item = TrimRight(rest.substr(0, comma));
      if (item.size() != 2 || HexDigitValue(item[0]) < 0 || HexDigitValue(item[1]) < 0)
        return false;
      bytes += static_cast<char>(HexDigitValue(item[0]) * 16 + HexDigitValue(item[1]));
      pos = comma == std::string_view::npos ? data.size() : pos + comma + 1;
    }
    if (!more) break;
    if (++li >= lines.size()) return false;
    data = TrimLeft(lines[li]);
  }
  value.Type = type;
  if (type == REG_SZ) {
    // Text written in the hex form because it held a line break: the file's own bytes, one NUL.
    std::string text = bytes.substr(0, bytes.find('\0'));
    value.Utf8Text = text;
    value.Data = Utf8ToCp1251(text);
  } else {
    value.Data = std::move(bytes);
  }
  return true;
}

}  // namespace

bool THive::Parse(const std::string& utf8Text, THive& hive) {
  hive.Keys.clear();
  hive.KeyIndex.clear();
  std::string_view text(utf8Text);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    lines.push_back(TrimRight(text.substr(0, nl)));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  size_t li = 0;
  while (li < lines.size() && TrimLeft(lines[li]).empty()) ++li;
  if (li >= lines.size()) return false;
  std::string_view header = TrimLeft(lines[li]);
  if (header != "REGEDIT4" && header != "Windows Registry Editor Version 5.00") return false;
  TRegKey* current = nullptr;
  for (++li; li < lines.size(); ++li) {
    std::string_view line = TrimLeft(lines[li]);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return false;
      std::string_view path = line.substr(1, line.size() - 2);
      if (!StartsWithNoCase(path, kRootName)) return false;  // another root, or a deletion
      path.remove_prefix(std::strlen(kRootName));
      if (!path.empty() && path.front() != '\\') return false;
      current = &hive.CreateKey(std::string(TrimSeparators(path)));
      continue;
    }
    if (!current) return false;
    TRegValue value;
    size_t nameEnd;
    if (line.front() == '@') {
      nameEnd = 1;
    } else if (line.front() == '"') {
      nameEnd = ParseQuoted(line, value.Name);
      if (nameEnd == 0) return false;
    } else {
      return false;
    }
    std::string_view rest = TrimLeft(line.substr(nameEnd));
    if (rest.empty() || rest.front() != '=') return false;
    if (!ParseData(lines, li, TrimLeft(rest.substr(1)), value)) return false;
    current->Set(std::move(value));
  }
  return true;
}

std::string THive::Format() const {
  std::string out = "REGEDIT4\n\n";
  for (const TRegKey& key : Keys) {
    out += '[';
    out += kRootName;
    if (!key.Path.empty()) out += '\\' + key.Path;
    out += "]\n";
    for (const TRegValue& v : key.Values) out += FormatValue(v) + '\n';
    out += '\n';
  }
  return out;
}

TRegKey* THive::FindKey(const std::string& path) {
  if (KeyIndex.size() != Keys.size()) {
    KeyIndex.clear();
    for (size_t i = 0; i < Keys.size(); ++i) KeyIndex.emplace(FoldedName(Keys[i].Path), i);
  }
  auto it = KeyIndex.find(FoldedName(TrimSeparators(path)));
  return it == KeyIndex.end() ? nullptr : &Keys[it->second];
}

TRegValue* TRegKey::Find(std::string_view name) {
  if (Index.size() != Values.size()) {
    Index.clear();
    for (size_t i = 0; i < Values.size(); ++i) Index.emplace(FoldedName(Values[i].Name), i);
  }
  auto it = Index.find(FoldedName(name));
  return it == Index.end() ? nullptr : &Values[it->second];
}

void TRegKey::Set(TRegValue value) {
  if (TRegValue* old = Find(value.Name)) {
    *old = std::move(value);
    return;
  }
  Index.emplace(FoldedName(value.Name), Values.size());
  Values.push_back(std::move(value));
}

bool TRegKey::Erase(std::string_view name) {
  TRegValue* v = Find(name);
  if (!v) return false;
  Values.erase(Values.begin() + (v - Values.data()));
  Index.clear();  // positions behind it moved; rebuilt at the next look-up
  return true;
}

TRegKey& THive::CreateKey(const std::string& path) {
  std::string_view full = TrimSeparators(path);
  // Parents first, so that the file lists them as regedit would and a parent never goes missing.
  size_t pos = 0;
  TRegKey* key = nullptr;
  for (;;) {
    size_t sep = full.find('\\', pos);
    std::string prefix(full.substr(0, sep));
    key = FindKey(prefix);
    if (!key) {
      Keys.push_back(TRegKey{prefix, {}, {}});
      KeyIndex.emplace(FoldedName(prefix), Keys.size() - 1);
      key = &Keys.back();
    }
    if (sep == std::string_view::npos) break;
    pos = sep + 1;
  }
  return *key;
}

TRegistry::TRegistry(std::string hiveFile) : FHiveFile(std::move(hiveFile)) {}

bool TRegistry::LoadHive() {
  // While a key is open its pending changes live in memory only; reading the file again then
  // would drop them.
  if (FOpen) return !FHiveUnreadable;
  FHive.Keys.clear();
  FHive.KeyIndex.clear();
  FHiveUnreadable = false;
  std::string utf8Path;
  if (!OsPath(FHiveFile, utf8Path)) {
    FHiveUnreadable = true;
    return false;
  }
  int fd = open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;  // no hive yet: an empty registry
    FHiveUnreadable = true;
    return false;
  }
  struct stat st;
  std::string text;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buf[8192];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (!ok || !THive::Parse(text, FHive)) {
    FHive.Keys.clear();
    FHive.KeyIndex.clear();
    FHiveUnreadable = true;
    return false;
  }
  return true;
}

bool TRegistry::FlushHive() {
  std::string target;
  if (!OsPath(FHiveFile, target)) return false;
  std::string text = FHive.Format();
  std::string temp = target + kTempSuffix;
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat old;
  fchmod(fd,
         stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 07777) : 0644);
  bool ok = WriteAllBytes(fd, text.data(), text.size());
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  // The unreadable hive is set aside only once its replacement is safely on disk; it must not be
  // overwritten, since it may hold settings someone wants back.
  if (ok && FHiveUnreadable && access(target.c_str(), F_OK) == 0 &&
      rename(target.c_str(), (target + ".bad").c_str()) != 0)
    ok = false;
  if (ok && rename(temp.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  FHiveUnreadable = false;
  std::string folder = target.substr(0, target.rfind('/') + 1);
  int dirFd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);  // makes the rename itself survive a crash
    close(dirFd);
  }
  return true;
}

void TRegistry::RemoveOrphanedTemporaries() {
  std::string target;
  if (!OsPath(FHiveFile, target)) return;
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const std::string_view suffix(kTempSuffix);
  const size_t randomLen = 6;  // the X's mkstemp replaces
  const std::string stem = (slash == std::string::npos ? target : target.substr(slash + 1)) +
                           std::string(suffix.substr(0, suffix.size() - randomLen));
  int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return;
  DIR* dir = fdopendir(dirFd);
  if (!dir) {
    close(dirFd);
    return;
  }
  while (struct dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name.size() != stem.size() + randomLen || name.substr(0, stem.size()) != stem) continue;
    bool random = true;  // mkstemp draws from letters and digits only
    for (char c : name.substr(stem.size()))
      random =
          random && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
    struct stat st;
    if (random && fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode))
      unlinkat(dirFd, entry->d_name, 0);
  }
  closedir(dir);
}

bool TRegistry::KeyExists(const std::string& key) {
  if (!LoadHive()) return false;
  return FHive.FindKey(Cp1251ToUtf8(key)) != nullptr;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
  CloseKey();
  if (!LoadHive() || !FHive.FindKey(Cp1251ToUtf8(key))) return false;
  FCurrentKey = Cp1251ToUtf8(key);
  FOpen = true;
  FWritable = false;
  FDirty = false;
  return true;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  CloseKey();
  // An unreadable hive does not stop a save: the save starts a new hive and keeps the old file.
  LoadHive();
  std::string target;
  if (!OsPath(FHiveFile, target)) return false;
  std::string folder = target.substr(0, target.rfind('/') + 1);
  if (access(folder.empty() ? "." : folder.c_str(), W_OK) != 0) return false;
  if (access(target.c_str(), F_OK) == 0 && access(target.c_str(), W_OK) != 0) return false;
  std::string path = Cp1251ToUtf8(key);
  bool created = false;
  if (!FHive.FindKey(path)) {
    if (!canCreate) return false;
    FHive.CreateKey(path);
    created = true;
  }
  FCurrentKey = path;
  FOpen = true;
  FWritable = true;
  FDirty = created;
  return true;
}

bool TRegistry::CloseKey() {
  bool ok = true;
  if (FOpen && FDirty) ok = FlushHive();
  FOpen = false;
  FWritable = false;
  FDirty = false;
  FCurrentKey.clear();
  return ok;
}

namespace {

TRegValue* FindValue(TRegKey* key, const std::string& cp1251Name) {
  return key ? key->Find(Cp1251ToUtf8(cp1251Name)) : nullptr;
}

}  // namespace

bool TRegistry::ValueExists(const std::string& name) {
  return FOpen && FindValue(FHive.FindKey(FCurrentKey), name) != nullptr;
}

bool TRegistry::ReadString(const std::string& name, std::string& value) {
  if (!FOpen) return false;
  const TRegValue* v = FindValue(FHive.FindKey(FCurrentKey), name);
  if (!v) return false;
  if (v->Type == REG_SZ) {
    value = v->Data;
    return true;
  }
  if (v->Type == REG_EXPAND_SZ) {
    value = ExpandSzToCp1251(v->Data);
    return true;
  }
  return false;
}

bool TRegistry::ReadInteger(const std::string& name, int32_t& value) {
  if (!FOpen) return false;
  const TRegValue* v = FindValue(FHive.FindKey(FCurrentKey), name);
  // Shorter data fits the four bytes asked for and reads as the number it holds; only longer
  // data fails.
  if (!v || v->Type != REG_DWORD || v->Data.size() > 4) return false;
  uint32_t d = 0;
  for (size_t i = v->Data.size(); i-- > 0;) d = (d << 8) | static_cast<unsigned char>(v->Data[i]);
  value = static_cast<int32_t>(d);
  return true;
}

bool TRegistry::WriteString(const std::string& name, const std::string& value) {
  TRegKey* key = FOpen && FWritable ? FHive.FindKey(FCurrentKey) : nullptr;
  if (!key) return false;
  TRegValue* old = FindValue(key, name);
  if (old && old->Type == REG_SZ && old->Data == value) return true;  // nothing to rewrite
  TRegValue v;
  v.Name = old ? old->Name : Cp1251ToUtf8(name);
  v.Type = REG_SZ;
  v.Data = value;
  v.Utf8Text = Cp1251ToUtf8(value);
  key->Set(std::move(v));
  FDirty = true;
  return true;
}

bool TRegistry::WriteInteger(const std::string& name, int32_t value) {
  TRegKey* key = FOpen && FWritable ? FHive.FindKey(FCurrentKey) : nullptr;
  if (!key) return false;
  auto d = static_cast<uint32_t>(value);
  std::string data{static_cast<char>(d & 0xFF), static_cast<char>((d >> 8) & 0xFF),
                   static_cast<char>((d >> 16) & 0xFF), static_cast<char>((d >> 24) & 0xFF)};
  TRegValue* old = FindValue(key, name);
  if (old && old->Type == REG_DWORD && old->Data == data) return true;
  TRegValue v;
  v.Name = old ? old->Name : Cp1251ToUtf8(name);
  v.Type = REG_DWORD;
  v.Data = std::move(data);
  key->Set(std::move(v));
  FDirty = true;
  return true;
}

bool TRegistry::DeleteValue(const std::string& name) {
  TRegKey* key = FOpen && FWritable ? FHive.FindKey(FCurrentKey) : nullptr;
  if (!key) return false;
  if (!key->Erase(Cp1251ToUtf8(name))) return false;
  FDirty = true;
  return true;
}
