// Run preparation and privilege enabling, each failure produced through the
// fault-injection seam on a real command line.
#include "run/prepare.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "fault_injection.h"
#include "report/text.h"
#include "run/run_state.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Bytes;
using testing::Call;
using testing::ConsoleCapture;
using testing::Fault;
using testing::FaultInjector;
using testing::RunVelmox;
using testing::Scratch;

const char* const kPrivileges[] = {"SeRestorePrivilege", "SeBackupPrivilege",
                                   "SeSecurityPrivilege"};

std::string SettingsLines(const std::u16string& source, const std::u16string& destination,
                          const char* silent) {
  return Bytes(u"Source                    : " + source + u"\n" + u"Destination               : " +
               destination + u"\n") +
         "Overwrite                 : No\r\n"
         "OnlyNewer                 : No\r\n"
         "SecurityDescriptor        : No\r\n"
         "SubDirectories            : No\r\n"
         "Silent                    : " +
         std::string(silent) +
         "\r\n"
         "CreateDestinationDirectory: No\r\n"
         "StopAtFirstError          : No\r\n"
         "CopyBufferSize            : 64\r\n"
         "-------------------------------------------\r\n";
}

class PrepareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_.MakeDir(u"src");
    scratch_.MakeDir(u"dst");
  }
  std::vector<std::u16string> Arguments(std::vector<std::u16string> more = {}) {
    std::vector<std::u16string> arguments = {
        u"/Source:" + scratch_.Path(u"src"), u"/Dest:" + scratch_.Path(u"dst"),
        u"/Log:" + scratch_.Path(u"run.log"), u"/ErrorLog:" + scratch_.Path(u"run.err"),
        u"/CopyBufferSize:64"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }
  // The prepared roots as the settings block shows them.
  std::u16string Prepared(const char16_t* name) {
    std::u16string out;
    PrepareRootPath(scratch_.Path(name), &out);
    return out;
  }
  std::string Banner() {
    return "-------------------------------------------\r\nVelmox 3.0\r\n"
           "-------------------------------------------\r\n";
  }

  Scratch scratch_;
  ConsoleCapture console_;
};

TEST_F(PrepareTest, ValidRunPrintsSettingsAndSixPrivilegeLines) {
  FaultInjector faults;
  EXPECT_EQ(RunVelmox(Arguments()), 0);
  std::string privileges;
  for (const char* name : kPrivileges) {
    privileges += "Try to set " + std::string(name) + " privilege for current process.\r\n";
    privileges += "Set privilege " + std::string(name) + " successfully.\r\n";
  }
  const std::string settings = SettingsLines(Prepared(u"src"), Prepared(u"dst"), "No");
  const std::string console = console_.Text();
  EXPECT_EQ(console.substr(0, Banner().size() + settings.size() + privileges.size()),
            Banner() + settings + privileges);
  EXPECT_EQ(scratch_.Read(u"run.log").substr(0, settings.size()), settings);
  EXPECT_EQ(scratch_.Read(u"run.err"), "");
  EXPECT_TRUE(faults.OpenHandles().empty());
}

