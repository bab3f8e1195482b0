// Opening a path the operator named (a log, a list) as root without being
// led by a link someone else planted: the path is walked one name at a
// time, and a link is followed only where its owner is root or the runner
// and no one else may write the directory that holds it, since anyone who
// may write there could have put it there or swapped it since.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string>

#include "internal.h"

namespace vx::posix {

HANDLE CreateFileAtW(HANDLE directory, const char16_t* name, DWORD access, DWORD share,
                     DWORD disposition, DWORD flags);
BOOL CloseHandle(HANDLE object);

namespace {

constexpr int kMostLinks = 40;

bool IsTrusted(uid_t owner) { return owner == 0 || owner == geteuid(); }

// Whether someone other than root and the runner may change what the
// directory holds.
bool OthersMayWrite(const struct stat& directory) {
  return !IsTrusted(directory.st_uid) || (directory.st_mode & S_IWOTH) != 0 ||
         ((directory.st_mode & S_IWGRP) != 0 && directory.st_gid != 0);
}

void PushNames(const std::string& path, std::deque<std::string>* names) {
  std::deque<std::string> added;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at && path.compare(at, end - at, ".") != 0) added.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  names->insert(names->begin(), added.begin(), added.end());
}

int OpenDirectoryAt(int directory, const char* name) {
  int fd;
  do {
    fd = openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

HANDLE CreateFileTrustedW(const char16_t* path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags) {
  const std::string whole = EncodeFileName(path);
  std::deque<std::string> names;
  PushNames(whole, &names);
  int directory = OpenDirectoryAt(AT_FDCWD, !whole.empty() && whole[0] == '/' ? "/" : ".");
  if (directory < 0) return FailWithErrno(errno, whole);
  int links = 0;
  std::string last;
  while (!names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    struct stat found;
    if (fstatat(directory, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT && names.empty()) {  // a log to be made
        last = name;
        break;
      }
      const int error = errno;
      close(directory);
      return FailWithErrno(error, whole);
    }
    if (S_ISLNK(found.st_mode)) {
      struct stat holder;
      if (fstat(directory, &holder) != 0 || !IsTrusted(found.st_uid) || OthersMayWrite(holder) ||
          ++links > kMostLinks) {
        close(directory);
        return Fail(links > kMostLinks ? ERROR_CANT_RESOLVE_FILENAME : ERROR_CANT_ACCESS_FILE);
      }
      std::string target(4096, '\0');
      const ssize_t got = readlinkat(directory, name.c_str(), target.data(), target.size());
      if (got < 0 || static_cast<size_t>(got) >= target.size()) {
        close(directory);
        return Fail(ERROR_CANT_RESOLVE_FILENAME);
      }
      target.resize(static_cast<size_t>(got));
      if (target[0] == '/') {
        close(directory);
        directory = OpenDirectoryAt(AT_FDCWD, "/");
        if (directory < 0) return FailWithErrno(errno, whole);
      }
      PushNames(target, &names);
      continue;
    }
    if (names.empty()) {
      last = name;
      break;
    }
    const int below = OpenDirectoryAt(directory, name.c_str());
    const int error = errno;
    close(directory);
    if (below < 0) return FailWithErrno(error, whole);
    directory = below;
  }
  if (last.empty()) {
    close(directory);
    return Fail(ERROR_INVALID_NAME);
  }
  // The last name itself is opened without following a link: one swapped
  // in since it was looked at fails.
  auto* parent = NewHandle();
  parent->fd = directory;
  HANDLE opened = CreateFileAtW(parent, DecodeFileName(last).c_str(), access, share, disposition,
                                flags | FILE_FLAG_OPEN_REPARSE_POINT);
  // An open the handle would defer until first used is made now, while
  // the directory is still open.
  if (opened != INVALID_HANDLE_VALUE && DescriptorOf(opened) < 0) {
    const DWORD code = LastErrorCode();
    CloseHandle(opened);
    opened = Fail(code);
  }
  const DWORD code = LastErrorCode();
  CloseHandle(parent);
  SetLastErrorCode(code);
  return opened;
}

}  // namespace vx::posix
