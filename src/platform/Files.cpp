// File system stand-ins: cp1251 paths in, UTF-8 names on disk, Windows-style attributes out.
#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "platform/Codec.h"
#include "platform/UniqueFd.h"

namespace {

// The bits a Linux file can carry in user.DOSATTRIB; archive and read-only there are
// Samba's bookkeeping and say nothing about visibility, so they are not taken over.
constexpr uint32_t kDosAttribBits = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;

// Samba writes a text "0x" + hex; newer versions add a binary blob after it. Only the leading
// text counts; a value that does not start that way carries no bits.
uint32_t DosAttribOf(const std::string& utf8Path) {
  char buf[64];
  ssize_t n = getxattr(utf8Path.c_str(), "user.DOSATTRIB", buf, sizeof buf);
  if (n <= 0) return 0;
  size_t i = 0, len = static_cast<size_t>(n);
  if (i < len && buf[i] == '"') ++i;  // a value stored with its quotes
  if (len - i < 3 || buf[i] != '0' || (buf[i + 1] != 'x' && buf[i + 1] != 'X')) return 0;
  i += 2;
  uint32_t value = 0;
  size_t digits = 0;
  for (; i < len && digits < 8; ++i, ++digits) {
    const int d = HexDigitValue(buf[i]);
    if (d < 0) break;
    value = (value << 4) | static_cast<uint32_t>(d);
  }
  return digits == 0 ? 0 : (value & kDosAttribBits);
}

// The kernel's own file systems: what they hold describes the machine and the processes on it
// (the server's environment, its open descriptors), never a site.
bool PseudoFileSystem(const struct statfs& fs) {
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x9fa0:      // proc
    case 0x62656572:  // sysfs
    case 0x27e0eb:    // cgroup
    case 0x63677270:  // cgroup2
    case 0x64626720:  // debugfs
    case 0x74726163:  // tracefs
    case 0x73636673:  // securityfs
    case 0xcafe4a11:  // bpf
    case 0x6165676c:  // pstore
    case 0xde5e81e4:  // efivarfs
    case 0x62656570:  // configfs
    case 0x65735543:  // fusectl
    case 0x42494e4d:  // binfmt_misc
    case 0x6e736673:  // nsfs
    case 0x19800202:  // mqueue
    case 0x1cd1:      // devpts
      return true;
    default:
      return false;
  }
}

bool OnPseudoFileSystem(const char* utf8Path) {
  struct statfs fs;
  return statfs(utf8Path, &fs) == 0 && PseudoFileSystem(fs);
}

// The folder holding the path's last name: "/proc/self/fd/5" names the log itself, on its own
// disk, but it is found in a folder of proc.
bool InPseudoFolder(const std::string& utf8Path) {
  const size_t slash = utf8Path.rfind('/');
  if (slash == std::string::npos) return false;
  return OnPseudoFileSystem(slash == 0 ? "/" : utf8Path.substr(0, slash).c_str());
}

std::vector<std::string>& ProgramFiles() {
  static std::vector<std::string> files;  // UTF-8
  return files;
}

bool IsProgramFileIdentity(const struct stat& st) {
  for (const std::string& name : ProgramFiles()) {
    struct stat own;
    if (stat(name.c_str(), &own) == 0 && own.st_dev == st.st_dev && own.st_ino == st.st_ino)
      return true;
  }
  return false;
}

std::function<bool()>& ShortageHandler() {
  static std::function<bool()> handler;
  return handler;
}

bool StatPath(const std::string& path, std::string& utf8, struct stat& st) {
  if (!OsPath(path, utf8)) return false;
  return stat(utf8.c_str(), &st) == 0;
}

}  // namespace

// A plain file reports the archive bit, as a freshly written file does on Windows, so that an
// attribute word of 0 never appears and cannot be mistaken for anything.
uint32_t AttributesOf(const struct stat& st, const std::string& utf8Path) {
  if ((!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) || OnPseudoFileSystem(utf8Path.c_str()))
    return INVALID_FILE_ATTRIBUTES;
  uint32_t attr = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  return attr | DosAttribOf(utf8Path);
}

bool OsPath(const std::string& path, std::string& utf8) {
  if (path.find('\0') != std::string::npos) return false;
  utf8 = Cp1251ToUtf8(path);
  return true;
}

uint32_t GetFileAttributesA(const std::string& path) {
  std::string utf8;
  struct stat st;
  if (!StatPath(path, utf8, st) || InPseudoFolder(utf8)) return INVALID_FILE_ATTRIBUTES;
  return AttributesOf(st, utf8);
}

