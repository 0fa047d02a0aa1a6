// The REGEDIT4 text of the hive: parsing it into keys and values and writing them back, without
// touching any file.
#include "platform/RegFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Codec.h"

namespace {

constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";
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

}  // namespace

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

namespace {

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
  // A file of nothing but blanks holds no export; a hand-written one may well lack the first
  // line, and the keys below say what it is.
  if (li >= lines.size()) return false;
  std::string_view header = TrimLeft(lines[li]);
  if (header == "REGEDIT4" || header == "Windows Registry Editor Version 5.00") ++li;
  TRegKey* current = nullptr;
  for (; li < lines.size(); ++li) {
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
