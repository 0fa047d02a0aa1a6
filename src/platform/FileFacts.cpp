// The file-fact cache: lookups, the watches that keep it true, and its bounds.
#include "platform/FileFacts.h"

#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>

#include "platform/Codec.h"
#include "platform/Time.h"

namespace {

// Every way a name in a folder can come to mean something else, and the folder itself going.
constexpr uint32_t kWatchMask = IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR;

// A path is its folder, a '/', and its last name; the folder of "/a" is "", which is "/" on disk.
bool SplitPath(const std::string& path, size_t& slash) {
  slash = path.rfind('/');
  return slash != std::string::npos;
}

bool InFolder(const std::string& path, const std::string& folder) {
  size_t slash;
  return SplitPath(path, slash) && slash == folder.size() && path.compare(0, slash, folder) == 0;
}

std::string FolderOnDisk(const std::string& folder) {
  return Cp1251ToUtf8(folder.empty() ? std::string("/") : folder);
}

}  // namespace

TFileFacts::TFileFacts()
    : FNotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      // Asked on every look at a fact, so read coarsely; its lag is taken off the validity.
      FClock(CoarseClockMs),
      FClockSlackMs(CoarseClockLagMs()) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    FCrowdedFrom = static_cast<int>(lim.rlim_cur) - kDescriptorHeadroom;
}

TFileFacts::~TFileFacts() = default;

// ---- lookups ----

uint32_t TFileFacts::Attributes(const std::string& path) {
  if (path.find('\0') != std::string::npos) return INVALID_FILE_ATTRIBUTES;
  if (TFact* f = Find(path); f && f->AttrKnown) return f->Attr;
  // Watched before the look: a change after it cannot go unseen.
  if (!FolderOf(path)) return GetFileAttributesA(path);
  std::string utf8;
  OsPath(path, utf8);
  struct stat st;
  uint32_t attr = INVALID_FILE_ATTRIBUTES;
  if (lstat(utf8.c_str(), &st) == 0) {
    // What a link stands for can change where no watch of ours looks: asked every time.
    if (S_ISLNK(st.st_mode)) return GetFileAttributesA(path);
    attr = PathAttributesOf(st, utf8);
  }
  TFact* f = Find(path);
  TFact& fact = f ? *f : Add(path);
  fact.AttrKnown = true;
  fact.Attr = attr;
  return attr;
}

std::unique_ptr<TFileStream> TFileFacts::OpenRead(const std::string& path) {
  if (path.find('\0') != std::string::npos) return nullptr;
  if (TFact* f = Find(path); f && f->Fd)
    return std::unique_ptr<TFileStream>(new (std::nothrow) TFileStream(f->Fd, f->Info));
  if (!FolderOf(path)) return TFileStream::OpenRead(path);
  TOpenFileInfo info;
  THandle handle = OpenForReading(path, info, false);
  if (handle == INVALID_HANDLE_VALUE && (errno == EMFILE || errno == ENFILE) && !FWithFd.empty()) {
    // Out of descriptors: the kept ones go first.
    DropDescriptors();
    handle = OpenForReading(path, info, false);
  }
  if (handle == INVALID_HANDLE_VALUE)
    return errno == ELOOP ? TFileStream::OpenRead(path) : nullptr;  // a link: not kept
  TFd owner(handle);
  if (handle >= FCrowdedFrom) {
    // Descriptors are handed out lowest first, so one this high means they are running short:
    // connections need them more than the cache does.
    DropDescriptors();
    return std::unique_ptr<TFileStream>(new (std::nothrow) TFileStream(owner.Release(), info));
  }
  auto fd = std::make_shared<TFd>(std::move(owner));
  TFact* f = Find(path);
  KeepDescriptor(f ? *f : Add(path), fd, info);
  return std::unique_ptr<TFileStream>(new (std::nothrow) TFileStream(std::move(fd), info));
}

std::shared_ptr<TFolderFacts> TFileFacts::Folder(const std::string& path) {
  TFolder* folder = path.find('\0') == std::string::npos ? FolderRecord(path) : nullptr;
  if (folder && folder->Listing && Fresh(folder->ListingBorn)) return folder->Listing;
  auto listing = std::make_shared<TFolderFacts>();
  ReadFolder(path, *listing);
  if (!folder) return listing;
  if (folder->Listing) {
    folder->Listing.reset();
    --FListings;
  }
  // An unreadable folder (perhaps only for lack of descriptors) is asked again next time.
  if (!listing->Readable || listing->HasLinks || listing->Entries.size() > kMaxListingEntries)
    return listing;
  if (FListings >= kMaxListings) {
    for (auto& [name, f] : FFolders) f.Listing.reset();
    FListings = 0;
  }
  folder->Listing = listing;
  folder->ListingBorn = Now();
  ++FListings;
  return listing;
}

// ---- the records ----

TFileFacts::TFact* TFileFacts::Find(const std::string& path) {
  auto it = FFacts.find(path);
  if (it == FFacts.end()) return nullptr;
  if (Fresh(it->second.Born)) return &it->second;
  Forget(it);
  return nullptr;
}

TFileFacts::TFact& TFileFacts::Add(const std::string& path) {
  if (FFacts.size() >= kMaxFacts) Clear();
  TFact& fact = FFacts[path];
  fact.Born = Now();
  return fact;
}

