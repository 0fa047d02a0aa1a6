// File system stand-ins. Every path is a cp1251 byte string with '/' separators; the
// conversion to the UTF-8 names on disk happens here. A path holding a NUL names nothing.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr uint32_t FILE_ATTRIBUTE_OFFLINE = 0x1000;
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

using THandle = int;
constexpr THandle INVALID_HANDLE_VALUE = -1;

// Folder bit from stat; hidden, system, temporary and offline from user.DOSATTRIB.
uint32_t GetFileAttributesA(const std::string& path);
bool FileOrFolderExists(const std::string& path);
bool FileExists(const std::string& path);       // exists and is not a folder
bool DirectoryExists(const std::string& path);  // exists and is a folder
// Both name one and the same folder (device and inode), however each path spells it.
bool SameDirectory(const std::string& a, const std::string& b);

struct TSearchRec {
  std::string Name;  // cp1251
  uint32_t Attr = 0;
  uint32_t SizeLow = 0;
  uint32_t SizeHigh = 0;
};
// Searches "folder/pattern" (wildcards in the last component only, matched without regard
// to case). Entries come in the order the file system returns them, "." and ".." included
// when they match. False when the folder cannot be read.
bool FindFiles(const std::string& folderAndPattern, std::vector<TSearchRec>& found);
// The names in a folder, in the order the file system returns them, without looking at any of
// them; false when the folder cannot be read.
bool ReadFolderNames(const std::string& folder, std::vector<std::string>& names);

// Read-only, close-on-exec; a folder cannot be opened. INVALID_HANDLE_VALUE on failure.
THandle OpenForReading(const std::string& path);
struct TOpenFileInfo {
  int64_t Size = 0;
  int64_t LastWriteTime = 0;  // seconds since 1970 UTC
};
// The same, also telling the size and time it saw at opening (no further call needed).
THandle OpenForReading(const std::string& path, TOpenFileInfo& info);
void CloseHandle(THandle handle);
// Writes all of size bytes; false when fewer went out.
bool WriteAllBytes(THandle handle, const char* data, size_t size);
int64_t GetFileSizeOfHandle(THandle handle);  // -1 on failure
// Last modification, seconds since 1970 UTC.
bool GetLastWriteTime(THandle handle, int64_t& unixTime);

// Appends data at the end of the file, creating it when missing; opened and closed per call so
// the file is whole whenever another program reads it. False when anything failed.
bool AppendToFile(const std::string& path, const std::string& data);

// The UTF-8 name on disk for a cp1251 path. False for a path holding a NUL: it names nothing.
bool OsPath(const std::string& path, std::string& utf8);

// Folder of the running executable, without a trailing '/'.
std::string ProgramFolder();
bool SetCurrentDir(const std::string& path);
std::string ExtractFilePath(const std::string& path);  // up to and including the last '/'
