// The walk's own records, shared by the files that walk, enter and leave
// directories and tidy them: what the whole walk knows and what each
// directory being copied holds. Only src/copy includes it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../../platform/platform.h"
#include "../directory.h"
#include "../identity.h"
#include "../listing.h"
#include "../place.h"
#include "workers.h"

namespace vx {

constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);

struct ListedAhead;

// How long the walk's own listing takes a record, judged on the first
// records of the run: where it is slow (a share, where each entry's look is
// a round trip), listings are read ahead of the walk; where it is fast,
// reading ahead would only cost the looks the listing hands on to the opens.
struct ListingPace {
  static constexpr size_t kJudgedAfter = 16;
  static constexpr std::chrono::microseconds kSlowRecord{50};
  size_t records = 0;
  std::chrono::steady_clock::duration spent{};
  bool judged = false;
  bool slow = false;
};

// What the whole walk knows: the identities of the source directories from
// the root down to the one being copied (a directory met again on that path
// is a loop), the destination root's (a source directory that is the
// destination root is the run's own output, not input), and the full paths
// of the entry being copied, which grow by one name on the way down and are
// cut back on the way up, so a level keeps no path of its own.
struct Walk {
  std::vector<FileIdentity> path;
  FileIdentity destination_root;
  std::u16string destination_root_path;  // its final path, where its identity is unknown
  std::u16string source_path;
  std::u16string destination_path;
  size_t source_root_length = 0;  // of the two paths at the roots
  size_t destination_root_length = 0;
  // Where a source directory's security is read before only its own bytes
  // are kept.
  std::vector<unsigned char> descriptor_scratch;
  // With /Threads:, who copies the files the walk meets; none where the
  // walk copies them itself.
  Workers* workers = nullptr;
  // Levels on the walk's path whose handles are open, and the first that
  // may be open: those before it are parked or cannot be.
  size_t open_levels = 0;
  size_t park_from = 1;
  // The listing read ahead for the directory being entered, if any.
  std::shared_ptr<ListedAhead> entering_ahead;
  ListingPace pace;
};

// One record of a directory's listing; for a subdirectory, its own listing
// where a copier reads it ahead of the walk.
struct ListedEntry {
  std::u16string name;
  DWORD attributes = 0;
  uint64_t size = 0;
  std::shared_ptr<ListedAhead> ahead;
};

// A subdirectory's whole listing, read by a copier while the walk is busy
// elsewhere, so that on a share its looks at the entries overlap with the
// walk's and with one another. The walk takes it only for the directory it
// was read from (same identity); else it lists the directory itself. The
// copier's open handle is kept for the walk to enter the directory by, so
// that reading ahead costs no open of its own; closed here if never taken.
struct ListedAhead {
  std::atomic<bool> done{false};  // set by the copier once the rest is written
  bool usable = false;
  FileIdentity identity;
  std::vector<ListedEntry> entries;
  NTSTATUS end = 0;
  HANDLE directory = INVALID_HANDLE_VALUE;  // with `info`, where it was opened and looked at
  BY_HANDLE_FILE_INFORMATION info{};
  // With /SecurityDescriptor, the security of `directory`, where it was read.
  bool descriptor_known = false;
  std::vector<unsigned char> descriptor;
  ListedAhead() = default;
  ListedAhead(const ListedAhead&) = delete;
  ListedAhead& operator=(const ListedAhead&) = delete;
  ~ListedAhead() {
    if (directory != INVALID_HANDLE_VALUE) Os().CloseHandle(directory);
  }
};

// One directory being copied: the directory (what the replica's rules see
// of it) and where the walk is in its listing. Levels live on the heap in the walk's own stack, not
// on the machine stack, so depth costs a level's handles, its listing
// position and its security, whatever the length of the path: its places
// name it by the walk's paths. With workers, a level the walk has listed
// whole waits off the stack for its files and subdirectories, and only
// then takes copies of its paths (KeepOwnPaths).
struct Level : Directory {
  Level(const Place& source_place, const Place& destination_place)
      : Directory(source_place, destination_place) {}
  size_t source_length = 0;  // of the walk's paths while they name this level
  size_t destination_length = 0;
  std::unique_ptr<ListingBuffer> listing;
  BOOLEAN restart_scan = 1;
  // Where the walk is deeper than it keeps directories open (Park): the
  // rest of the listing, read before the handles were closed and served in
  // its place, how that listing ended, and the identities its handles must
  // show when they are opened again from the child's "..".
  bool parked = false;
  bool drained = false;  // the whole listing is in `rest` (what is left of it)
  std::vector<ListedEntry> rest;
  size_t rest_next = 0;
  NTSTATUS rest_end = 0;  // a failure to report once `rest` is served; 0: its end
  // With workers: the listing is read into `rest` in chunks ahead of the
  // walk, and subdirectories of `rest` before `ahead_next` are being read
  // ahead by copiers.
  bool reads_ahead = false;
  size_t ahead_next = 0;
  size_t ahead_out = 0;  // of those, the ones the walk has not reached
  // Its files handed to workers and its subdirectories not yet done, and
  // its parent's, which waits for it in turn (with workers only).
  FilesOf files;
  FilesOf* parent_files = nullptr;
};

