// HKEY_LOCAL_MACHINE kept in a REGEDIT4 text file ("HKLM.reg" in the program folder).
// Key paths are relative to the root and use '\' as in the registry; names compare without
// regard to ASCII case. Texts handed in and out are cp1251; the file is UTF-8.
// Unknown keys, values and types survive a write. A write replaces the whole file atomically.
#pragma once
#include <cstdint>
#include <string>

#include "platform/RegFile.h"

// The access object of the settings store: one current key at a time, as in the registry API.
class TRegistry {
 public:
  explicit TRegistry(std::string hiveFile);

  // True when the key exists and the hive can be read.
  [[nodiscard]] bool KeyExists(const std::string& key);
  [[nodiscard]] bool OpenKeyReadOnly(const std::string& key);
  // Creates missing keys; fails when the hive cannot be written.
  [[nodiscard]] bool OpenKey(const std::string& key, bool canCreate);
  // Writes the hive back when the current key was changed. False when that write failed.
  bool CloseKey();

  [[nodiscard]] bool ValueExists(const std::string& name);
  // False on a wrong type, a wrong size or a missing value.
  [[nodiscard]] bool ReadString(const std::string& name, std::string& value);
  [[nodiscard]] bool ReadInteger(const std::string& name, int32_t& value);
  [[nodiscard]] bool WriteString(const std::string& name, const std::string& value);
  [[nodiscard]] bool WriteInteger(const std::string& name, int32_t value);
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
