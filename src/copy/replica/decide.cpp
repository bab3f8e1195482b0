// Deciding on a file: what the destination holds at its name, and whether
// the run copies, skips or refreshes it.
#include "decide.h"

#include <algorithm>
#include <vector>

#include "../../report/report.h"
#include "../run_settings.h"
#include "../access.h"
#include "../walk/exclude.h"
#include "../identity.h"
#include "../registries.h"
#include "durability.h"
#include "remove.h"
#include "rules.h"
#include "written.h"

namespace vx {

// With /Mirror, the object found at a source entry's name and kept there is
// noted, so that no name comparison can make /Mirror remove it.
void NoteMatched(const Place& destination, const FileIdentity& identity) {
  if (Settings.Mirror && destination.written != nullptr && !destination.parent_is_new) {
    destination.written->Match(identity);
  }
}

// Whether a copy whose data is up to date (or a directory that existed)
// may differ from its source in the security or attributes the run
// carries, so that they are compared (and set where they differ). Owner,
// group and mode are compared on every run, from what both handles hold
// already. The rest is compared where the source changed after its copy
// was last written (a source changed later has a later change time, or,
// within the clock's coarse tick, the same one), where the source changed
// since the last ended run began, or where the copy changed since it
// ended: damage done to the replica by hand. A system without change
// times never says so.
bool MetadataMayDiffer(HANDLE source_file, HANDLE copy, bool the_root) {
  if (!(Settings.SecurityDescriptor || Settings.Attributes)) return false;
  BOOL same = 1;
  if (Settings.SecurityDescriptor && Os().SameOwnerAndMode != nullptr &&
      Os().SameOwnerAndMode(source_file, copy, &same) && !same) {
    return true;
  }
  if (Os().GetChangeTime == nullptr) return false;
  FILETIME source_change;
  FILETIME copy_change;
  if (!Os().GetChangeTime(source_file, &source_change) ||
      !Os().GetChangeTime(copy, &copy_change)) {
    return false;
  }
  if (Os().CompareFileTime(&source_change, &copy_change) >= 0) return true;
  if (the_root) return FileTimeTicks(source_change) >= State.CompareSourcesSince;
  if (FileTimeTicks(source_change) < State.CompareSourcesSince &&
      FileTimeTicks(copy_change) < State.CompareCopiesSince) {
    return false;
  }
  State.ComparedSinceRecord.store(true, std::memory_order_relaxed);
  return true;
}

namespace {

// Whether a link kept as a link leads elsewhere than its copy: compared on
// every run, since retargeting a link (ln -sfn) need change neither its
// length nor its time.
bool LinkTargetDiffers(HANDLE source_link, HANDLE copy) {
  if (Os().ReadLinkTarget == nullptr) return false;
  thread_local std::vector<unsigned char> source_target(kMaxLinkTargetBytes);
  thread_local std::vector<unsigned char> copy_target(kMaxLinkTargetBytes);
  DWORD source_bytes = 0;
  DWORD copy_bytes = 0;
  if (!Os().ReadLinkTarget(source_link, source_target.data(), kMaxLinkTargetBytes, &source_bytes)) {
    return false;  // the copy decides as before; the link's own read reports
  }
  // A copy whose target cannot be read is left to the time rules.
  return Os().ReadLinkTarget(copy, copy_target.data(), kMaxLinkTargetBytes, &copy_bytes) &&
         (copy_bytes != source_bytes ||
          !std::equal(source_target.begin(), source_target.begin() + source_bytes,
                      copy_target.begin()));
}

// Whether two names are one name to a volume that ignores case: folded by
// the system where it can (Windows), else in ASCII.
bool SameNameIgnoringCase(std::u16string a, std::u16string b) {
  if (a.size() != b.size()) return false;
  if (Os().UpcaseName != nullptr && Os().UpcaseName(a.data(), static_cast<DWORD>(a.size())) &&
      Os().UpcaseName(b.data(), static_cast<DWORD>(b.size()))) {
    return a == b;
  }
  return AsciiFolded(a) == AsciiFolded(b);
}

// Two source names that lead to one destination file (names that differ in
// case only, on a destination that ignores case) would give it two copies,
// the second silently over the first: the first to decide takes the file,
// atomically, whichever worker it is, and the other is a collision. Names
// that differ otherwise are two names (hard links) the replica gave one
// file: each is replaced on its own.
bool ClaimReplaced(const Place& source, const Place& destination, const FileIdentity& identity) {
  std::u16string holder;
  if (destination.written == nullptr ||
      destination.written->Claim(identity, destination.Name(), &holder) ||
      !SameNameIgnoringCase(holder, destination.Name())) {
    return true;
  }
  ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
  return false;
}

// Looks at what the destination name holds: `*probe` stays open on a file
// found there, `*info` and `*identity` what it is. `*code` is the error that
// names another kind. Returns false where the look failed (reported): only
// "not found" means nothing is there, any other failure (a sharing
// violation, a special file) is an error.
bool LookAtName(const Place& source, const Place& destination, HANDLE* probe,
                BY_HANDLE_FILE_INFORMATION* info, FileIdentity* identity, AtName* at_name,
                DWORD* code) {
  // Where links are kept, a link or special file at the name is looked at
  // as itself and replaced as a name like a file.
  *probe = OpenDestination(destination, ProbeAccess(), State.KeepLinks ? FILE_FLAG_OPEN_NODE : 0);
  if (*probe == INVALID_HANDLE_VALUE) {
    *code = Os().GetLastError();
    if (*code == ERROR_CANT_RESOLVE_FILENAME) {
      *at_name = AtName::kUnresolved;
      return true;
    }
    if (!IsNotFound(*code)) {
      ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", *code);
      return false;
    }
    *at_name = AtName::kNothing;
    return true;
  }
  if (!Os().GetFileInformationByHandle(*probe, info)) {
    ReportWin32Error(source.path, u"CopyOnFile:GetFileInformationByHandle(DESTINATION)",
                     Os().GetLastError());
    return false;
  }
  *identity = IdentityOf(*info);
  // A directory link, looked at as itself where links are kept, is no
  // directory the file would go into.
  const DWORD directory_link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(State.KeepLinks && (info->dwFileAttributes & directory_link) == directory_link)) {
    Os().CloseHandle(*probe);
    *probe = INVALID_HANDLE_VALUE;
    *code = ERROR_ALREADY_EXISTS;
    *at_name = AtName::kDirectory;
    return true;
  }
  *at_name = AtName::kFile;
  return true;
}

// Whether the run already put the object of `identity` in the directory
// under another name. The 64-bit index is asked first.
bool WrittenHere(const Place& destination, HANDLE probe, FileIdentity* identity) {
  if (destination.written == nullptr || !destination.written->Contains(*identity)) return false;
  CompleteIdentity(probe, identity);
  return destination.written->Contains(*identity);
}

// With /OnlyNewer or /Overwrite: whether the file at the name is copied
// again, by the rules of a file found there, each fact that costs a look at
// the copy asked only where it decides.
FileAction CompareFiles(HANDLE source_file, const BY_HANDLE_FILE_INFORMATION& source_info,
                        HANDLE copy, const BY_HANDLE_FILE_INFORMATION& copy_info) {
  FileFacts facts;
  facts.only_newer = Settings.OnlyNewer;
  facts.overwrite = Settings.Overwrite;
  facts.mirror = Settings.Mirror;
  if (Settings.OnlyNewer) {
    facts.order = Os().CompareFileTime(&source_info.ftLastWriteTime, &copy_info.ftLastWriteTime);
    facts.other_size = SizeOf(source_info) != SizeOf(copy_info);
    facts.both_links = State.KeepLinks &&
                       (source_info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                       (copy_info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }
  FileAction action;
  while ((action = DecideOnFile(facts)) == FileAction::kAskUnfinishedRun ||
         action == FileAction::kAskLinkTargets) {
    if (action == FileAction::kAskUnfinishedRun) {
      facts.changed_in_unfinished_run = ChangedInUnfinishedRun(copy);
    } else {
      facts.link_targets_differ = LinkTargetDiffers(source_file, copy);
    }
  }
  return action;
}

}  // namespace

// Gathers the facts the rules ask for, carries out their answer and raises
// the counter of the decision. `*probe` stays open on a file found at the
// name, for the security a replacement keeps; `*found` is its identity.
Decision Decide(const Place& source, const Place& destination, HANDLE source_file,
                const BY_HANDLE_FILE_INFORMATION& source_info, HANDLE* probe,
                FileIdentity* found) {
  *probe = INVALID_HANDLE_VALUE;
  *found = FileIdentity{};
  NameFacts facts;
  facts.parent_is_new = destination.parent_is_new;
  facts.may_replace_kind = MayReplaceKind(destination);
  facts.compares = Settings.OnlyNewer || Settings.Overwrite;
  BY_HANDLE_FILE_INFORMATION destination_info;
  FileIdentity source_identity = IdentityOf(source_info);
  DWORD code = 0;
  for (;;) {
    switch (DecideOnName(facts)) {
      case NameAction::kAskAtName: {
        AtName at_name;
        if (!LookAtName(source, destination, probe, &destination_info, found, &at_name, &code)) {
          return Decision::kFailed;
        }
        facts.at_name = at_name;
        continue;
      }
      case NameAction::kAskWrittenHere:
        facts.written_here = WrittenHere(destination, *probe, found);
        continue;
      case NameAction::kAskSameFile:
        facts.same_file = SameOpenObject(*probe, found, source_file, &source_identity);
        continue;
      case NameAction::kAskRunOutput:
        facts.run_output = IsRunOutput(*probe, found);
        continue;
      case NameAction::kReplaceKind:
        if (!RemoveEntry(destination.parent, destination.Name(), destination.path)) {
          return Decision::kFailed;
        }
        [[fallthrough]];
      case NameAction::kCopyNew:
        CountDecision(&RunCounters::NewCount);
        return Decision::kCopy;
      case NameAction::kKeepKind:
        ReportWin32Error(source.path, u"CopyOneFile:CreateFile(DESTINATION)", code);
        return Decision::kFailed;
      case NameAction::kCollision:
        ReportWin32Error(source.path, u"CopyOneFile:NameCollision(DESTINATION)", ERROR_FILE_EXISTS);
        return Decision::kFailed;
      case NameAction::kSameFile:
        ReportWin32Error(source.path, u"CopyOneFile:SameFile(DESTINATION)", ERROR_FILE_EXISTS);
        return Decision::kFailed;
      case NameAction::kKeepRunOutput:
        return Decision::kSkip;
      case NameAction::kKeep:
        NoteMatched(destination, *found);
        return Decision::kSkip;
      case NameAction::kCompare:
        break;
    }
    break;
  }
  const FileAction action = CompareFiles(source_file, source_info, *probe, destination_info);
  if (action == FileAction::kSkip) {
    NoteMatched(destination, *found);
    return MetadataMayDiffer(source_file, *probe) ? Decision::kRefresh : Decision::kSkip;
  }
  if (!ClaimReplaced(source, destination, *found)) return Decision::kFailed;
  CountDecision(action == FileAction::kNewer ? &RunCounters::NewerCount
                                             : &RunCounters::OverwrittenCount);
  return Decision::kCopy;
}

bool IsRunOutput(HANDLE file, FileIdentity* identity) {
  static const FileIdentity* const kLogs[] = {&Registries.LogIdentity, &Registries.ErrorLogIdentity,
                                              &Registries.JsonLogIdentity};
  for (const FileIdentity* log : kLogs) {
    if (!SameObject(*identity, *log)) continue;
    CompleteIdentity(file, identity);
    if (SameObject(*identity, *log)) return true;
  }
  return false;
}

}  // namespace vx
