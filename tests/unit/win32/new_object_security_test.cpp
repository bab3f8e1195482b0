// The security of directories the run creates: private while it fills
// them, then what any new directory there gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "copy_fixture.h"
#include "platform/win32/security.h"
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

namespace vx {
namespace {

using testing::Call;
using testing::Fault;
using testing::FaultInjector;

struct AccessList {
  bool protected_list = false;
  std::vector<std::string> entries;  // each ACE's bytes, inheritance flags included
  bool operator==(const AccessList&) const = default;
};

AccessList AccessListOf(const std::filesystem::path& path) {
  AccessList list;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  EXPECT_EQ(::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &dacl, nullptr, &descriptor),
            ERROR_SUCCESS)
      << path;
  if (descriptor == nullptr) return list;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  ::DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  list.protected_list = (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    list.entries.emplace_back(static_cast<const char*>(ace), header->AceSize);
  }
  ::LocalFree(descriptor);
  return list;
}

AccessList AccessListIn(const void* descriptor) {
  AccessList list;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  ::DWORD revision = 0;
  ::GetSecurityDescriptorControl(const_cast<void*>(descriptor), &control, &revision);
  list.protected_list = (control & SE_DACL_PROTECTED) != 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(const_cast<void*>(descriptor), &present, &dacl, &defaulted);
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (::GetAce(dacl, i, &ace)) {
      list.entries.emplace_back(static_cast<const char*>(ace),
                                static_cast<ACE_HEADER*>(ace)->AceSize);
    }
  }
  return list;
}

// A directory the run is filling lets in the run's user alone and inherits
// nothing. (Wine keeps no access list given at a create, so the walk below
// cannot show it on a directory.)
TEST(PrivateDirectoryDescriptorTest, LetsInTheRunsUserAloneAndInheritsNothing) {
  const std::vector<unsigned char> descriptor = win32::PrivateDirectoryDescriptor();
  ASSERT_FALSE(descriptor.empty());
  const AccessList list = AccessListIn(descriptor.data());
  EXPECT_TRUE(list.protected_list);
  ASSERT_EQ(list.entries.size(), 1u);
  const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(list.entries[0].data());
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(ace->Header.AceFlags, 0);
  EXPECT_EQ(ace->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
  HANDLE token = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
  unsigned char user[256];
  ::DWORD size = sizeof user;
  ASSERT_TRUE(::GetTokenInformation(token, TokenUser, user, size, &size));
  ::CloseHandle(token);
  EXPECT_TRUE(::EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid,
                         const_cast<::DWORD*>(&ace->SidStart)));
}

// Where the system computes inheritance, only the parent's inheritable
// entries reach a new directory, marked inherited, and CREATOR OWNER is
// the new object's own owner.
TEST(PrivateDirectoryDescriptorTest, ANewDirectoryTakesTheParentsInheritableEntries) {
  auto bytes_of = [](const wchar_t* text) {
    PSECURITY_DESCRIPTOR made = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1,
                                                                       &made, nullptr));
    const auto* bytes = static_cast<const unsigned char*>(made);
    std::vector<unsigned char> out(bytes, bytes + ::GetSecurityDescriptorLength(made));
    ::LocalFree(made);
    return out;
  };
  const std::vector<unsigned char> parent =
      bytes_of(L"O:BAG:BAD:(A;OICI;FA;;;SY)(A;;FA;;;BU)(A;OICIIO;FA;;;CO)");
  const std::vector<unsigned char> own = bytes_of(L"O:BUG:BU");
  std::vector<unsigned char> made;
  ASSERT_TRUE(win32::InheritedDescriptor(parent, own, true, &made));
  if (made.empty()) GTEST_SKIP() << "this system computes no inherited access list";
  const AccessList list = AccessListIn(made.data());
  EXPECT_FALSE(list.protected_list);
  ASSERT_GE(list.entries.size(), 2u);
  const auto* first = reinterpret_cast<const ACE_HEADER*>(list.entries[0].data());
  EXPECT_EQ(first->AceFlags, INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
  // The CREATOR OWNER entry in effect names the object's owner, not the run's.
  bool owner_named = false;
  for (const std::string& entry : list.entries) {
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(entry.data());
    owner_named |= (ace->Header.AceFlags & INHERIT_ONLY_ACE) == 0 &&
                   ::IsWellKnownSid(const_cast<::DWORD*>(&ace->SidStart), WinBuiltinUsersSid);
  }
  EXPECT_TRUE(owner_named);
}

