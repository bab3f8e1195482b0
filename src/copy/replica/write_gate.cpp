#include "write_gate.h"

#include <atomic>
#include <mutex>

#include "../run_settings.h"

namespace vx {

namespace {

// The entries the gate stands in front of, as they were.
Platform g_inner;
std::atomic<bool> g_installed{false};
std::atomic<uint64_t> g_changes{0};

// The first name change waits for `g_before`; after it, `g_refusal` (0:
// none) is what every name change fails with.
std::mutex g_mutex;
std::atomic<bool> g_holding{false};
DWORD (*g_before)() = nullptr;
std::atomic<DWORD> g_refusal{0};

// A call that makes, renames or removes a name: false (the error set)
// where it must not go on.
bool PassNameChange() {
  g_changes.fetch_add(1, std::memory_order_relaxed);
  if (g_holding.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_holding.load(std::memory_order_relaxed)) {
      g_refusal.store(g_before());
      g_holding.store(false, std::memory_order_release);
    }
  }
  const DWORD refusal = g_refusal.load();
  if (refusal == 0) return true;
  g_inner.SetLastError(refusal);
  return false;
}

// A setter on an existing object: counted unless it changed nothing.
template <typename Call>
BOOL CountedSetter(Call call) {
  g_inner.SetLastError(ERROR_SUCCESS);
  const BOOL done = call();
  if (done && g_inner.GetLastError() != kAlreadyAsAsked) {
    g_changes.fetch_add(1, std::memory_order_relaxed);
  }
  return done;
}

HANDLE CreateFileW(const char16_t* name, DWORD access, DWORD share, void* security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
  if (disposition != OPEN_EXISTING && !PassNameChange()) return INVALID_HANDLE_VALUE;
  return g_inner.CreateFileW(name, access, share, security, disposition, flags, template_file);
}
BOOL CreateDirectoryW(const char16_t* name, void* security) {
  return PassNameChange() && g_inner.CreateDirectoryW(name, security);
}
HANDLE CreateFileAtW(HANDLE directory, const char16_t* name, DWORD access, DWORD share,
                     DWORD disposition, DWORD flags) {
  if (disposition != OPEN_EXISTING && !PassNameChange()) return INVALID_HANDLE_VALUE;
  return g_inner.CreateFileAtW(directory, name, access, share, disposition, flags);
}
HANDLE CreateDirectoryAtW(HANDLE directory, const char16_t* name, DWORD access) {
  if (!PassNameChange()) return INVALID_HANDLE_VALUE;
  return g_inner.CreateDirectoryAtW(directory, name, access);
}
HANDLE CreateTemporaryFileAtW(HANDLE directory, const char16_t* name, DWORD access) {
  if (!PassNameChange()) return INVALID_HANDLE_VALUE;
  return g_inner.CreateTemporaryFileAtW(directory, name, access);
}
BOOL MoveFileAtW(HANDLE file, HANDLE directory, const char16_t* name, const char16_t* new_name,
                 BOOL replace) {
  return PassNameChange() && g_inner.MoveFileAtW(file, directory, name, new_name, replace);
}
BOOL DeleteFileAtW(HANDLE directory, const char16_t* name) {
  return PassNameChange() && g_inner.DeleteFileAtW(directory, name);
}
BOOL RemoveDirectoryAtW(HANDLE directory, const char16_t* name) {
  return PassNameChange() && g_inner.RemoveDirectoryAtW(directory, name);
}
BOOL CreateHardLinkAtW(HANDLE file, HANDLE directory, const char16_t* name) {
  return PassNameChange() && g_inner.CreateHardLinkAtW(file, directory, name);
}
BOOL MoveEntryAtW(HANDLE object, HANDLE directory, const char16_t* name, HANDLE to_directory,
                  const char16_t* new_name) {
  return PassNameChange() && g_inner.MoveEntryAtW(object, directory, name, to_directory, new_name);
}
HANDLE CreateLinkAtW(HANDLE directory, const char16_t* name, const void* target, DWORD size,
                     DWORD attributes, DWORD access) {
  if (!PassNameChange()) return INVALID_HANDLE_VALUE;
  return g_inner.CreateLinkAtW(directory, name, target, size, attributes, access);
}
HANDLE CreateSpecialAtW(HANDLE directory, const char16_t* name, HANDLE like, DWORD access) {
  if (!PassNameChange()) return INVALID_HANDLE_VALUE;
  return g_inner.CreateSpecialAtW(directory, name, like, access);
}
HANDLE CreateEncryptedCopyAtW(HANDLE source, HANDLE directory, const char16_t* name,
                              DWORD access) {
  if (!PassNameChange()) return INVALID_HANDLE_VALUE;
  return g_inner.CreateEncryptedCopyAtW(source, directory, name, access);
}
HANDLE CreateStreamW(HANDLE file, const char16_t* stream, DWORD access, DWORD disposition) {
  if (disposition != OPEN_EXISTING && !PassNameChange()) return INVALID_HANDLE_VALUE;
  return g_inner.CreateStreamW(file, stream, access, disposition);
}

BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access,
                 const FILETIME* write) {
  return CountedSetter([&] { return g_inner.SetFileTime(file, creation, access, write); });
}
BOOL CopyFileTimes(HANDLE source, HANDLE destination) {
  return CountedSetter([&] { return g_inner.CopyFileTimes(source, destination); });
}
BOOL CopyAttributes(HANDLE source, HANDLE destination) {
  return CountedSetter([&] { return g_inner.CopyAttributes(source, destination); });
}
BOOL SetKernelObjectSecurity(HANDLE object, DWORD information, void* descriptor) {
  return CountedSetter(
      [&] { return g_inner.SetKernelObjectSecurity(object, information, descriptor); });
}
BOOL ApplyInheritedSecurity(HANDLE object, HANDLE directory, HANDLE like) {
  return CountedSetter([&] { return g_inner.ApplyInheritedSecurity(object, directory, like); });
}
BOOL ClearSetIdBits(HANDLE file) {
  return CountedSetter([&] { return g_inner.ClearSetIdBits(file); });
}
BOOL SetDirectoryMark(HANDLE directory, const char16_t* name, const void* value, DWORD size) {
  return CountedSetter([&] { return g_inner.SetDirectoryMark(directory, name, value, size); });
}