// At most this many directories on the walk's path keep their handles
// open, two each; deeper, the oldest are parked and opened again on the
// way up, so depth is not bounded by the process's descriptors.
constexpr size_t kOpenLevels = 128;

// With workers, at most this many directories the walk has listed wait for
// their last files and subdirectories, two handles each, besides those on
// the walk's path: room enough for the copiers to work in several
// directories, and a bound on the descriptors it costs.
constexpr size_t kDirectoriesBehind = 64;

// Appends `name` to a walk path as JoinPath joins it.
void AppendName(std::u16string* path, std::u16string_view name);

// Whether the directory of `identity` is on the walk's path down to here:
// entering it again would loop.
bool OnWalkPath(const Walk& walk, const FileIdentity& identity);
// Whether a source directory is the destination root (the run's own
// output): by identity, or by final path where identities are unknown.
bool IsDestinationRoot(const Walk& walk, HANDLE source_handle, const FileIdentity& identity);

// The result of Enter when the directory's level was pushed.
constexpr int kEntered = -1;
// Opens and checks a source directory, announces it, and makes and opens
// its destination. On success its level is pushed onto `levels` (kEntered);
// otherwise the directory's result, as the walk counts it (levels.cpp).
int Enter(Walk& walk, const Place& source, const Place& destination,
          std::vector<std::unique_ptr<Level>>* levels);
// Finishes a directory and closes what it holds; returns its result.
int Leave(Walk& walk, Level& level, bool finished);

enum class Listed { kEntry, kEnd, kFailed };
// The level's next listing record: read from its handle, or, once it was
// parked, served from what was read before. kFailed with the status in
// `*failure` (level_listing.cpp).
// Reads from the handle are timed into `pace` until it is judged.
Listed NextListed(Level& level, ListingPace* pace, ListedEntry* entry, NTSTATUS* failure);
// Reads up to `most` more records of the level's listing into `rest`
// (all of it: `drained`); false where memory ran out first, what was read
// staying in `rest`.
bool ReadInto(Level& level, size_t most, ListingPace* pace);
// The identity of an open directory; unknown where it cannot be told
// (parked_levels.cpp).
FileIdentity IdentityOfOpen(HANDLE handle);
// With workers, where every listed directory is walked (no /Exclude:, no
// /Files:) and the walk's listing is slow, listings are read ahead of the
// walk: a directory entered takes the listing a copier read for it, where
// it is that directory (StartReadingAhead); the walk reads the rest of a
// level's listing in chunks, and copiers are given the listings of its next
// subdirectories to read (ReadSubdirectoriesAhead; level_listing.cpp).
bool ReadsAhead(const Walk& walk);
// The directory about to be entered as a copier opened it to read ahead,
// once it is done (the walk copies files meanwhile), with `*info` and
// `*identity` filled in; INVALID_HANDLE_VALUE where none was read ahead or
// it was not opened.
HANDLE TakeAheadDirectory(Walk& walk, BY_HANDLE_FILE_INFORMATION* info, FileIdentity* identity);
void StartReadingAhead(Walk& walk, Level& level);
void ReadSubdirectoriesAhead(Walk& walk, Level& level);

// Keeps the walk within kOpenLevels open directories once `levels` grew by
// one: parks the oldest open level that can be opened again from its
// child (not one whose child was reached through a followed link), after
// its files and subdirectories left behind are done (parked_levels.cpp).
void ParkOldest(Walk& walk, std::vector<std::unique_ptr<Level>>& levels);
// Opens the parked parent of `child` again from the child's "..", checking
// that each is the directory it left, and points the child's places at it.
// False after reporting: the parent is then unfinished.
bool Unpark(Level& parent, Level& child);

}  // namespace vx