std::unordered_map<std::string, TFileFacts::TFact>::iterator TFileFacts::Forget(
    std::unordered_map<std::string, TFact>::iterator it) {
  if (it->second.Fd) std::erase(FWithFd, &it->second);
  return FFacts.erase(it);
}

void TFileFacts::KeepDescriptor(TFact& fact, std::shared_ptr<const TFd> fd,
                                const TOpenFileInfo& info) {
  if (fact.Fd) std::erase(FWithFd, &fact);
  if (FWithFd.size() >= kMaxCachedDescriptors) {
    FWithFd.front()->Fd.reset();
    FWithFd.erase(FWithFd.begin());
  }
  fact.Fd = std::move(fd);
  fact.Info = info;
  FWithFd.push_back(&fact);
}

void TFileFacts::DropDescriptors() {
  for (TFact* f : FWithFd) f->Fd.reset();
  FWithFd.clear();
}

void TFileFacts::Clear() {
  FFacts.clear();
  FWithFd.clear();
  for (auto& [name, f] : FFolders) f.Listing.reset();
  FListings = 0;
}

void TFileFacts::ClearAll() {
  Clear();
  for (const auto& [wd, folders] : FWatches) inotify_rm_watch(FNotify.Get(), wd);
  FWatches.clear();
  FFolders.clear();
}

TFileFacts::TFolder* TFileFacts::FolderOf(const std::string& path) {
  size_t slash;
  if (!SplitPath(path, slash)) return nullptr;
  return FolderRecord(path.substr(0, slash));
}

TFileFacts::TFolder* TFileFacts::FolderRecord(const std::string& folder) {
  if (auto it = FFolders.find(folder); it != FFolders.end()) {
    TFolder& f = it->second;
    if (f.State == TWatch::Watched || Fresh(f.Born))
      return f.State == TWatch::Missing ? nullptr : &f;
    // Not watched, and its second is up: perhaps it can be watched now.
    if (f.Listing) --FListings;
    FFolders.erase(it);
  }
  if (FFolders.size() >= kMaxWatchedFolders) {
    // Folders that are not watched only spare a second look; they go first.
    std::erase_if(FFolders, [this](const auto& kv) {
      if (kv.second.State == TWatch::Watched) return false;
      if (kv.second.Listing) --FListings;
      return true;
    });
    if (FFolders.size() >= kMaxWatchedFolders) ClearAll();
  }
  TFolder f;
  f.Born = Now();
  if (FNotify.Valid()) {
    const int wd = inotify_add_watch(FNotify.Get(), FolderOnDisk(folder).c_str(), kWatchMask);
    if (wd >= 0) {
      f.State = TWatch::Watched;
      f.Wd = wd;
      FWatches[wd].push_back(folder);
    } else if (errno == ENOENT || errno == ENOTDIR) {
      // Nothing in a folder that is not there is kept: its coming would go unseen.
      f.State = TWatch::Missing;
    }
  }
  TFolder& kept = FFolders.emplace(folder, std::move(f)).first->second;
  return kept.State == TWatch::Missing ? nullptr : &kept;
}

void TFileFacts::ForgetFolder(const std::string& folder) {
  if (auto f = FFolders.find(folder); f != FFolders.end() && f->second.Listing) {
    f->second.Listing.reset();
    --FListings;
  }
  for (auto it = FFacts.begin(); it != FFacts.end();)
    it = InFolder(it->first, folder) ? Forget(it) : std::next(it);
}

void TFileFacts::ForgetWatch(int wd, bool remove) {
  auto it = FWatches.find(wd);
  if (it == FWatches.end()) return;
  const std::vector<std::string> folders = std::move(it->second);
  FWatches.erase(it);
  for (const std::string& folder : folders) {
    ForgetFolder(folder);
    FFolders.erase(folder);
  }
  if (remove) inotify_rm_watch(FNotify.Get(), wd);
}

// ---- change notifications ----

void TFileFacts::Drain() {
  if (!FNotify.Valid()) return;
  alignas(inotify_event) char buf[16384];
  constexpr size_t kLargestEvent = sizeof(inotify_event) + NAME_MAX + 1;
  for (;;) {
    const ssize_t n = read(FNotify.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      HandleEvent(ev->wd, ev->mask, ev->len ? ev->name : "");
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
    // Room was left, so the queue was empty: no further call to learn it.
    if (static_cast<size_t>(n) + kLargestEvent <= sizeof buf) return;
  }
}

void TFileFacts::HandleEvent(int wd, uint32_t mask, const char* name) {
  if (mask & IN_Q_OVERFLOW) {
    Clear();  // changes were lost: nothing known can be trusted
    return;
  }
  auto it = FWatches.find(wd);
  if (it == FWatches.end()) return;
  if (mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
    // A moved folder stays watched by the kernel under its new name; nothing here wants that.
    ForgetWatch(wd, (mask & IN_MOVE_SELF) != 0);
    return;
  }
  if (*name == '\0') {
    // The folder itself changed (its attributes): whatever is known through it goes.
    for (const std::string& folder : it->second) ForgetFolder(folder);
    return;
  }
  const std::string child = Utf8ToCp1251(name);
  for (const std::string& folder : it->second) {
    if (auto f = FFolders.find(folder); f != FFolders.end() && f->second.Listing) {
      f->second.Listing.reset();
      --FListings;
    }
    std::string path = folder;
    path += '/';
    path += child;
    if (auto e = FFacts.find(path); e != FFacts.end()) Forget(e);
  }
}
