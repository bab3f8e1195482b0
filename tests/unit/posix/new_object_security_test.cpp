// What others can reach while the run fills the destination, and what the
// run's objects carry once it is done. Run as root, as the program is.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::Fault;
using testing::FaultInjector;

constexpr uid_t kNobody = 65534;

struct Look {
  mode_t mode;
  uid_t uid;
  gid_t gid;
  std::string access_acl;
  bool operator==(const Look&) const = default;
};

Look LookAt(const std::filesystem::path& path) {
  struct stat st;
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  std::string acl(1024, '\0');
  const ssize_t size = getxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size());
  acl.resize(size > 0 ? static_cast<size_t>(size) : 0);
  return Look{st.st_mode & 07777, st.st_uid, st.st_gid, acl};
}

class NewObjectSecurityTest : public testing::WalkFixture {
 protected:
  void SetUp() override {
    WalkFixture::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root, as the program does";
    scratch_.MakeDir(u"src/sub");
    scratch_.Write(u"src/sub/secret", "secret");
    chmod(scratch_.Fs(u"src/sub/secret").c_str(), 0600);
    chown(scratch_.Fs(u"src/sub").c_str(), kNobody, kNobody);
  }
};

// While its subtree is copied, a directory the run created is the run's own
// (mode 0700, owned by root), and so is a file written there at its name;
// the source owner's ownership comes only at the end.
TEST_F(NewObjectSecurityTest, NothingIsReachableWhileTheRunFillsIt) {
  Settings.SecurityDescriptor = 1;
  FaultInjector faults;
  Bind();
  Look during{};
  Look secret_during{};
  faults.Add(Fault{Call::kSetFileTime, 1, Frag(u"dst/sub/secret"), 0, 0, Fault::Kind::kBefore, 0,
                   [&] {
                     during = LookAt(scratch_.Fs(u"dst/sub"));
                     secret_during = LookAt(scratch_.Fs(u"dst/sub/secret"));
                   }});
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(during.mode, 0700u);
  EXPECT_EQ(during.uid, 0u);
  EXPECT_EQ(secret_during.uid, 0u);
  EXPECT_EQ(LookAt(scratch_.Fs(u"dst/sub")), LookAt(scratch_.Fs(u"src/sub")));
  EXPECT_EQ(LookAt(scratch_.Fs(u"dst/sub/secret")), LookAt(scratch_.Fs(u"src/sub/secret")));
}

// Without /SecurityDescriptor new objects end as a create with their
// source's permission bits would make them in their directory (the umask,
// or a default ACL), as `cp -r` does: a 0600 file stays 0600 and a 0700
// directory 0700, never more open than the source. A replaced file keeps
// the old file's owner, group and mode, as writing into it kept them.
TEST_F(NewObjectSecurityTest, WithoutDescriptorsNewObjectsAreOrdinaryAndReplacedFilesKeepTheirs) {
  scratch_.MakeDir(u"dst");
  const bool acls = system(("setfacl -d -m u:nobody:rwx " + scratch_.Fs(u"dst").string() +
                            " 2>/dev/null").c_str()) == 0;
  // What the system gives a new directory and a new file there, made with
  // the source's bits: a private directory and a private file.
  ASSERT_EQ(chmod(scratch_.Fs(u"src/sub").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(scratch_.Fs(u"dst/reference").c_str(), 0700), 0);
  const int reference =
      open(scratch_.Fs(u"dst/reference/file").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0600);
  ASSERT_GE(reference, 0);
  close(reference);
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(LookAt(scratch_.Fs(u"dst/sub")), LookAt(scratch_.Fs(u"dst/reference")));
  EXPECT_EQ(LookAt(scratch_.Fs(u"dst/sub/secret")), LookAt(scratch_.Fs(u"dst/reference/file")));
  if (acls) {
    EXPECT_FALSE(LookAt(scratch_.Fs(u"dst/sub/secret")).access_acl.empty());
  }

  chown(scratch_.Fs(u"dst/sub/secret").c_str(), kNobody, kNobody);
  chmod(scratch_.Fs(u"dst/sub/secret").c_str(), 0640);
  const Look kept = LookAt(scratch_.Fs(u"dst/sub/secret"));
  scratch_.Write(u"src/sub/secret", "a newer secret");
  Settings.Overwrite = 1;
  Bind();
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(scratch_.Read(u"dst/sub/secret"), "a newer secret");
  EXPECT_EQ(LookAt(scratch_.Fs(u"dst/sub/secret")), kept);
  EXPECT_EQ(Counters.ErrorCount, 0);
}

}  // namespace
}  // namespace vx
