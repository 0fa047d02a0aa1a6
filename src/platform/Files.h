// File system stand-ins. Every path is a cp1251 byte string with '/' separators; the
// conversion to the UTF-8 names on disk happens here. A path holding a NUL names nothing.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct stat;

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
// The same from a stat already made of the UTF-8 path.
uint32_t AttributesOf(const struct stat& st, const std::string& utf8Path);
// The same for a path asked for as such: also refused when its folder lies on a pseudo file
// system (see SetProgramFiles).
uint32_t PathAttributesOf(const struct stat& st, const std::string& utf8Path);
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

// One entry of a folder as the index search and the listing see it.
struct TFolderEntry {
  std::string Name;        // cp1251
  std::string OsName;      // as on disk
  unsigned char Type = 0;  // the folder's own word on what it is (d_type)
  bool Exact = true;       // Name spells OsName again when converted back
  bool Described = false;  // Reachable, Attr and Size have been looked at
  bool Reachable = false;  // it exists, and is no link to nothing
  uint32_t Attr = 0;
  uint64_t Size = 0;  // 0 for a folder
};

// A folder's entries, in the order the file system returns them, "." and ".." included.
struct TFolderFacts {
  bool Readable = false;
  bool Described = false;  // every entry has been looked at
  // An entry whose type the folder does not tell, or a link: what it stands for can change
  // without the folder changing.
  bool HasLinks = false;
  std::string OsPath;
  std::vector<TFolderEntry> Entries;
};
// One pass over the folder, names and types only; false when it cannot be read.
bool ReadFolder(const std::string& folder, TFolderFacts& out);
// Attributes and sizes of every entry, each looked at once.
void DescribeFolder(TFolderFacts& folder);
// Whether an entry of folderPath can be opened or entered, looking at it only when its type
// does not tell.
bool FolderEntryReachable(const std::string& folderPath, const TFolderEntry& entry);

// Served paths are refused, as if missing, when they are no regular file or folder (a device, a
// FIFO, a socket), lie on one of the kernel's pseudo file systems (proc, sys and their kin) or in
// a folder of one, or, once opened, turn out to be one of the program's own files or a file
// without a name (a temporary file held open); a refused folder entry is unreachable.
// The program's own files (log, hive, ...), compared by device and inode at every open, so that
// no other name for them (/proc/self/fd/N, a link) serves them.
void SetProgramFiles(std::vector<std::string> paths);
// After an open failed: whether there was nothing there to serve (missing, or refused as above),
// as opposed to a file that could not be opened.
bool LastOpenFoundNothing();
// Called when an open fails for lack of descriptors, before it is tried once more; true when it
// freed some. One handler: the transport's, which closes idle connections.
void SetDescriptorShortageHandler(std::function<bool()> handler);
// Whether the failure just seen (errno) was a lack of descriptors, and the handler freed some.
bool FreeDescriptorsAfterFailure();

// Read-only, close-on-exec; a folder cannot be opened. INVALID_HANDLE_VALUE on failure.
THandle OpenForReading(const std::string& path);
struct TOpenFileInfo {
  int64_t Size = 0;
  int64_t LastWriteTime = 0;  // seconds since 1970 UTC
};
// The same, also telling the size and time it saw at opening (no further call needed). With
// followLink false a path whose last name is a link fails with errno ELOOP.
THandle OpenForReading(const std::string& path, TOpenFileInfo& info, bool followLink = true);
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