// An extension's line shows only when it is given, after the usual lines;
// of /Links and /FollowLinks the later one wins, and /Backup stands for
// several options at once.
TEST_F(PrepareTest, ExtensionsShowTheirSettingsLinesOnlyWhenGiven) {
  struct Case {
    std::vector<std::u16string> given;
    std::string lines;  // between the CopyBufferSize line and the dashes
  };
  const Case cases[] = {
      {{}, ""},
      {{u"/attributes", u"/hardlinks"},
       "HardLinks                 : Yes\r\nAttributes                : Yes\r\n"},
      {{u"/Links", u"/FollowLinks"}, "FollowLinks               : Yes\r\n"},
      {{u"/FollowLinks", u"/links"}, "Links                     : Yes\r\n"},
      {{u"/Streams", u"/Specials"},
       "Streams                   : Yes\r\nSpecials                  : Yes\r\n"},
      {{u"/Mirror", u"/List", u"/Exclude:*.tmp", u"/Exclude:Cache", u"/Retry:3", u"/Wait:0",
        u"/Threads:64", u"/MaxDelete:100", u"/Flush", u"/Recall"},
       "Mirror                    : Yes\r\nList                      : Yes\r\n"
       "Exclude                   : *.tmp\r\nExclude                   : Cache\r\n"
       "Retry                     : 3\r\nWait                      : 0\r\n"
       "Threads                   : 64\r\nMaxDelete                 : 100\r\n"
       "Flush                     : Yes\r\nRecall                    : Yes\r\n"},
      {{u"/Backup"},
       "HardLinks                 : Yes\r\nAttributes                : Yes\r\n"
       "Links                     : Yes\r\nStreams                   : Yes\r\n"
       "Specials                  : Yes\r\n"},
      {{u"/SummaryLine"}, "SummaryLine               : Yes\r\n"},
      // From the settings block on, lines end in LF alone.
      {{u"/utf8"}, "Utf8                      : Yes\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> given = {u"/Silent"};
    given.insert(given.end(), c.given.begin(), c.given.end());
    FaultInjector faults;
    faults.StandInForUnknownPrivileges();
    EXPECT_EQ(RunVelmox(Arguments(given)), 0);
    const std::string log = scratch_.Read(u"run.log");
    const bool lf_only = c.lines.ends_with("\n") && !c.lines.ends_with("\r\n");
    const std::string buffer_line =
        std::string("CopyBufferSize            : 64") + (lf_only ? "\n" : "\r\n");
    const size_t at = log.find(buffer_line);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.substr(at + buffer_line.size(), c.lines.size() + 5), c.lines + "-----")
        << c.lines;
    if (c.given == std::vector<std::u16string>{u"/Backup"}) {
      EXPECT_NE(log.find("SecurityDescriptor        : Yes\r\nSubDirectories            : Yes"),
                std::string::npos);
    }
  }
}

TEST_F(PrepareTest, SilentRunLeavesTheConsoleEmptyAndLogsSilentYes) {
  EXPECT_EQ(RunVelmox(Arguments({u"/Silent"})), 0);
  EXPECT_EQ(console_.Text(), "");
  const std::string settings = SettingsLines(Prepared(u"src"), Prepared(u"dst"), "Yes");
  EXPECT_EQ(scratch_.Read(u"run.log").substr(0, settings.size()), settings);
}

TEST_F(PrepareTest, LogFilesThatCannotBeOpenedEndTheRun) {
  // The operator's paths go through the trusted open where there is one.
  const Call open_call =
      Os().CreateFileTrustedW != nullptr ? Call::kCreateFileTrustedW : Call::kCreateFileW;
  {
    FaultInjector faults;
    faults.Add(Fault{open_call, 1, u"run.log", ERROR_ACCESS_DENIED});
    EXPECT_EQ(RunVelmox(Arguments({u"/Silent"})), -1);
    EXPECT_EQ(console_.Text(),
              Bytes(u"Cannot open logfile " + scratch_.Path(u"run.log") + u" for writing.\n"));
    EXPECT_FALSE(scratch_.Exists(u"run.err"));
  }
  {
    ConsoleCapture console;
    FaultInjector faults;
    faults.Add(Fault{open_call, 1, u"run.err", ERROR_ACCESS_DENIED});
    EXPECT_EQ(RunVelmox(Arguments()), -1);
    EXPECT_EQ(console.Text(), Bytes(u"Cannot open error-logfile " + scratch_.Path(u"run.err") +
                                    u" for writing.\n"));
    EXPECT_TRUE(scratch_.Exists(u"run.log"));
    EXPECT_EQ(scratch_.Read(u"run.log"), "");
  }
}

TEST_F(PrepareTest, MissingEntryPointsEndTheRunAfterTheSettingsBlock) {
  struct Case {
    Fault fault;
    std::string message;
  } cases[] = {
      {Fault{Call::kGetProcAddress, 1, u"NtQueryDirectoryFile", 127},
       "Could not find NtQueryDirectoryFile entry point in NTDLL.DLL\r\n"},
      {Fault{Call::kGetProcAddress, 1, u"RtlNtStatusToDosError", 127},
       "Could not find RtlNtStatusToDosError entry point in NTDLL.DLL\r\n"},
      {Fault{Call::kGetModuleHandleA, 1, u"", 126},
       "Could not find NtQueryDirectoryFile entry point in NTDLL.DLL\r\n"},
  };
  for (const Case& c : cases) {
    ConsoleCapture console;
    FaultInjector faults;
    faults.Add(c.fault);
    EXPECT_EQ(RunVelmox(Arguments({u"/Silent"})), -1);
    EXPECT_EQ(console.Text(), c.message);
    // The settings block reached the log before the failure; nothing else did.
    EXPECT_EQ(scratch_.Read(u"run.log"), SettingsLines(Prepared(u"src"), Prepared(u"dst"), "Yes"));
    EXPECT_EQ(scratch_.Read(u"run.err"), "");
    EXPECT_EQ(faults.Calls(Call::kOpenProcessToken), 0);
  }
}

