// A run ready for the copy engine, on real temporary trees: settings reset,
// entry points bound through the (possibly wrapped) table, a copy buffer,
// both log files open and the console captured.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "copy/access.h"
#include "copy/copy_directory.h"
#include "copy/file/copy_file.h"
#include "copy/registries.h"
#include "fault_injection.h"
#include "run/run_state.h"
#include "run/stop.h"
#include "scratch.h"

namespace vx::testing {

// The object a path names, and how many names it has.
struct Object {
  uint64_t index = 0;
  DWORD names = 0;
  bool operator==(const Object&) const = default;
};
inline Object ObjectAt(const std::u16string& path) {
  HANDLE file = Os().CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info = {};
  EXPECT_TRUE(Os().GetFileInformationByHandle(file, &info));
  Os().CloseHandle(file);
  return Object{uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, info.nNumberOfLinks};
}

class CopyFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRun();
    ResetRegistries();
    WatchForStopRequests();  // a stop an earlier test asked for is not this one's
    scratch_.MakeDir(u"src");
    scratch_.MakeDir(u"dst");
    buffer_.resize(64 * 1024);
    Settings.CopyBufferSize = static_cast<uint32_t>(buffer_.size());
    State.COPYBUFFER = buffer_.data();
    State.Log.Attach(Create(u"run.log"), Sink::Delivery::kBlocks, true);
    State.ErrorLog.Attach(Create(u"run.err"), Sink::Delivery::kBlocks, true);
    Bind();
  }
  void TearDown() override {
    ResetRun();
    ResetRegistries();
  }

  // Binds the listing entry point anew, through whatever table is in force.
  void Bind() {
    HMODULE ntdll = Os().GetModuleHandleA("ntdll.dll");
    State.NtQueryDirectoryFile = reinterpret_cast<NtQueryDirectoryFileFn>(
        Os().GetProcAddress(ntdll, "NtQueryDirectoryFile"));
    State.RtlNtStatusToDosError = reinterpret_cast<RtlNtStatusToDosErrorFn>(
        Os().GetProcAddress(ntdll, "RtlNtStatusToDosError"));
  }

  HANDLE Create(std::u16string_view name) {
    return Os().CreateFileW(scratch_.Path(name).c_str(), GENERIC_WRITE, 3, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // Paths below the scratch root, '/' standing for the platform's separator,
  // in the prepared form the walk always gets its roots in (on Windows with
  // the extended-length prefix).
  std::u16string P(std::u16string_view relative) {
    std::u16string root;
    PrepareRootPath(scratch_.Path(), &root);
    return relative.empty() ? root : JoinPath(root, Frag(relative));
  }
  // The same relative path as a fragment for fault matching.
  std::u16string Frag(std::u16string_view relative) {
    std::u16string out(relative);
    for (char16_t& unit : out) {
      if (unit == u'/') unit = kPathSeparator;
    }
    return out;
  }

  // Copies src/NAME to dst/NAME as the walk does, relative to the two
  // directories' handles.
  int CopyEntry(std::u16string_view name) {
    const std::u16string source_directory = P(u"src");
    const std::u16string destination_directory = P(u"dst");
    HANDLE source_parent = OpenSource(RootPlace(source_directory));
    HANDLE destination_parent = OpenSource(RootPlace(destination_directory));
    const std::u16string source = JoinPath(source_directory, name);
    const std::u16string destination = JoinPath(destination_directory, name);
    const int result = CopyOneFile(EntryPlace(source_parent, source, name.size()),
                                   EntryPlace(destination_parent, destination, name.size()));
    Os().CloseHandle(destination_parent);
    Os().CloseHandle(source_parent);
    return result;
  }

  std::string ErrorLog() { return scratch_.Read(u"run.err"); }
  std::string Log() {
    State.Log.Flush();
    return scratch_.Read(u"run.log");
  }

  Scratch scratch_;
  ConsoleCapture console_;
  std::vector<unsigned char> buffer_;
};

// A whole walk from src to dst, with /SubDirectories.
class WalkFixture : public CopyFixture {
 protected:
  void SetUp() override {
    CopyFixture::SetUp();
    source_ = P(u"src");
    destination_ = P(u"dst");
    Settings.Source = source_.c_str();
    Settings.Destination = destination_.c_str();
    State.SourceRootLength = source_.size();
    Settings.SubDirectories = 1;
  }
  // Each walk starts at the root, as a run does.
  int Walk() {
    State.AtTopLevel = 1;
    return CopyOneDirectory(source_);
  }

  std::u16string source_;
  std::u16string destination_;
};

}  // namespace vx::testing