// Each entry the gate stands in front of, with its stand-in.
template <typename Visit>
void EachGated(Visit visit) {
  visit(&Platform::CreateFileW, &CreateFileW);
  visit(&Platform::CreateDirectoryW, &CreateDirectoryW);
  visit(&Platform::CreateFileAtW, &CreateFileAtW);
  visit(&Platform::CreateDirectoryAtW, &CreateDirectoryAtW);
  visit(&Platform::CreateTemporaryFileAtW, &CreateTemporaryFileAtW);
  visit(&Platform::MoveFileAtW, &MoveFileAtW);
  visit(&Platform::DeleteFileAtW, &DeleteFileAtW);
  visit(&Platform::RemoveDirectoryAtW, &RemoveDirectoryAtW);
  visit(&Platform::CreateHardLinkAtW, &CreateHardLinkAtW);
  visit(&Platform::MoveEntryAtW, &MoveEntryAtW);
  visit(&Platform::CreateLinkAtW, &CreateLinkAtW);
  visit(&Platform::CreateSpecialAtW, &CreateSpecialAtW);
  visit(&Platform::CreateEncryptedCopyAtW, &CreateEncryptedCopyAtW);
  visit(&Platform::CreateStreamW, &CreateStreamW);
  visit(&Platform::SetFileTime, &SetFileTime);
  visit(&Platform::CopyFileTimes, &CopyFileTimes);
  visit(&Platform::CopyAttributes, &CopyAttributes);
  visit(&Platform::SetKernelObjectSecurity, &SetKernelObjectSecurity);
  visit(&Platform::ApplyInheritedSecurity, &ApplyInheritedSecurity);
  visit(&Platform::ClearSetIdBits, &ClearSetIdBits);
  visit(&Platform::SetDirectoryMark, &SetDirectoryMark);
}

}  // namespace

WriteGate::WriteGate() {
  if (WritesNothing() || g_installed.exchange(true)) return;
  installed_ = true;
  Platform& table = Os();
  g_inner = table;
  g_changes.store(0);
  g_holding.store(false);
  g_refusal.store(0);
  // An entry the platform lacks stays absent.
  EachGated([&table](auto entry, auto gate) {
    if (table.*entry != nullptr) table.*entry = gate;
  });
}

WriteGate::~WriteGate() {
  if (!installed_) return;
  Platform& table = Os();
  EachGated([&table](auto entry, auto) { table.*entry = g_inner.*entry; });
  g_holding.store(false);
  g_installed.store(false);
}

void HoldFirstNameChange(DWORD (*before)()) {
  if (!g_installed.load()) {
    g_refusal.store(before());
    return;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_before = before;
  g_holding.store(true, std::memory_order_release);
}

uint64_t ChangesPassed() {
  return g_changes.load(std::memory_order_relaxed);
}

}  // namespace vx
