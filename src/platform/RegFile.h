// The REGEDIT4 text of HKEY_LOCAL_MACHINE: keys and values parsed from it and written back to it.
// Key paths are relative to the root and use '\' as in the registry; names compare without
// regard to ASCII case. Unknown keys, values and types survive a round trip.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

enum TRegDataType : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
};

struct TRegValue {
  std::string Name;  // "" is the key's default value (@); UTF-8 as in the file
  uint32_t Type = REG_NONE;
  // REG_SZ: cp1251 text without the NUL; REG_DWORD: 4 bytes LE; others (REG_EXPAND_SZ too)
  // the raw bytes of the file's hex form.
  std::string Data;
  // REG_SZ as the file spelled it, so that characters cp1251 cannot hold survive a rewrite of a
  // value nobody changed; ignored once Data no longer matches it.
  std::string Utf8Text;
};

struct TRegKey {
  std::string Path;  // as written in the file, without the root
  std::vector<TRegValue> Values;
  // Position in Values by case-folded name, so that a key with many values is read and written
  // in linear time; rebuilt whenever it no longer covers Values.
  std::unordered_map<std::string, size_t> Index;
  TRegValue* Find(std::string_view name);
  void Set(TRegValue value);  // replaces the value of the same name, or appends
  bool Erase(std::string_view name);
};

// The parsed hive. Parse fails on text that is not a registry export.
struct THive {
  std::vector<TRegKey> Keys;
  std::unordered_map<std::string, size_t> KeyIndex;  // position in Keys by case-folded path
  [[nodiscard]] static bool Parse(const std::string& utf8Text, THive& hive);
  std::string Format() const;  // REGEDIT4 text, UTF-8
  TRegKey* FindKey(const std::string& path);
  TRegKey& CreateKey(const std::string& path);  // with every missing parent
};

// REG_EXPAND_SZ data as cp1251 text: UTF-16LE when regedit 5 wrote it (even length, ending in a
// 16-bit NUL), otherwise the 8-bit text of a REGEDIT4 export, which in the file is UTF-8.
std::string ExpandSzToCp1251(const std::string& data);
