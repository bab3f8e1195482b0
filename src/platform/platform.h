// The only door from Velmox to the operating system.
//
// The core reaches every system service through one table of function
// pointers, Os(). Each entry keeps the Windows name and arguments, so the
// copy engine reads the same on both builds: the Windows backend passes each
// call to the real service, the POSIX backend maps it onto Linux. Tests wrap
// entries of the table to inject failures (see fault_injection.h). An entry
// a backend lacks stays null: the core asks before it calls.
#pragma once

#include <string>
#include <string_view>

#include "types.h"

namespace vx {

// clang-format off
struct Platform {
  HANDLE (*CreateFileW)(const char16_t* name, DWORD access, DWORD share, void* security,
                        DWORD disposition, DWORD flags, HANDLE template_file) = nullptr;
  BOOL (*CreateDirectoryW)(const char16_t* name, void* security) = nullptr;
  BOOL (*ReadFile)(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* overlapped) = nullptr;
  BOOL (*WriteFile)(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                    void* overlapped) = nullptr;
  BOOL (*GetFileInformationByHandle)(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) = nullptr;
  BOOL (*SetFileTime)(HANDLE file, const FILETIME* creation, const FILETIME* access,
                      const FILETIME* write) = nullptr;
  LONG (*CompareFileTime)(const FILETIME* first, const FILETIME* second) = nullptr;
  BOOL (*CloseHandle)(HANDLE object) = nullptr;
  DWORD (*GetLastError)() = nullptr;
  void (*SetLastError)(DWORD code) = nullptr;
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` points at a char16_t* that
  // receives a text to be released with LocalFree.
  DWORD (*FormatMessageW)(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                          char16_t* buffer, DWORD size, void* arguments) = nullptr;
  void* (*LocalFree)(void* memory) = nullptr;
  HMODULE (*GetModuleHandleA)(const char* module_name) = nullptr;
  FARPROC (*GetProcAddress)(HMODULE module, const char* proc_name) = nullptr;
  void* (*VirtualAlloc)(void* address, size_t size, DWORD allocation_type, DWORD protect) = nullptr;
  void (*GetSystemTimeAsFileTime)(FILETIME* now) = nullptr;
  HANDLE (*GetCurrentProcess)() = nullptr;
  BOOL (*OpenProcessToken)(HANDLE process, DWORD desired_access, HANDLE* token) = nullptr;
  BOOL (*LookupPrivilegeValueA)(const char* system_name, const char* name, LUID* luid) = nullptr;
  BOOL (*AdjustTokenPrivileges)(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                                DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                                DWORD* return_length) = nullptr;
  BOOL (*GetKernelObjectSecurity)(HANDLE object, DWORD information, void* descriptor,
                                  DWORD length, DWORD* length_needed) = nullptr;
  BOOL (*SetKernelObjectSecurity)(HANDLE object, DWORD information, void* descriptor) = nullptr;
  HANDLE (*GetStdHandle)(DWORD which) = nullptr;
  DWORD (*GetFileType)(HANDLE file) = nullptr;
  // CreateFileW and CreateDirectoryW for `name`, a single component inside
  // the open directory `directory` (NtCreateFile with a root directory), so
  // nothing above it is looked up by path again. With
  // FILE_FLAG_OPEN_REPARSE_POINT a symbolic link, junction or other reparse
  // point at `name` is never followed: the open fails with
  // ERROR_CANT_RESOLVE_FILENAME.
  HANDLE (*CreateFileAtW)(HANDLE directory, const char16_t* name, DWORD access, DWORD share,
                          DWORD disposition, DWORD flags) = nullptr;
  // Makes the directory `name` in `directory`, private to the run (see
  // IsPrivateDirectory), and returns it open with `access` as it was made,
  // never looked up again by its name, which someone who may write the
  // parent could have swapped meanwhile. Never follows a link; any object
  // at the name fails with ERROR_ALREADY_EXISTS.
  HANDLE (*CreateDirectoryAtW)(HANDLE directory, const char16_t* name, DWORD access) = nullptr;
  // Calls `handler` whenever the system asks the process to stop: Ctrl-C,
  // Ctrl-Break and the console closing (on Linux SIGINT, SIGTERM and
  // SIGHUP). It may run on another thread or inside a signal handler, so it
  // may only touch atomics and make calls that are safe there.
  BOOL (*SetConsoleCtrlHandler)(BOOL (*handler)(DWORD event), BOOL add) = nullptr;
  // Ends the process at once with `exit_code`; safe inside a signal handler.
  void (*ExitProcess)(UINT exit_code) = nullptr;
  // Moves up to `max_bytes` from the source's position to the destination's
  // inside the kernel (a reflink or a server-side copy where the file system
  // offers one); a hole in the source is skipped on both sides and counted
  // in *moved, so it stays a hole. *moved is 0 at the end of the source.
  // Null where data goes only through ReadFile and WriteFile.
  BOOL (*CopyFileRange)(HANDLE source, HANDLE destination, DWORD max_bytes, uint64_t* moved) = nullptr;
  // A new file for the run alone: `name` in `directory` is taken for it
  // (CREATE_NEW: no link is followed, a taken name fails with
  // ERROR_FILE_EXISTS), and no one else can open it while the run writes it
  // (Windows: no sharing; Linux: an unnamed O_TMPFILE that gets `name` only
  // when it is put in place, else a file of mode 0600). It starts with the
  // security a new file gets in `directory`.
  HANDLE (*CreateTemporaryFileAtW)(HANDLE directory, const char16_t* name, DWORD access) = nullptr;
  // Puts `file`, made by CreateTemporaryFileAtW as `name` in `directory`, at
  // `new_name` in the same directory, whole. With `replace`, a file already
  // at `new_name` is replaced as a name (a link or another hard link's data
  // is never written through), a read-only one included; without it, a
  // taken name fails with ERROR_ALREADY_EXISTS. A directory at `new_name` is
  // never replaced.
  BOOL (*MoveFileAtW)(HANDLE file, HANDLE directory, const char16_t* name,
                      const char16_t* new_name, BOOL replace) = nullptr;
  // Removes the file, link or special file `name` from `directory`: a link
  // itself (a directory link too), never its target, and never a directory.
  BOOL (*DeleteFileAtW)(HANDLE directory, const char16_t* name) = nullptr;
  // Gives an object the run made private (a directory it created, a
  // temporary file) the security a new object gets in `directory`, its
  // parent (Linux: the umask, or the default ACL; Windows: the parent's
  // inheritable entries). `directory` is null for a root. With `like`, the
  // object it copies: on Linux the new object is made as a create with
  // `like`'s permission bits (less set-id bits) would make it, so no copy is
  // more open than its source (what `cp -r` gives); Windows keeps the
  // parent's entries. Null where new objects are never made private.
  BOOL (*ApplyInheritedSecurity)(HANDLE object, HANDLE directory, HANDLE like) = nullptr;
  // The 128-bit file identifier. Null where the 64-bit index is unique
  // (Linux: the inode).
  BOOL (*GetFileIdInfo)(HANDLE file, FILE_ID_INFO* info) = nullptr;
  // The object's final path, as the system resolved it, in `units` units
  // with the terminating zero; returns its length, or the length needed
  // (with the zero) when `units` is too small, or 0 on failure. Null where
  // every object has a known identity.
  DWORD (*GetFinalPathNameByHandleW)(HANDLE file, char16_t* path, DWORD units) = nullptr;
  // Gives the open file `file` the further name `name` in `directory`
  // (handle-relative; never replaces, never follows a link at `name`).
  // ERROR_NOT_SAME_DEVICE across volumes; ERROR_NOT_SUPPORTED where the file
  // system has no hard links.
  BOOL (*CreateHardLinkAtW)(HANDLE file, HANDLE directory, const char16_t* name) = nullptr;
  // Makes `destination`'s attributes `source`'s (Windows: the attributes
  // SetFileAttributes accepts; Linux: the user.* extended attributes, where
  // Samba and Wine keep DOS attributes and streams, added, changed and
  // removed). Writes nothing where they already match.
  BOOL (*CopyAttributes)(HANDLE source, HANDLE destination) = nullptr;
  // The target of the link open as `link` (FILE_FLAG_OPEN_NODE), as bytes
  // for CreateLinkAtW: Windows the reparse data, Linux the link's text.
  // ERROR_NOT_A_REPARSE_POINT where the object is no link (Windows: a
  // reparse point whose tag is not a name surrogate, a deduplicated or
  // cloud file, is data; an application alias, data in its reparse point
  // alone, is carried as one).
  BOOL (*ReadLinkTarget)(HANDLE link, void* target, DWORD size, DWORD* returned) = nullptr;
  // A new link `name` in `directory` (never replaces, never follows) with a
  // target ReadLinkTarget returned, made a directory link where
  // `attributes` has FILE_ATTRIBUTE_DIRECTORY; returns it open as a node
  // with `access`.
  HANDLE (*CreateLinkAtW)(HANDLE directory, const char16_t* name, const void* target, DWORD size,
                          DWORD attributes, DWORD access) = nullptr;
  // A new special file `name` in `directory` of the kind and device numbers
  // of `like` (a node), private to the run until its security is set;
  // returns it open as a node with `access`. Null where there are none.
  HANDLE (*CreateSpecialAtW)(HANDLE directory, const char16_t* name, HANDLE like, DWORD access) = nullptr;
  // The data streams of `file` as FILE_STREAM_INFO records
  // (GetFileInformationByHandleEx with FileStreamInfo): ERROR_HANDLE_EOF
  // where it has none (a directory), ERROR_MORE_DATA where `size` is too
  // small. Null where a file has its own data only.
  BOOL (*GetStreamInformation)(HANDLE file, void* records, DWORD size) = nullptr;
  // The stream `stream` (":name:$DATA") of the open `file`, opened
  // (OPEN_EXISTING) or made (CREATE_NEW) relative to it, never by path.
  // Null where a file has its own data only.
  HANDLE (*CreateStreamW)(HANDLE file, const char16_t* stream, DWORD access, DWORD disposition) = nullptr;
  // The ranges of `file` that hold data within [offset, offset + length)
  // (FSCTL_QUERY_ALLOCATED_RANGES): up to `count` of them, their number in
  // *returned; ERROR_MORE_DATA where more follow. Null where holes are kept
  // by CopyFileRange.
  BOOL (*GetAllocatedRanges)(HANDLE file, int64_t offset, int64_t length,
                             FILE_ALLOCATED_RANGE_BUFFER* ranges, DWORD count, DWORD* returned) = nullptr;
  // Makes `file` sparse (FSCTL_SET_SPARSE): what is never written stays a
  // hole. Null with GetAllocatedRanges.
  BOOL (*SetSparse)(HANDLE file) = nullptr;
  // Moves the file's position to `offset` from its start. Null with
  // GetAllocatedRanges.
  BOOL (*SetFilePointerEx)(HANDLE file, int64_t offset, int64_t* position, DWORD method) = nullptr;
  // Ends the file at its position. Null with GetAllocatedRanges.
  BOOL (*SetEndOfFile)(HANDLE file) = nullptr;
  // Removes the empty directory `name` from `directory`, never through a
  // link; ERROR_DIR_NOT_EMPTY where it holds anything.
  BOOL (*RemoveDirectoryAtW)(HANDLE directory, const char16_t* name) = nullptr;
  // Moves the entry `name` of `directory`, open as `object` (DELETE access;
  // a link or a directory as itself), to `new_name` in `to_directory` on the
  // same volume, whole: a directory with everything in it. Never replaces
  // (ERROR_ALREADY_EXISTS); ERROR_NOT_SAME_DEVICE across volumes.
  BOOL (*MoveEntryAtW)(HANDLE object, HANDLE directory, const char16_t* name, HANDLE to_directory,
                       const char16_t* new_name) = nullptr;
  // Waits `milliseconds`.
  void (*Sleep)(DWORD milliseconds) = nullptr;
  // Upper-cases the `units` units of `name` in place as the system's
  // case-insensitive ordinal comparison does, unit by unit, so that two
  // names a volume takes for one upper-case alike (Windows: LCMapStringEx
  // with the invariant locale's simple mapping). Null where names compare
  // byte for byte (Linux).
  BOOL (*UpcaseName)(char16_t* name, DWORD units) = nullptr;
  // Whether the names in the open `directory` compare with case although
  // its volume ignores case (Windows: a directory marked case-sensitive,
  // FileCaseSensitiveInfo); a file system that cannot tell says no. Null
  // with UpcaseName.
  BOOL (*IsCaseSensitiveDirectory)(HANDLE directory, BOOL* sensitive) = nullptr;
  // The time the object's metadata (security, attributes, names, data)
  // last changed (Windows: FILE_BASIC_INFO's ChangeTime; Linux: ctime),
  // which no caller can set. Null where the system keeps none.
  BOOL (*GetChangeTime)(HANDLE file, FILETIME* change) = nullptr;
  // Gives `destination` the access and write times `source` had when its
  // information was last taken, to every digit its file system keeps
  // (Linux: nanoseconds, where FILETIME holds 100 ns). Null where
  // SetFileTime carries them whole (Windows).
  BOOL (*CopyFileTimes)(HANDLE source, HANDLE destination) = nullptr;
  // The directory that holds the open directory `directory`, opened with
  // `access` (Linux: a directory descriptor, whatever the access); fails at
  // the top of its tree (Linux: "/" ; Windows: a volume's root). The caller
  // checks that it is the directory it expects.
  HANDLE (*OpenParentDirectory)(HANDLE directory, DWORD access) = nullptr;
  // A value the run keeps about a destination directory in the directory
  // itself, out of sight (Linux: the extended attribute "trusted.velmox."
  // `name`; Windows: the named stream ":velmox." `name`). Get fails with
  // ERROR_FILE_NOT_FOUND where none is kept and ERROR_MORE_DATA where
  // `size` is too small; Set with `size` 0 removes the value. Null where
  // nothing can be kept.
  BOOL (*GetDirectoryMark)(HANDLE directory, const char16_t* name, void* value, DWORD size,
                           DWORD* returned) = nullptr;
  BOOL (*SetDirectoryMark)(HANDLE directory, const char16_t* name, const void* value,
                           DWORD size) = nullptr;
  // Makes what was written to `file` (its data and what describes it)
  // durable (Linux: fsync).
  BOOL (*FlushFileBuffers)(HANDLE file) = nullptr;
  // Makes everything written on the file system that holds `object`
  // durable, in one call (Linux: syncfs; Windows: FlushFileBuffers on its
  // volume, which needs the right to open the volume for writing:
  // ERROR_ACCESS_DENIED where the run lacks it, or on a share). With
  // `probe_only`, says whether the run could, as cheaply as the system
  // allows (Linux: without a flush; Windows: by flushing once).
  BOOL (*FlushVolume)(HANDLE object, BOOL probe_only) = nullptr;
  // Fills `buffer` with `size` bytes no one can predict (Linux: getrandom;
  // Windows: BCryptGenRandom).
  BOOL (*GenerateRandom)(void* buffer, DWORD size) = nullptr;
  // Whether the object is owned by whom the run makes objects for (Linux:
  // the effective user; Windows: the token's owner for new objects).
  BOOL (*IsOwnedByRunner)(HANDLE object, BOOL* owned) = nullptr;
  // Whether a directory is in the private state the run gives the
  // directories it makes until their subtree is done (Linux: the runner's,
  // mode 0700; Windows: a protected access list of one entry, the runner's).
  BOOL (*IsPrivateDirectory)(HANDLE directory, BOOL* is_private) = nullptr;
  // Takes the set-user-ID and set-group-ID bits off the file (Linux: as the
  // kernel does when someone else writes it); writes nothing where they are
  // off. Null where files have none (Windows).
  BOOL (*ClearSetIdBits)(HANDLE file) = nullptr;
  // Whether the link `name` in `directory`, whose target is open as
  // `target`, may be followed by a run with every right: its owner could
  // have read the target anyway (Linux: the link's owner is root or owns the
  // target; Windows: SYSTEM or the Administrators, or the target's owner).
  // A name that is no link (any more) may be followed only where it is the
  // target itself. Null where links cannot be told apart.
  BOOL (*MayFollowLink)(HANDLE directory, const char16_t* name, HANDLE target, BOOL* may) = nullptr;
  // A new file `name` in `directory` holding the encrypted file `source`
  // raw: its ciphertext, streams and key information as they are, so no key
  // is needed and no plaintext is ever written (Windows: the raw
  // encrypted-file export and import under the backup and restore
  // privileges). Returned open with `access` and no sharing, as
  // CreateTemporaryFileAtW returns a file; a taken `name` fails with
  // ERROR_FILE_EXISTS, a destination volume that cannot hold encrypted files
  // with ERROR_VOLUME_NOT_SUPPORT_EFS. Null where no file is encrypted.
  HANDLE (*CreateEncryptedCopyAtW)(HANDLE source, HANDLE directory, const char16_t* name,
                                   DWORD access) = nullptr;
  // What the file system that holds `object` keeps, as FILE_SUPPORTS_* and
  // FILE_NAMED_STREAMS flags (GetVolumeInformationByHandleW). Null where
  // every volume keeps what the other entries offer.
  BOOL (*GetVolumeFeatures)(HANDLE object, DWORD* features) = nullptr;
  // How many columns the terminal or console window that `console` writes
  // to shows now (the console window's width; the terminal's window size).
  // Fails where `console` is no terminal.
  BOOL (*GetTerminalColumns)(HANDLE console, DWORD* columns) = nullptr;
  // The names of the marks `directory` keeps (see GetDirectoryMark), each
  // ended by a NUL, in `names` of `size` units; `*returned` units used.
  // ERROR_MORE_DATA where `size` is too small. Null where there are no marks.
  BOOL (*ListDirectoryMarks)(HANDLE directory, char16_t* names, DWORD size, DWORD* returned) = nullptr;
  // A lock on the mark `name` of `directory`, held by this process until the
  // returned handle is closed, or until the process ends however it ends
  // (Linux: an open-file-description read lock on one byte of the
  // directory, chosen by the name; Windows: the mark's stream held open
  // without delete sharing). The mark is written first. Null where nothing
  // can be locked.
  HANDLE (*LockDirectoryMark)(HANDLE directory, const char16_t* name) = nullptr;
  // Whether any process holds that lock now.
  BOOL (*IsDirectoryMarkLocked)(HANDLE directory, const char16_t* name, BOOL* locked) = nullptr;
  // Whether two objects have the same owner, group and permission bits, as
  // the status each handle holds shows them (Linux: no call; a link's own
  // bits do not count). Null where owners live in the security descriptor
  // only (Windows).
  BOOL (*SameOwnerAndMode)(HANDLE one, HANDLE other, BOOL* same) = nullptr;
  // CreateFileW for a path the operator named (a log, a list), walked one
  // name at a time: a link is followed only where its owner is root or the
  // runner and no one else may write the directory that holds it
  // (ERROR_CANT_ACCESS_FILE otherwise), and the last name is opened without
  // following one. Null where CreateFileW is all there is.
  HANDLE (*CreateFileTrustedW)(const char16_t* path, DWORD access, DWORD share,
                               DWORD disposition, DWORD flags) = nullptr;
  // Whether `destination` has the attributes CopyAttributes would give it
  // from `source`, compared only.
  BOOL (*SameAttributes)(HANDLE source, HANDLE destination, BOOL* same) = nullptr;
  // Whether two objects have the same write time to every digit the file
  // systems keep (Linux: nanoseconds, from the status each handle holds).
  // Null where FILETIME holds them all (Windows).
  BOOL (*SameWriteTime)(HANDLE one, HANDLE other, BOOL* same) = nullptr;
  // How many minutes local time at the moment `utc` is ahead of UTC (behind:
  // negative), as the system's time zone rules say for that moment.
  BOOL (*GetLocalTimeOffset)(const FILETIME* utc, LONG* minutes) = nullptr;
  // The system's own name and text of the error behind the last error of
  // this thread, where it is `code` ("EEXIST: File exists"), in `text` of
  // `size` units with a NUL; the units written, 0 where there is none.
  // Null where the codes are the system's own (Windows).
  DWORD (*DescribeNativeError)(DWORD code, char16_t* text, DWORD size) = nullptr;
  // Where `file` is a reparse point whose tag the platform does not know,
  // that tag (it is then copied as the data its file system hands out);
  // fails otherwise. Null where there are no reparse points (Linux).
  BOOL (*GetUnknownReparseTag)(HANDLE file, ULONG* tag) = nullptr;
  // A name of the volume `file` lies on that no other volume takes and
  // that outlives the volume's drive letters and folders (Windows:
  // "\\?\Volume{GUID}"), in `units` units with the terminating zero;
  // returns its length, the length needed (with the zero) when `units` is
  // too small, or 0 where the volume has none (a share, a snapshot). Null
  // where volumes are known by their number alone (Linux).
  DWORD (*GetVolumeName)(HANDLE file, char16_t* name, DWORD units) = nullptr;
  // How many units at the start of the full path `path` name its volume's
  // root directory, with the separator after it ("\\?\C:\",
  // "\\?\UNC\server\share\", "/"): the rest is names below it, each opened
  // in turn. 0 where the path is no such form.
  DWORD (*VolumeRootLength)(const char16_t* path) = nullptr;
  // How many entries a directory's listing may look at at once where the
  // volume makes each look slow (a share's round trip, a cold disk); 1, the
  // start: one after another. Null where a listing brings every entry's
  // size and times with its name (Windows). Called with 1 as a run's state
  // is reset and with its copiers once its settings are read: a backend
  // also starts the run's other pacing there (Linux: how many listed
  // entries a directory keeps, the last run's closes finished).
  void (*SetLooksAtOnce)(DWORD count) = nullptr;
};
// clang-format on

// The table in force. Tests may overwrite entries and must restore them.
// Reached inline: the walk asks it for every call it makes.
extern Platform g_platform_in_force;
inline Platform& Os() {
  return g_platform_in_force;
}

// The backend of this build, untouched by any test wrapper.
const Platform& NativePlatform();

// Root path preparation: the platform's own rule for turning a path typed on
// the command line into the absolute form the walk starts from.
enum class RootPathForm { kPrepared, kUnrecognised, kTooLong };
RootPathForm PrepareRootPath(std::u16string_view typed, std::u16string* prepared);

// What a setter that compares before it writes (CopyFileTimes,
// CopyAttributes, SetKernelObjectSecurity on Linux) leaves as the last
// error when it succeeds without changing anything: the object already was
// as asked. Any other last error after success may mean a change.
constexpr DWORD kAlreadyAsAsked = ERROR_ALREADY_EXISTS;

// The separator the walk puts between a directory path and an entry name.
extern const char16_t kPathSeparator;

// Whether links are copied as links unless /FollowLinks is given: the
// platform's own tree copiers' convention (Linux keeps them; Windows
// follows them).
extern const bool kLinksKeptByDefault;

// What the operator does where the run lacks the rights it needs.
extern const char16_t* const kPrivilegeHint;

// Whether the file systems the platform knows compare names without case
// (Windows) or byte for byte (Linux).
extern const bool kNamesIgnoreCase;

}  // namespace vx
