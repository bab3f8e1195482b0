// /Attributes on Linux: the user.* extended attributes of files and
// directories (where Samba and Wine keep DOS attributes and streams) are
// the source's after a copy, and a rerun over an unchanged tree writes none.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <map>
#include <string>

#include "copy_fixture.h"

namespace vx {
namespace {

std::map<std::string, std::string> UserAttributes(const std::filesystem::path& path) {
  std::map<std::string, std::string> attributes;
  char names[4096];
  const ssize_t size = llistxattr(path.c_str(), names, sizeof names);
  for (ssize_t pos = 0; pos < size; pos += static_cast<ssize_t>(strlen(names + pos)) + 1) {
    const std::string name(names + pos);
    if (name.rfind("user.", 0) != 0) continue;
    char value[256];
    const ssize_t length = lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
    attributes[name] = std::string(value, length > 0 ? static_cast<size_t>(length) : 0);
  }
  return attributes;
}

bool SetUser(const std::filesystem::path& path, const char* name, const std::string& value) {
  return setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

struct timespec ChangeTime(const std::filesystem::path& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return st.st_ctim;
}

class AttributesTest : public testing::WalkFixture {};

TEST_F(AttributesTest, UserAttributesAreTheSourcesAndARerunWritesNone) {
  scratch_.MakeDir(u"src/sub");
  scratch_.Write(u"src/sub/file", "data");
  scratch_.MakeDir(u"dst/sub");
  const auto file = scratch_.Fs(u"src/sub/file");
  const auto directory = scratch_.Fs(u"src/sub");
  if (!SetUser(file, "user.DOSATTRIB", std::string("0x22\0", 5)) ||
      !SetUser(directory, "user.comment", "kept") ||
      !SetUser(scratch_.Fs(u"dst/sub"), "user.stale", "gone after the copy")) {
    GTEST_SKIP() << "no user.* attributes on this file system";
  }
  setxattr(scratch_.Fs(u"dst/sub").c_str(), "trusted.other", "x", 1, 0);
  Settings.Attributes = 1;
  Settings.Overwrite = 1;
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0);
  EXPECT_EQ(UserAttributes(scratch_.Fs(u"dst/sub/file")), UserAttributes(file));
  EXPECT_EQ(UserAttributes(scratch_.Fs(u"dst/sub")), UserAttributes(directory));
  char other[8];
  EXPECT_EQ(getxattr(scratch_.Fs(u"dst/sub").c_str(), "trusted.other", other, sizeof other), 1)
      << "only user.* attributes are the option's";

  const struct timespec file_changed = ChangeTime(scratch_.Fs(u"dst/sub/file"));
  const struct timespec directory_changed = ChangeTime(scratch_.Fs(u"dst/sub"));
  Settings.Overwrite = 0;
  Settings.OnlyNewer = 1;
  Counters = RunCounters{};
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.NewerCount + Counters.NewCount, 0);
  const struct timespec file_after = ChangeTime(scratch_.Fs(u"dst/sub/file"));
  const struct timespec directory_after = ChangeTime(scratch_.Fs(u"dst/sub"));
  EXPECT_EQ(file_after.tv_nsec, file_changed.tv_nsec);
  EXPECT_EQ(directory_after.tv_sec, directory_changed.tv_sec);
  EXPECT_EQ(directory_after.tv_nsec, directory_changed.tv_nsec);
}

}  // namespace
}  // namespace vx