// The security a directory will end with: up through the private parents
// the run is still filling to the first that is finished, then down, a new
// directory's at each level. Strings stand in for descriptors.
TEST(FinalDescriptorTest, IsComputedFromTheFirstFinishedAncestor) {
  struct Ops {
    std::vector<std::string> chain;  // each directory's own descriptor, the top first
    std::vector<std::string> computed;
    bool read(size_t at, std::vector<unsigned char>* out) {
      out->assign(chain[at].begin(), chain[at].end());
      return true;
    }
    // "private": the run's (shape and mark); "private shape": an
    // administrator's, the same shape without the run's mark.
    bool is_private(size_t, const std::vector<unsigned char>& d) {
      return std::string(d.begin(), d.end()) == "private";
    }
    bool parent_fails = false;
    win32::ParentOpen open_parent(size_t at, size_t* parent) {
      if (at == 0) return win32::ParentOpen::kTop;
      if (parent_fails) return win32::ParentOpen::kFailed;
      *parent = at - 1;
      return win32::ParentOpen::kOpened;
    }
    void close(size_t) {}
    bool inherit(const std::vector<unsigned char>& parent, const std::vector<unsigned char>&,
                 bool container, std::vector<unsigned char>* out) {
      EXPECT_TRUE(container);
      const std::string made = "new in(" + std::string(parent.begin(), parent.end()) + ")";
      computed.push_back(made);
      out->assign(made.begin(), made.end());
      return true;
    }
  };
  const struct {
    std::vector<std::string> chain;
    bool parent_fails;
    std::string final_of_last;  // empty: none can be told
  } cases[] = {
      {{"staff", "private", "private", "private"}, false, "new in(new in(new in(staff)))"},
      {{"staff", "finished"}, false, "finished"},
      {{"staff", "private shape", "private"}, false, "new in(private shape)"},
      {{"private"}, false, "new in()"},  // a private top of the tree: as from no parent
      {{"staff", "private"}, true, ""},  // never taken for the top
  };
  for (const auto& c : cases) {
    Ops ops{c.chain, {}, c.parent_fails};
    std::vector<unsigned char> out;
    ASSERT_EQ(win32::FinalDescriptorOf(c.chain.size() - 1, ops, &out), !c.final_of_last.empty());
    EXPECT_EQ(std::string(out.begin(), out.end()), c.final_of_last);
  }
}

class NewDirectorySecurityTest : public testing::WalkFixture {
 protected:
  void SetUp() override {
    WalkFixture::SetUp();
    scratch_.MakeDir(u"src/sub");
    scratch_.Write(u"src/sub/secret", "secret");
  }
};

// Once its subtree is done, a directory the run created holds what a
// directory created there the ordinary way holds.
TEST_F(NewDirectorySecurityTest, EndsAsAnyNewDirectory) {
  EXPECT_EQ(Walk(), 1);
  ASSERT_TRUE(::CreateDirectoryW(scratch_.Fs(u"dst/ordinary").c_str(), nullptr));
  EXPECT_EQ(AccessListOf(scratch_.Fs(u"dst/sub")), AccessListOf(scratch_.Fs(u"dst/ordinary")));
  EXPECT_EQ(scratch_.Read(u"dst/sub/secret"), "secret");
}

// A failed final step is one ERR for the directory.
TEST_F(NewDirectorySecurityTest, AFailedFinalSecurityIsReported) {
  scratch_.MakeDir(u"src/empty");
  FaultInjector faults;
  Bind();
  faults.Add(Fault{Call::kApplyInheritedSecurity, 1, Frag(u"dst/empty"), ERROR_ACCESS_DENIED});
  Walk();
  EXPECT_EQ(ErrorLog(),
            testing::ErrLine(1, P(u"dst/empty"), u"SetKernelObjectSecurity(DESTINATION-DIR)",
                             ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace vx
