// HKEY_LOCAL_MACHINE kept in a REGEDIT4 text file ("HKLM.reg" in the program folder).
// Key paths are relative to the root and use '\' as in the registry; names compare without
// regard to ASCII case. Texts handed in and out are cp1251; the file is UTF-8.
// Unknown keys, values and types survive a write. A write replaces the whole file atomically.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
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
  static bool Parse(const std::string& utf8Text, THive& hive);
  std::string Format() const;  // REGEDIT4 text, UTF-8
  TRegKey* FindKey(const std::string& path);
  TRegKey& CreateKey(const std::string& path);  // with every missing parent
};

// The access object of the settings store: one current key at a time, as in the registry API.
class TRegistry {
 public:
  explicit TRegistry(std::string hiveFile);

  // True when the key exists and the hive can be read.
  bool KeyExists(const std::string& key);
  bool OpenKeyReadOnly(const std::string& key);
  // Creates missing keys; fails when the hive cannot be written.
  bool OpenKey(const std::string& key, bool canCreate);
  // Writes the hive back when the current key was changed. False when that write failed.
  bool CloseKey();

  bool ValueExists(const std::string& name);
  // False on a wrong type, a wrong size or a missing value.
  bool ReadString(const std::string& name, std::string& value);
  bool ReadInteger(const std::string& name, int32_t& value);
  bool WriteString(const std::string& name, const std::string& value);
  bool WriteInteger(const std::string& name, int32_t value);
  bool DeleteValue(const std::string& name);

  // Deletes the temporary hives a save left behind when the program was killed in the middle
  // of it; nothing but names of that exact form is touched.
  void RemoveOrphanedTemporaries();

  const std::string& HiveFile() const { return FHiveFile; }
  // True after the last look at the file found it present but unreadable or not a registry
  // export: "no such key" then means "cannot tell", a read failure for the settings.
  bool HiveUnreadable() const { return FHiveUnreadable; }

 private:
  bool LoadHive();
  bool FlushHive();
  std::string FHiveFile;
  THive FHive;
  std::string FCurrentKey;
  bool FOpen = false;
  bool FWritable = false;
  bool FDirty = false;
  bool FHiveUnreadable = false;
};
