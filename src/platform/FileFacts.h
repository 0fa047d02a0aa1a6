// What requests ask of the file system, kept between them: a path's attribute word (missing paths
// too), a regular file's open descriptor with its size and time, a folder's entries. A change on
// disk is reported by inotify, read before the requests of each turn, and drops what it touches;
// as a net for what a folder's watch cannot see (an ancestor renamed, a link above retargeted),
// nothing is trusted for longer than a second.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Files.h"
#include "platform/Streams.h"
#include "platform/UniqueFd.h"

// How long anything is trusted without a fresh look.
constexpr int64_t kFactValidityMs = 1000;
// Paths remembered; past this the cache starts empty again (a crawler walking a large tree must
// not grow the server).
constexpr size_t kMaxFacts = 4096;
// Folders watched; each costs the kernel a watch, and the user's watches are shared with every
// other program.
constexpr size_t kMaxWatchedFolders = 1024;
// Descriptors kept open: the server runs close to its descriptor limit when many clients are
// connected, and connections come first.
constexpr size_t kMaxCachedDescriptors = 64;
// None is kept once fewer than this many remain below the descriptor limit.
constexpr int kDescriptorHeadroom = 256;
// Folder listings kept, and the largest kept.
constexpr size_t kMaxListings = 64;
constexpr size_t kMaxListingEntries = 10000;

class TFileFacts {
 public:
  using TClock = std::function<int64_t()>;  // milliseconds, never going back

  TFileFacts();
  ~TFileFacts();
  TFileFacts(const TFileFacts&) = delete;
  TFileFacts& operator=(const TFileFacts&) = delete;

  // The inotify descriptor to watch; -1 when there is none (then everything lives a second).
  [[nodiscard]] int NotifyFd() const { return FNotify.Get(); }
  // Reads every queued change notification and forgets what each one touches.
  void Drain();
  // An exact clock for tests; the default one is read coarsely.
  void SetClock(TClock clock) {
    FClock = std::move(clock);
    FClockSlackMs = 0;
  }

  // GetFileAttributesA of the path.
  uint32_t Attributes(const std::string& path);
  // TFileStream::OpenRead of the path, over a descriptor kept for the next request.
  std::unique_ptr<TFileStream> OpenRead(const std::string& path);
  // ReadFolder of the path; the caller may describe the entries, which are then kept described.
  std::shared_ptr<TFolderFacts> Folder(const std::string& path);
  // Closes the kept descriptors (answers still sending from one keep it until they end).
  void DropDescriptors();
  // Forgets everything but the watches.
  void Clear();

 private:
  struct TFact {
    int64_t Born = 0;
    bool AttrKnown = false;
    uint32_t Attr = INVALID_FILE_ATTRIBUTES;
    std::shared_ptr<const TFd> Fd;  // a regular file opened for reading
    TOpenFileInfo Info;             // as the descriptor saw it at opening
  };
  enum class TWatch { Watched, Unwatched, Missing };
  struct TFolder {
    TWatch State = TWatch::Unwatched;
    int Wd = -1;
    int64_t Born = 0;
    std::shared_ptr<TFolderFacts> Listing;
    int64_t ListingBorn = 0;
  };

  int64_t Now() const { return FClock(); }
  bool Fresh(int64_t born) const { return Now() - born < kFactValidityMs - FClockSlackMs; }
  // The record of the folder holding path's last name, watched from now on; null when the path
  // has no folder part or the folder does not exist (then nothing in it is kept).
  TFolder* FolderOf(const std::string& path);
  TFolder* FolderRecord(const std::string& folder);
  // The fresh fact of the path, or null (a stale one is forgotten).
  TFact* Find(const std::string& path);
  TFact& Add(const std::string& path);
  std::unordered_map<std::string, TFact>::iterator Forget(
      std::unordered_map<std::string, TFact>::iterator it);
  void KeepDescriptor(TFact& fact, std::shared_ptr<const TFd> fd, const TOpenFileInfo& info);
  void ForgetFolder(const std::string& folder);
  void ForgetWatch(int wd, bool remove);
  void HandleEvent(int wd, uint32_t mask, const char* name);
  void ClearAll();

  TFd FNotify;
  TClock FClock;
  // How far the clock may lag the exact time: taken off the validity, so that no fact outlives
  // the second.
  int64_t FClockSlackMs = 0;
  std::unordered_map<std::string, TFact> FFacts;
  std::unordered_map<std::string, TFolder> FFolders;
  std::unordered_map<int, std::vector<std::string>> FWatches;  // one folder may have several names
  std::vector<TFact*> FWithFd;                                 // oldest first
  size_t FListings = 0;
  int FCrowdedFrom = INT32_MAX;  // descriptor numbers from here on are not kept
};
