// The process-wide settings and state of one run: what the command line
// asked for and what run preparation obtained, as the copy engine reads
// them. The run writes them (run/run_state.h); what report lines need of
// them is their part in report/books.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../platform/platform.h"
#include "../report/books.h"

namespace vx {

struct RunSettings : ReportSettings {
  // Source and Destination refer to the typed arguments while parsing and to
  // the prepared root paths afterwards; Log and ErrorLog to the typed values.
  // nullptr means absent.
  const char16_t* Source;
  const char16_t* Destination;
  const char16_t* Log;
  const char16_t* ErrorLog;
  int32_t Overwrite;
  int32_t OnlyNewer;
  int32_t SecurityDescriptor;
  int32_t SubDirectories;
  int32_t CreateDestinationDirectory;
  int32_t StopAtFirstError;
  uint32_t CopyBufferSize;
  // Extensions: a line in the settings block only when given.
  int32_t HardLinks;
  int32_t Attributes;
  int32_t Links;  // kLinksAsGiven: not given, /Links or /FollowLinks, the later one
  int32_t Streams;
  int32_t Specials;
  int32_t Mirror;
  // The patterns of /Exclude:, in the order given, as typed.
  std::vector<std::u16string_view> Excludes;
  // /Retry: and /Wait:, with whether each was given; -1 where the value
  // given is no number.
  int32_t Retry;
  int32_t Wait;
  int32_t RetryGiven;
  int32_t WaitGiven;
  // /Threads:, 1 when not given; -1 where the value given is no number.
  int32_t Threads;
  int32_t ThreadsGiven;
  // /MaxDelete:, with whether it was given; -1 where the value is no number.
  int32_t MaxDelete;
  int32_t MaxDeleteGiven;
  // /AppendLog: and /AppendErrorLog: name the logs as /Log: and
  // /ErrorLog: do, kept and added to rather than begun anew.
  int32_t AppendLog;
  int32_t AppendErrorLog;
  // /Backup was given: what it stands for is set besides.
  int32_t Backup;
  // /Recall: cloud placeholders and offline files are read (downloaded).
  int32_t Recall;
  int32_t Flush;
  // /JsonLog:, as typed; nullptr when absent.
  const char16_t* JsonLog;
  // /Files: or /Files0: (FilesNul), as typed; nullptr when absent.
  const char16_t* Files;
  int32_t FilesNul;
  // /AcceptVolume: the source's volumes as they are tonight are taken for
  // the replica's records, where they differ from what it recorded.
  int32_t AcceptVolume;
  // /SummaryLine: one line of the run's counts, exit and time on standard
  // error at its end, /Silent or not (a service's journal).
  int32_t SummaryLine;
  // /Utf8: the console and the text logs in UTF-8 with LF line ends, and
  // ERR lines with the system's own error name and text where it has them.
  int32_t Utf8;
  // /History:, as typed; nullptr when absent: the versions a run replaces
  // or removes are moved there, into a folder of the run's own.
  const char16_t* History;
  // /HistoryDays:, with whether it was given: run folders older are pruned
  // after a run without errors. -1 where the value is no number.
  int32_t HistoryDays;
  int32_t HistoryDaysGiven;
  // /MaxChange:, with whether it was given and whether it is a percentage
  // of the files the replica holds; -1 where the value is no number.
  int32_t MaxChange;
  int32_t MaxChangeGiven;
  int32_t MaxChangePercent;
  // /AsOf:, as typed, and the time it names (FILETIME ticks); nullptr when
  // absent: the source is a replica, written as it was at that time.
  const char16_t* AsOf;
  uint64_t AsOfTicks;
};


// The most files /Threads: copies at once.
constexpr int32_t kMaxThreads = 64;

// What the command line said of links.
enum LinksAsGiven : int32_t { kLinksDefault = 0, kLinksKept = 1, kLinksFollowed = 2 };


struct RunState : ReportSinks {
  NtQueryDirectoryFileFn NtQueryDirectoryFile;
  void* COPYBUFFER;
  size_t SourceRootLength;
  int32_t AtTopLevel;
  // When the run began, for the JSON log's start and summary.
  FILETIME StartTime;
  // The command line as typed, for the line that begins each run's part of
  // an appended log.
  std::u16string CommandLine;
  // The security privilege is not held and /SecurityDescriptor was not
  // asked for: objects are opened without ACCESS_SYSTEM_SECURITY.
  bool WithoutSystemSecurity;
  // Links are copied as links, not followed: /Links, or the platform's
  // default without /FollowLinks.
  bool KeepLinks;
  // With /Threads:, one buffer of CopyBufferSize for each worker; the first
  // is COPYBUFFER.
  std::vector<void*> CopyBuffers;
  // With /MaxDelete:, the removals still allowed, and whether the ERR that
  // says the limit was reached has been written.
  std::atomic<int32_t> RemovalsLeft;
  std::atomic<bool> RemovalLimitReported;
  // Whether each file is flushed on its own (no right to flush a volume
  // whole).
  bool FlushEachFile;
  // Whether this run marked the destination root as being written (its
  // own mark's name, and the handle that holds the mark's lock), and the
  // earliest start of the unfinished earlier runs whose marks it found (0:
  // none), with those marks' names.
  std::atomic<bool> RunMarked;
  std::u16string RunMarkName;
  HANDLE RunMarkLock;
  uint64_t UnfinishedRunStart;
  std::vector<std::u16string> UnfinishedRunMarks;
  // What the last run that ended on the destination left on record: the
  // security, attributes and link targets of a copy are compared with its
  // source's where the source changed at or after `CompareSourcesSince`,
  // or the copy at or after `CompareCopiesSince` (FILETIME ticks; 1:
  // every copy, once; UINT64_MAX: by these rules none).
  uint64_t CompareSourcesSince;
  uint64_t CompareCopiesSince;
  // Whether the run compared a copy only for a change since that record (a
  // source changed since that run began, a copy since it ended): the run
  // then records its own end, so that the next night need not again.
  std::atomic<bool> ComparedSinceRecord;
  // Counts the runs this process has begun, so what the walk learns once a
  // run (what each volume keeps) is learnt anew by the next.
  uint32_t RunNumber;
  // The storage Source and Destination point into once prepared.
  std::u16string PreparedSource;
  std::u16string PreparedDestination;
};

extern RunSettings Settings;
extern RunState State;

// /List and /Verify look and write nothing.
inline bool WritesNothing() {
  return Settings.List || Settings.Verify;
}

// Whether the walk keeps each source directory's names, to find what only
// the destination holds: /Mirror removes it, /Verify reports it.
inline bool ComparesNames() {
  return Settings.Mirror || Settings.Verify;
}

}  // namespace vx