TEST_F(PrepareTest, EachPrivilegeFailurePrintsItsMessageAndStopsTheRest) {
  struct Case {
    Fault fault;
    const char* message;
    const char* privilege;
    int tokens_opened;
    const char16_t* flag = u"/Silent";
  } cases[] = {
      {Fault{Call::kOpenProcessToken, 1, u"", ERROR_ACCESS_DENIED},
       "OpenProcessToken was not successfull, aborting setting the %s privilege.\r\n",
       "SeRestorePrivilege", 1},
      {Fault{Call::kLookupPrivilegeValueA, 1, u"SeBackupPrivilege", ERROR_NO_SUCH_PRIVILEGE},
       "LookupPrivilegeValue() failed, aborting setting the %s privilege.\r\n", "SeBackupPrivilege",
       2},
      {Fault{Call::kAdjustTokenPrivileges, 3, u"", ERROR_ACCESS_DENIED},
       "AdjustTokenPrivileges() failed, aborting setting the %s privilege.\r\n",
       "SeSecurityPrivilege", 3, u"/SecurityDescriptor"},
      // Success with ERROR_NOT_ALL_ASSIGNED enabled nothing: a failure too.
      {Fault{Call::kAdjustTokenPrivileges, 1, u"", 0, 0, Fault::Kind::kNotAllAssigned},
       "AdjustTokenPrivileges() failed, aborting setting the %s privilege.\r\n",
       "SeRestorePrivilege", 1},
      {Fault{Call::kCloseHandle, 2, u"<token>", ERROR_INVALID_HANDLE},
       "CloseHandle() failed, aborting setting the %s privilege.\r\n", "SeBackupPrivilege", 2},
  };
  for (const Case& c : cases) {
    ConsoleCapture console;
    ConsoleCapture hints(Hints);
    FaultInjector faults;
    faults.StandInForUnknownPrivileges();
    faults.Add(c.fault);
    EXPECT_EQ(RunVelmox(Arguments({u"/Silent", c.flag})), -1);
    std::string message = c.message;
    message.replace(message.find("%s"), 2, c.privilege);
    EXPECT_EQ(console.Text(), message);  // only the failure line under /Silent
    EXPECT_EQ(hints.Text(), Bytes(u"velmox: " + std::u16string(kPrivilegeHint) + u"\n"));
    EXPECT_EQ(faults.Calls(Call::kOpenProcessToken), c.tokens_opened);
    EXPECT_TRUE(faults.OpenHandles().empty()) << "token left open";
    EXPECT_EQ(Counters.ErrorCount, 0);
    EXPECT_EQ(scratch_.Read(u"run.err"), "");
    EXPECT_EQ(scratch_.Read(u"run.log").find("privilege"), std::string::npos);
  }
}