uint32_t PathAttributesOf(const struct stat& st, const std::string& utf8Path) {
  return InPseudoFolder(utf8Path) ? INVALID_FILE_ATTRIBUTES : AttributesOf(st, utf8Path);
}

void SetProgramFiles(std::vector<std::string> paths) {
  for (std::string& path : paths) {
    std::string utf8;
    if (OsPath(path, utf8)) path = std::move(utf8);
  }
  ProgramFiles() = std::move(paths);
}

bool LastOpenFoundNothing() { return errno == ENOENT || errno == ENOTDIR; }

void SetDescriptorShortageHandler(std::function<bool()> handler) {
  ShortageHandler() = std::move(handler);
}

bool FreeDescriptorsAfterFailure() {
  if (errno != EMFILE && errno != ENFILE) return false;
  const int err = errno;
  const bool freed = ShortageHandler() && ShortageHandler()();
  errno = err;
  return freed;
}

bool FileOrFolderExists(const std::string& path) {
  std::string utf8;
  struct stat st;
  return StatPath(path, utf8, st);
}

bool FileExists(const std::string& path) {
  std::string utf8;
  struct stat st;
  return StatPath(path, utf8, st) && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  std::string utf8;
  struct stat st;
  return StatPath(path, utf8, st) && S_ISDIR(st.st_mode);
}

