#include "security.h"

// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

namespace vx::win32 {
namespace {

// The process token for reading, closed on every path.
struct Token {
  Token() {
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &handle)) handle = nullptr;
  }
  ~Token() {
    if (handle != nullptr) ::CloseHandle(handle);
  }
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;
  HANDLE handle = nullptr;
};

std::vector<unsigned char> SelfRelative(PSECURITY_DESCRIPTOR descriptor) {
  DWORD size = 0;
  ::MakeSelfRelativeSD(descriptor, nullptr, &size);
  std::vector<unsigned char> bytes(size);
  if (size == 0 || !::MakeSelfRelativeSD(descriptor, bytes.data(), &size)) bytes.clear();
  return bytes;
}

}  // namespace

std::vector<unsigned char> PrivateDirectoryDescriptor() {
  Token token;
  if (token.handle == nullptr) return {};
  DWORD size = 0;
  ::GetTokenInformation(token.handle, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  if (size == 0 || !::GetTokenInformation(token.handle, TokenUser, user.data(), size, &size)) {
    return {};
  }
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  std::vector<unsigned char> acl_bytes(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) +
                                       ::GetLengthSid(sid));
  auto* acl = reinterpret_cast<ACL*>(acl_bytes.data());
  SECURITY_DESCRIPTOR descriptor;
  if (!::InitializeAcl(acl, static_cast<DWORD>(acl_bytes.size()), ACL_REVISION) ||
      !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
      !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return {};
  }
  return SelfRelative(&descriptor);
}

bool InheritedDescriptor(const std::vector<unsigned char>& parent,
                         const std::vector<unsigned char>& own, bool container,
                         std::vector<unsigned char>* out) {
  out->clear();
  Token token;
  if (token.handle == nullptr) return false;
  // Only the owner and group of the object's own descriptor go in: its
  // access list is what is being computed.
  SECURITY_DESCRIPTOR creator;
  PSID owner = nullptr;
  PSID group = nullptr;
  BOOL defaulted = FALSE;
  if (!::InitializeSecurityDescriptor(&creator, SECURITY_DESCRIPTOR_REVISION) ||
      !::GetSecurityDescriptorOwner(const_cast<unsigned char*>(own.data()), &owner, &defaulted) ||
      !::GetSecurityDescriptorGroup(const_cast<unsigned char*>(own.data()), &group, &defaulted) ||
      !::SetSecurityDescriptorOwner(&creator, owner, FALSE) ||
      !::SetSecurityDescriptorGroup(&creator, group, FALSE)) {
    return false;
  }
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!::CreatePrivateObjectSecurityEx(
          parent.empty() ? nullptr : const_cast<unsigned char*>(parent.data()), &creator, &made,
          nullptr, container ? TRUE : FALSE,
          SEF_DACL_AUTO_INHERIT | SEF_AVOID_OWNER_CHECK | SEF_AVOID_PRIVILEGE_CHECK, token.handle,
          &mapping)) {
    return false;
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (::GetSecurityDescriptorDacl(made, &present, &dacl, &defaulted) && present &&
      dacl != nullptr) {
    *out = SelfRelative(made);
  }
  ::DestroyPrivateObjectSecurity(&made);
  return true;
}

namespace {

// One of the token's SIDs (TokenUser or TokenOwner), copied out.
std::vector<unsigned char> TokenSid(TOKEN_INFORMATION_CLASS which) {
  Token token;
  DWORD size = 0;
  if (token.handle == nullptr) return {};
  ::GetTokenInformation(token.handle, which, nullptr, 0, &size);
  std::vector<unsigned char> information(size);
  if (size == 0 || !::GetTokenInformation(token.handle, which, information.data(), size, &size)) {
    return {};
  }
  PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(information.data())->User.Sid
                                : reinterpret_cast<TOKEN_OWNER*>(information.data())->Owner;
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(bytes, bytes + ::GetLengthSid(sid));
}

}  // namespace

bool IsOwnedByRunner(void* object, int* owned) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD code = ::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                       nullptr, nullptr, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) {
    ::SetLastError(code);
    return 0;
  }
  std::vector<unsigned char> runner = TokenSid(TokenOwner);
  *owned = owner != nullptr && !runner.empty() && ::EqualSid(owner, runner.data());
  ::LocalFree(descriptor);
  return 1;
}

bool IsPrivateDescriptor(const void* descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  void* ace = nullptr;
  auto* self = const_cast<void*>(descriptor);
  const std::vector<unsigned char> user = TokenSid(TokenUser);
  return ::GetSecurityDescriptorDacl(self, &present, &dacl, &defaulted) && present &&
         dacl != nullptr && dacl->AceCount == 1 && !user.empty() &&
         ::GetSecurityDescriptorControl(self, &control, &revision) &&
         (control & SE_DACL_PROTECTED) != 0 && ::GetAce(dacl, 0, &ace) &&
         static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
         ::EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart,
                    const_cast<unsigned char*>(user.data()));
}

bool IsPrivateDirectory(void* directory, int* is_private) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD code = ::GetSecurityInfo(directory, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, &dacl, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) {
    ::SetLastError(code);
    return 0;
  }
  *is_private = IsPrivateDescriptor(descriptor);
  ::LocalFree(descriptor);
  return 1;
}

bool MayFollowLink(void* link, void* target, int* may) {
  PSID link_owner = nullptr;
  PSID target_owner = nullptr;
  PSECURITY_DESCRIPTOR link_descriptor = nullptr;
  PSECURITY_DESCRIPTOR target_descriptor = nullptr;
  DWORD code = ::GetSecurityInfo(link, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &link_owner,
                                 nullptr, nullptr, nullptr, &link_descriptor);
  if (code == ERROR_SUCCESS) {
    code = ::GetSecurityInfo(target, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &target_owner,
                             nullptr, nullptr, nullptr, &target_descriptor);
  }
  if (code == ERROR_SUCCESS) {
    *may = link_owner != nullptr &&
           (::IsWellKnownSid(link_owner, WinLocalSystemSid) ||
            ::IsWellKnownSid(link_owner, WinBuiltinAdministratorsSid) ||
            (target_owner != nullptr && ::EqualSid(link_owner, target_owner)));
  }
  if (link_descriptor != nullptr) ::LocalFree(link_descriptor);
  if (target_descriptor != nullptr) ::LocalFree(target_descriptor);
  ::SetLastError(code);
  return code == ERROR_SUCCESS;
}

bool ComputesInheritance() {
  PSECURITY_DESCRIPTOR parent = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYG:SYD:(A;OICI;FA;;;SY)",
                                                              SDDL_REVISION_1, &parent, nullptr)) {
    return false;
  }
  const auto* bytes = static_cast<const unsigned char*>(parent);
  const std::vector<unsigned char> descriptor(bytes, bytes + ::GetSecurityDescriptorLength(parent));
  ::LocalFree(parent);
  std::vector<unsigned char> made;
  return InheritedDescriptor(descriptor, descriptor, true, &made) && !made.empty();
}

}  // namespace vx::win32