// A backup operator holds the backup and restore privileges only: the run
// goes on, saying so once, and asks for no system access-control list in
// any open. Without /SecurityDescriptor nothing needs one; /Backup carries
// owner, group and DACL; links are made where the restore privilege allows.
TEST_F(PrepareTest, ABackupOperatorsRunGoesOnWithWhatItsPrivilegesAllow) {
  scratch_.MakeDir(u"src/sub");
  scratch_.Write(u"src/sub/a", "a");
  const char* const kFailed = "AdjustTokenPrivileges() failed, aborting setting the ";
  const struct {
    const char16_t* flag;
    int refused_call;  // the AdjustTokenPrivileges call that assigns nothing
    std::string message;
  } cases[] = {
      {u"/Overwrite", 3,
       std::string(kFailed) +
           "SeSecurityPrivilege privilege.\r\nGoing on without the SeSecurityPrivilege "
           "privilege: no system access-control list is read or written.\r\n"},
      {u"/Backup", 4,
       std::string(kFailed) +
           "SeSecurityPrivilege privilege.\r\nGoing on without the SeSecurityPrivilege "
           "privilege: owner, group and DACL are carried, the system access-control list is "
           "not.\r\n"},
      {u"/Links", 3,
       std::string(kFailed) +
           "SeCreateSymbolicLinkPrivilege privilege.\r\nGoing on without the "
           "SeCreateSymbolicLinkPrivilege privilege: links are made where the restore "
           "privilege allows it, else each is one error.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Bytes(c.flag));
    std::filesystem::remove_all(scratch_.Fs(u"dst/sub"));
    ConsoleCapture console;
    FaultInjector faults;
    faults.StandInForUnknownPrivileges();
    faults.Add(
        Fault{Call::kAdjustTokenPrivileges, c.refused_call, u"", 0, 0, Fault::Kind::kNotAllAssigned});
    EXPECT_EQ(RunVelmox(Arguments({u"/Silent", u"/SubDirectories", c.flag})), 0)
        << scratch_.Read(u"run.err");
    EXPECT_EQ(console.Text(), c.message);
    EXPECT_EQ(scratch_.Read(u"dst/sub/a"), "a");
    const bool sacl_refused = c.message.find("SeSecurityPrivilege") != std::string::npos;
    if (sacl_refused) {
      EXPECT_EQ(faults.AccessAsked() & ACCESS_SYSTEM_SECURITY, 0u);
    }
    EXPECT_NE(faults.AccessAsked() & GENERIC_WRITE, 0u);
  }
}

// Mistakes are loud on standard error, standard output keeping its bytes:
// an unknown option names the nearest known one, a refused command line
// says how to see the usage, a missing root or log folder says what to do;
// /?, -h and --help print the usage.
TEST_F(PrepareTest, MistakesGetAHintOnStandardError) {
  std::string usage;
  {
    ConsoleCapture console;
    EXPECT_EQ(RunVelmox({}), 0);
    usage = console.Text();
  }
  for (const char16_t* help : {u"/?", u"-h", u"--help"}) {
    ConsoleCapture console;
    EXPECT_EQ(RunVelmox({u"/Source:x", help}), 0);
    EXPECT_EQ(console.Text(), usage);
  }
  const std::u16string log_folder = scratch_.Path(u"no-such-folder");
  const struct {
    std::vector<std::u16string> arguments;
    int exit_code;
    std::string hint;  // after "velmox: "
  } cases[] = {
      {Arguments({u"/SubDirectory", u"/mirorr"}), 0,
       "unknown option /SubDirectory skipped; did you mean /SubDirectories?\r\nvelmox: unknown "
       "option /mirorr skipped; did you mean /Mirror?"},
      {{u"src", u"dst"}, -1, "run velmox with no argument, or velmox /?, for the usage."},
      {{u"/Source:" + scratch_.Path(u"src"), u"/Dest:" + scratch_.Path(u"nowhere")}, 1,
       "the destination root " + Bytes(Prepared(u"nowhere")) +
           " does not exist: create it, or add /CreateDestinationDirectory."},
      {Arguments({u"/Log:" + log_folder + kPathSeparator + u"run.log"}), -1,
       "the system says: " + Bytes(SystemMessage(ERROR_PATH_NOT_FOUND)) +
           " Create the log's folder first."},
  };
  for (const auto& c : cases) {
    ConsoleCapture hints(Hints);
    FaultInjector faults;
    faults.StandInForUnknownPrivileges();
    EXPECT_EQ(RunVelmox(c.arguments), c.exit_code);
    EXPECT_EQ(hints.Text(), "velmox: " + c.hint + "\r\n");
  }
}

// /AppendLog: and /AppendErrorLog: keep what the logs hold and add each
// run's lines at their end; of them and /Log: or /ErrorLog: the later wins.
// Each run's part of an appended log begins with its start in local time
// (UTC where the zone cannot be told) and its command line.
TEST_F(PrepareTest, AppendedLogsKeepEachRunsLinesEachPartStamped) {
  scratch_.Write(u"src/a", "a");
  const std::u16string log = u"/AppendLog:" + scratch_.Path(u"kept.log");
  const std::u16string err = u"/AppendErrorLog:" + scratch_.Path(u"kept.err");
  FaultInjector faults;
  faults.StandInForUnknownPrivileges();
  faults.Add(Fault{Call::kGetLocalTimeOffset, 1, u"", ERROR_INVALID_PARAMETER});
  const std::vector<std::u16string> arguments = {u"/Source:" + scratch_.Path(u"src"),
                                                 u"/Dest:" + scratch_.Path(u"dst"), u"/Silent",
                                                 log, err};
  auto stamp = [&](const std::string& offset, const std::string& more) {
    return std::regex("Run of 20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]" +
                      offset + ": velmox /Source:[^ ]+ /Dest:[^ ]+ /Silent /AppendLog:[^ ]+ " +
                      "/AppendErrorLog:[^ ]+" + more + "\r\n");
  };
  EXPECT_EQ(RunVelmox(arguments), 0);
  const std::string first = scratch_.Read(u"kept.log");
  std::smatch found;
  EXPECT_TRUE(std::regex_search(first, found, stamp("\\+00:00", "")) && found.position() == 0)
      << first;
  EXPECT_NE(first.find("AppendLog                 : Yes\r\nAppendErrorLog            : Yes\r\n"),
            std::string::npos);
  std::filesystem::remove_all(scratch_.Fs(u"src/a"));
  scratch_.MakeDir(u"src/a");  // a directory where the copy holds a file: one ERR
  std::vector<std::u16string> rerun = arguments;
  rerun.push_back(u"/SubDirectories");
  Os().GetLocalTimeOffset = [](const FILETIME*, LONG* minutes) -> BOOL {
    *minutes = -330;
    return 1;
  };
  EXPECT_EQ(RunVelmox(rerun), 1);
  const std::string both = scratch_.Read(u"kept.log");
  ASSERT_TRUE(both.starts_with(first));
  const std::string second = both.substr(first.size());
  EXPECT_TRUE(std::regex_search(second, found, stamp("-05:30", " /SubDirectories")) &&
              found.position() == 0)
      << second;
  const std::string settings_start = "Source                    : ";
  EXPECT_NE(both.find(settings_start, first.size()), std::string::npos);
  // The error log: each run's stamp, the second's followed by its ERR line
  // as in the log.
  const std::string errors = scratch_.Read(u"kept.err");
  const std::string second_part = errors.substr(errors.find("\r\n") + 2);
  const std::string second_stamp = second.substr(0, second.find("\r\n") + 2);
  EXPECT_TRUE(errors.starts_with(first.substr(0, first.find("\r\n") + 2))) << errors;
  EXPECT_TRUE(second_part.starts_with(second_stamp)) << errors;
  const std::string error_line = second_part.substr(second_stamp.size());
  EXPECT_TRUE(error_line.starts_with("ERR  000001: ")) << errors;
  EXPECT_EQ(error_line, both.substr(both.find("ERR  000001: ")).substr(0, error_line.size()));
  // A later /Log: begins the log anew.
  rerun.push_back(u"/Log:" + scratch_.Path(u"kept.log"));
  RunVelmox(rerun);
  const std::string anew = scratch_.Read(u"kept.log");
  EXPECT_EQ(anew.find(settings_start, anew.find(settings_start) + 1), std::string::npos);
  EXPECT_EQ(anew.find("AppendLog "), std::string::npos);
}

// On a volume without identities (every file index and identifier 0),
// one directory under two names is still found by its final path.
TEST_F(PrepareTest, WithoutIdentitiesOneDirectoryIsKnownByItsFinalPath) {
  if (Os().GetFinalPathNameByHandleW == nullptr) {
    GTEST_SKIP() << "identities here are always known";
  }
  FaultInjector faults;
  faults.FileIndexForAll(0, true);
  std::vector<std::u16string> arguments = Arguments({u"/Silent"});
  arguments[1] = u"/Dest:" + scratch_.Path(u"SRC");  // Windows names ignore case
  EXPECT_EQ(RunVelmox(arguments), -1);
  EXPECT_FALSE(scratch_.Exists(u"src/src"));
}

// A snapshot (a shadow copy) holds its volume's serial number and file
// identifiers: copied back onto the volume it is not "one directory" with
// its live counterpart, nor "inside the destination", nor each file "the
// same file" as the one it replaces.
TEST_F(PrepareTest, ASnapshotIsNotTheVolumeItWasTakenOf) {
  scratch_.Write(u"dst/a.txt", "damaged");
  scratch_.Write(u"dst/sub/b.txt", "damaged");
  scratch_.Write(u"snap/a.txt", "yesterday");
  scratch_.Write(u"snap/sub/b.txt", "yesterday");
  const struct {
    const char16_t* source;
    const char16_t* option;
    const char16_t* restored;
  } cases[] = {
      {u"snap", u"/Overwrite", u"dst/a.txt"},
      {u"snap/sub", u"/Mirror", u"dst/b.txt"},
  };
  for (const auto& c : cases) {
    FaultInjector faults;
    faults.StandInSnapshot(scratch_.Path(u"snap"), scratch_.Path(u"dst"));
    std::vector<std::u16string> arguments = Arguments({u"/Silent", c.option});
    arguments[0] = u"/Source:" + scratch_.Path(c.source);
    EXPECT_EQ(RunVelmox(arguments), 0) << Bytes(c.source) << console_.Text();
    EXPECT_EQ(scratch_.Read(c.restored), "yesterday") << Bytes(c.source);
  }
}

// A root is opened one name at a time: a link on its path that its owner
// could not have followed (here stood in for "planted") ends the run before
// anything is made or copied, whether it leads to the source, to the
// destination or to the folder that is to hold a destination yet to make.
TEST_F(PrepareTest, ARootThroughAPlantedLinkEndsTheRun) {
  scratch_.Write(u"real/src/a.txt", "a");
  scratch_.MakeDir(u"real/dst");
  std::error_code made;
  std::filesystem::create_directory_symlink("real", scratch_.Fs(u"planted"), made);
  if (made) GTEST_SKIP() << "no directory links here: " << made.message();
  const struct {
    const char16_t* source;
    const char16_t* destination;
    const char* message;  // empty: the run copies
    const char16_t* foreign;
  } cases[] = {
      {u"planted/src", u"dst", "Source ", u"planted"},
      {u"src", u"planted/dst", "Destination ", u"planted"},
      {u"src", u"planted/new", "Destination ", u"planted"},
      {u"planted/src", u"planted/new", "", u"elsewhere"},
  };
  for (const auto& c : cases) {
    FaultInjector faults;
    faults.StandInOwners(u"", scratch_.Path(c.foreign));
    std::vector<std::u16string> arguments =
        Arguments({u"/Silent", u"/CreateDestinationDirectory", u"/OnlyNewer"});
    arguments[0] = u"/Source:" + scratch_.Path(c.source);
    arguments[1] = u"/Dest:" + scratch_.Path(c.destination);
    const std::string shown = *c.message == 'S' ? Bytes(Prepared(c.source)) : Bytes(Prepared(c.destination));
    if (*c.message == '\0') {
      EXPECT_EQ(RunVelmox(arguments), 0) << console_.Text();
      EXPECT_EQ(scratch_.Read(u"real/new/a.txt"), "a");
      continue;
    }
    EXPECT_EQ(RunVelmox(arguments), -1) << Bytes(c.destination);
    EXPECT_NE(console_.Text().find(c.message + shown +
                                   " is reached through a link that may not be followed, aborting."),
              std::string::npos)
        << console_.Text();
    EXPECT_FALSE(scratch_.Exists(u"real/new"));
    EXPECT_FALSE(scratch_.Exists(u"dst/a.txt"));
  }
}

TEST_F(PrepareTest, FailedAllocationIsReportedAsAnErrorAndEndsTheRun) {
  FaultInjector faults;
  faults.Add(Fault{Call::kVirtualAlloc, 1, u"", ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(RunVelmox(Arguments({u"/Silent"})), -1);
  EXPECT_EQ(Counters.ErrorCount, 1);
  const std::string err = scratch_.Read(u"run.err");
  EXPECT_TRUE(err.starts_with("ERR  000001: Main(): ")) << err;
  EXPECT_TRUE(err.ends_with(" at VirtualAlloc(COPYBUFFER) (8)\r\n")) << err;
  EXPECT_TRUE(scratch_.Read(u"run.log").ends_with(err));
  EXPECT_EQ(console_.Text(), "");
}

}  // namespace
}  // namespace vx