bool SameDirectory(const std::string& a, const std::string& b) {
  std::string utf8;
  struct stat sa, sb;
  return StatPath(a, utf8, sa) && StatPath(b, utf8, sb) && S_ISDIR(sa.st_mode) &&
         S_ISDIR(sb.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool ReadFolder(const std::string& folder, TFolderFacts& out) {
  out = TFolderFacts();
  if (!OsPath(folder, out.OsPath)) return false;
  DIR* dir = opendir(out.OsPath.c_str());
  if (!dir && FreeDescriptorsAfterFailure()) dir = opendir(out.OsPath.c_str());
  if (!dir) return false;
  while (struct dirent* entry = readdir(dir)) {
    TFolderEntry e;
    e.OsName = entry->d_name;
    e.Name = Utf8ToCp1251(e.OsName);
    // A name with a character the code page cannot hold comes back changed; that name is then
    // looked up as spelled, like any path a request names.
    e.Exact = e.Name == e.OsName || Cp1251ToUtf8(e.Name) == e.OsName;
    e.Type = entry->d_type;
    if (e.Type == DT_LNK || e.Type == DT_UNKNOWN) out.HasLinks = true;
    out.Entries.push_back(std::move(e));
  }
  closedir(dir);
  out.Readable = true;
  return true;
}

namespace {

// path holds the folder's prefix; only the name changes from entry to entry.
void DescribeEntry(TFolderEntry& e, std::string& path, size_t prefixLength) {
  if (e.Described) return;
  e.Described = true;
  struct stat st;
  path.resize(prefixLength);
  path += e.OsName;
  // A folder entry that is no link needs no look: it exists, and a folder has no size. An
  // entry that vanished meanwhile, or a link to nothing, cannot be opened either.
  if (e.Type == DT_DIR)
    st.st_mode = S_IFDIR;
  else if (stat(path.c_str(), &st) != 0)
    return;
  // Devices, FIFOs, sockets and the kernel's file systems (a mount of proc) are left out.
  e.Attr = AttributesOf(st, path);
  if (e.Attr == INVALID_FILE_ATTRIBUTES) return;
  e.Reachable = true;
  e.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
}

std::string EntryPrefix(const TFolderFacts& folder) {
  return folder.OsPath == "/" ? "/" : folder.OsPath + "/";
}

}  // namespace

void DescribeFolder(TFolderFacts& folder) {
  if (folder.Described) return;
  std::string path = EntryPrefix(folder);
  const size_t prefixLength = path.size();
  for (TFolderEntry& e : folder.Entries) DescribeEntry(e, path, prefixLength);
  folder.Described = true;
}

bool FolderEntryReachable(const std::string& folderPath, const TFolderEntry& entry) {
  if (entry.Described) return entry.Reachable;
  if (entry.Type != DT_REG && entry.Type != DT_DIR && entry.Type != DT_LNK &&
      entry.Type != DT_UNKNOWN)
    return false;  // a device, FIFO or socket is never served
  const bool typeTells = entry.Type != DT_LNK && entry.Type != DT_UNKNOWN;
  if (entry.Exact && typeTells) return true;
  return FileOrFolderExists(folderPath + "/" + entry.Name);
}

bool FindFiles(const std::string& folderAndPattern, std::vector<TSearchRec>& found) {
  found.clear();
  if (folderAndPattern.find('\0') != std::string::npos) return false;
  size_t slash = folderAndPattern.rfind('/');
  std::string pattern, folder;
  if (slash == std::string::npos) {
    folder = ".";
    pattern = folderAndPattern;
  } else {
    folder = folderAndPattern.substr(0, slash == 0 ? 1 : slash);
    pattern = folderAndPattern.substr(slash + 1);
  }
  TFolderFacts facts;
  if (!ReadFolder(folder, facts)) return false;
  const bool everything = pattern == "*";
  std::string path = EntryPrefix(facts);
  const size_t prefixLength = path.size();
  for (TFolderEntry& e : facts.Entries) {
    if (!everything && !Cp1251WildcardMatch(pattern, e.Name)) continue;
    DescribeEntry(e, path, prefixLength);
    if (!e.Reachable) continue;
    TSearchRec rec;
    rec.Name = std::move(e.Name);
    rec.Attr = e.Attr;
    rec.SizeLow = static_cast<uint32_t>(e.Size & 0xFFFFFFFFu);
    rec.SizeHigh = static_cast<uint32_t>(e.Size >> 32);
    found.push_back(std::move(rec));
  }
  return true;
}

THandle OpenForReading(const std::string& path) {
  TOpenFileInfo info;
  return OpenForReading(path, info);
}

THandle OpenForReading(const std::string& path, TOpenFileInfo& info, bool followLink) {
  std::string utf8;
  if (!OsPath(path, utf8)) {
    errno = ENOENT;
    return INVALID_HANDLE_VALUE;
  }
  // Non-blocking for the open itself: a named pipe in the served folder would otherwise hang
  // the one thread that serves everybody until some writer appeared.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW);
  TFd fd(open(utf8.c_str(), flags));
  if (!fd.Valid() && FreeDescriptorsAfterFailure()) fd.Reset(open(utf8.c_str(), flags));
  if (!fd.Valid()) return INVALID_HANDLE_VALUE;
  struct stat st;
  struct statfs fs;
  // Only regular files can be served: folders fail as on Windows, and pipes, sockets and
  // devices have no size to announce and no end to reach.
  const bool statted = fstat(fd.Get(), &st) == 0;
  if (!statted || !S_ISREG(st.st_mode)) {
    const bool folder = !statted || S_ISDIR(st.st_mode);
    fd.Reset();
    errno = folder ? EISDIR : ENOENT;
    return INVALID_HANDLE_VALUE;
  }
  // What was actually opened decides, however the path spelled it: the kernel's files, a file
  // without a name (another run's temporary file held open) and the program's own files are
  // missing to a client.
  if ((fstatfs(fd.Get(), &fs) == 0 && PseudoFileSystem(fs)) || st.st_nlink == 0 ||
      InPseudoFolder(utf8) || IsProgramFileIdentity(st)) {
    fd.Reset();
    errno = ENOENT;
    return INVALID_HANDLE_VALUE;
  }
  // O_NONBLOCK stays: it means nothing to a regular file, and clearing it costs two calls on
  // every request.
  info.Size = static_cast<int64_t>(st.st_size);
  info.LastWriteTime = static_cast<int64_t>(st.st_mtime);
  return fd.Release();
}

void CloseHandle(THandle handle) {
  if (handle >= 0) close(handle);
}

bool WriteAllBytes(THandle handle, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t w = write(handle, data + done, size - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

int64_t GetFileSizeOfHandle(THandle handle) {
  struct stat st;
  if (handle < 0 || fstat(handle, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool GetLastWriteTime(THandle handle, int64_t& unixTime) {
  struct stat st;
  if (handle < 0 || fstat(handle, &st) != 0) return false;
  unixTime = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool AppendToFile(const std::string& path, const std::string& data) {
  std::string utf8;
  if (!OsPath(path, utf8)) return false;
  TFd fd(open(utf8.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (!fd.Valid()) return false;
  bool ok = WriteAllBytes(fd.Get(), data.data(), data.size());
  if (!fd.Close()) ok = false;
  return ok;
}

std::string ProgramFolder() {
  char buf[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return ".";
  std::string path = Utf8ToCp1251(std::string_view(buf, static_cast<size_t>(n)));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool SetCurrentDir(const std::string& path) {
  std::string utf8;
  return OsPath(path, utf8) && chdir(utf8.c_str()) == 0;
}

std::string ExtractFilePath(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
