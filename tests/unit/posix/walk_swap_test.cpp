// A destination directory swapped for a link while the walk is inside it
// cannot lead the rest of its files out of the destination: every open below
// the root is relative to the directory handle the walk already holds.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "copy_fixture.h"

namespace vx {
namespace {

using testing::Call;
using testing::Fault;
using testing::FaultInjector;

class WalkSwapTest : public testing::WalkFixture {};

TEST_F(WalkSwapTest, DirectorySwappedForALinkMidWalkIsNotFollowed) {
  scratch_.MakeDir(u"src/sub");
  for (const char16_t* name : {u"src/sub/f1", u"src/sub/f2", u"src/sub/f3"}) {
    scratch_.Write(name, "data");
  }
  scratch_.MakeDir(u"outside");
  FaultInjector faults;
  Bind();
  // Once the walk has entered dst/sub, it is moved away and a link to
  // `outside` put in its place.
  faults.Add(Fault{Call::kCreateFileW, 1, Frag(u"src/sub/"), 0, 0, Fault::Kind::kBefore, 0, [&] {
                     std::filesystem::rename(scratch_.Fs(u"dst/sub"), scratch_.Fs(u"dst/moved"));
                     std::filesystem::create_directory_symlink(scratch_.Fs(u"outside"),
                                                               scratch_.Fs(u"dst/sub"));
                   }});
  EXPECT_EQ(Walk(), 1);
  EXPECT_EQ(Counters.ErrorCount, 0);
  EXPECT_TRUE(std::filesystem::is_empty(scratch_.Fs(u"outside")));
  for (const char16_t* name : {u"dst/moved/f1", u"dst/moved/f2", u"dst/moved/f3"}) {
    EXPECT_EQ(scratch_.Read(name), "data");
  }
  EXPECT_TRUE(faults.OpenHandles().empty());
}

// A source directory swapped after the listing for a link to the
// destination root is judged by what its open reached: the root, which is
// not copied into itself.
TEST_F(WalkSwapTest, ADirectorySwappedForALinkToTheDestinationIsNotWalked) {
  scratch_.MakeDir(u"src/sub");
  scratch_.Write(u"src/sub/f", "data");
  scratch_.Write(u"dst/old", "old");
  Settings.Overwrite = 1;
  FaultInjector faults;
  Bind();
  faults.Add(Fault{Call::kCreateFileW, 1, Frag(u"src/sub"), 0, 0, Fault::Kind::kBefore, 0, [&] {
                     std::filesystem::rename(scratch_.Fs(u"src/sub"), scratch_.Fs(u"moved"));
                     std::filesystem::create_directory_symlink(scratch_.Fs(u"dst"),
                                                               scratch_.Fs(u"src/sub"));
                   }});
  Walk();
  EXPECT_FALSE(scratch_.Exists(u"dst/sub/old"));
  EXPECT_FALSE(scratch_.Exists(u"dst/sub/sub"));
  EXPECT_TRUE(faults.OpenHandles().empty());
}

// Where links are kept, a file swapped for a link to a file the run may
// read and its user may not, after the listing read the names and before
// it looked at them, is never read through: each such entry is one ERR
// (1921), and no copy holds the other file's bytes.
TEST_F(WalkSwapTest, KeptLinksAreNeverReadThroughWhenSwappedInAfterTheListing) {
  const std::u16string names[] = {u"f1", u"f2", u"f3", u"f4", u"f5"};
  for (const std::u16string& name : names) scratch_.Write(u"src/" + name, "the user's");
  scratch_.Write(u"secret", "root only");
  State.KeepLinks = true;
  FaultInjector faults;
  Bind();
  // The listing has read every name by its second call; each file not yet
  // looked at is then swapped for a link to the secret.
  faults.Add(Fault{Call::kNtQueryDirectoryFile, 2, Frag(u"src"), 0, 0, Fault::Kind::kBefore, 0,
                   [&] {
                     for (const std::u16string& name : names) {
                       std::filesystem::remove(scratch_.Fs(u"src/" + name));
                       std::filesystem::create_symlink(scratch_.Fs(u"secret"),
                                                       scratch_.Fs(u"src/" + name));
                     }
                   }});
  Walk();
  for (const std::u16string& name : names) {
    const std::filesystem::path copy = scratch_.Fs(u"dst/" + name);
    if (!std::filesystem::exists(std::filesystem::symlink_status(copy))) continue;
    EXPECT_TRUE(std::filesystem::is_symlink(copy) || scratch_.Read(u"dst/" + name) == "the user's")
        << testing::Bytes(name);
  }
  EXPECT_EQ(ErrorLog().find("root only"), std::string::npos);
  EXPECT_TRUE(faults.OpenHandles().empty());
}

// The object a source file's open reaches is judged before anything is read
// from it: swapped after the look for a link to another file, a FIFO, a
// device or a directory, it is refused, and so is a pseudo file reached
// through a link. Nothing reaches the destination but the ERR.
TEST_F(WalkSwapTest, WhatTheOpenReachesIsJudgedBeforeItIsRead) {
  scratch_.Write(u"outside-secret", "root only");
  chmod(scratch_.Fs(u"outside-secret").c_str(), 0600);
  const std::filesystem::path source = scratch_.Fs(u"src/a");
  const struct {
    const char* what;
    std::function<void()> swap;  // run after the look, before the open
    DWORD code;
  } cases[] = {
      {"a link to another file",
       [&] {
         std::filesystem::remove(source);
         std::filesystem::create_symlink(scratch_.Fs(u"outside-secret"), source);
       },
       ERROR_FILE_INVALID},
      {"a FIFO",
       [&] {
         std::filesystem::remove(source);
         mkfifo(source.c_str(), 0644);
       },
       ERROR_INVALID_FUNCTION},
      {"a link to a device",
       [&] {
         std::filesystem::remove(source);
         std::filesystem::create_symlink("/dev/zero", source);
       },
       ERROR_INVALID_FUNCTION},
      {"a directory",
       [&] {
         std::filesystem::remove(source);
         std::filesystem::create_directory(source);
       },
       ERROR_INVALID_FUNCTION},
      {"nothing: a link to a pseudo file", nullptr, ERROR_NOT_SUPPORTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(source);
    std::filesystem::remove_all(scratch_.Fs(u"dst"));
    scratch_.MakeDir(u"dst");
    if (c.swap) {
      scratch_.Write(u"src/a", "mine");
    } else {
      std::filesystem::create_symlink("/proc/self/status", source);
    }
    const std::string errors_before = ErrorLog();
    {
      FaultInjector faults;
      if (c.swap) {
        faults.Add(Fault{Call::kCreateFileW, 1, u".velmox~", 0, 0, Fault::Kind::kBefore, 0,
                         c.swap});
      }
      EXPECT_EQ(CopyEntry(u"a"), 0);
      EXPECT_TRUE(faults.OpenHandles().empty());
    }
    EXPECT_EQ(ErrorLog(),
              errors_before + testing::ErrLine(1, P(u"src/a"), u"CopyOneFile:ReadFile(SOURCE)",
                                               c.code));
    EXPECT_TRUE(std::filesystem::is_empty(scratch_.Fs(u"dst")));
    Counters = RunCounters{};
  }
}

}  // namespace
}  // namespace vx
