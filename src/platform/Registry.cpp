// The one-key-at-a-time access object over the hive file: loading, the atomic replace, and
// clearing what an interrupted save left behind.
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
#include "platform/UniqueFd.h"

namespace {

// mkstemp's pattern for the replacement hive written beside the real one; distinct enough
// that clearing orphans of it never takes a file of the user's.
constexpr const char* kTempSuffix = ".tmpXXXXXX";

}  // namespace

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
  TFd fd(open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.Valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return true;  // no hive yet: an empty registry
    FHiveUnreadable = true;
    return false;
  }
  struct stat st;
  std::string text;
  bool ok = fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode);
  char buf[8192];
  while (ok) {
    ssize_t n = read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  fd.Reset();
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
  TFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.Valid()) return false;
  struct stat old;
  fchmod(fd.Get(),
         stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 07777) : 0644);
  bool ok = WriteAllBytes(fd.Get(), text.data(), text.size());
  if (ok && fsync(fd.Get()) != 0) ok = false;
  if (!fd.Close()) ok = false;
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
  TFd dirFd(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.Valid()) fsync(dirFd.Get());  // makes the rename itself survive a crash
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
  TFd dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd.Valid()) return;
  DIR* dir = fdopendir(dirFd.Get());
  if (!dir) return;
  const int dirHandle = dirFd.Release();  // closedir closes it
  while (struct dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name.size() != stem.size() + randomLen || name.substr(0, stem.size()) != stem) continue;
    bool random = true;  // mkstemp draws from letters and digits only
    for (char c : name.substr(stem.size()))
      random =
          random && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
    struct stat st;
    if (random && fstatat(dirHandle, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode))
      unlinkat(dirHandle, entry->d_name, 0);
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
