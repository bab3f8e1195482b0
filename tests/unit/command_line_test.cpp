#include "run/command_line.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "run/main.h"
#include "run/run_state.h"
#include "scratch.h"

namespace vx {
namespace {

using testing::Bytes;
using testing::ConsoleCapture;
using testing::RunVelmox;

// Parses and validates without running anything further.
struct Parsed {
  bool valid;
  std::string console;
};

// Settings refer into the argument strings, so they are kept until the next
// parse.
Parsed Parse(const std::vector<std::u16string>& given) {
  static std::vector<std::u16string> arguments;
  arguments = given;
  ConsoleCapture capture;
  std::vector<const char16_t*> argv = {u"velmox"};
  for (const std::u16string& argument : arguments) argv.push_back(argument.c_str());
  ResetRun();
  const bool valid =
      ParseArguments(static_cast<int>(argv.size()), argv.data()) && ValidateSettings();
  return Parsed{valid, capture.Text()};
}

// A root both builds take as it stands: a drive path on Windows, an absolute
// path on Linux.
std::u16string Root(const char16_t* name) {
  return kPathSeparator == u'\\' ? u"C:\\" + std::u16string(name) : u"/" + std::u16string(name);
}

// The seventeen lines of the usage text, then the extensions, each option
// at the start of a line, no extension's line wider than 80 columns.
TEST(UsageTest, SeventeenLinesThenTheExtensionsWithCrLfAndExitZero) {
  ConsoleCapture capture;
  EXPECT_EQ(RunVelmox({}), 0);
  const std::string text = capture.Text();
  const std::string dashes(43, '-');
  EXPECT_EQ(text.substr(0, 45 + 12), dashes + "\r\nVelmox 3.0\r\n");
  EXPECT_NE(
      text.find("\r\n                        /CopyBufferSize:<Size of copy buffer in KB>\r\n"),
      std::string::npos);
  EXPECT_NE(text.find("\r\nReturns         : -1 = Fatal Error, else number of errors logged in "
                      "errorlogfile\r\nExtensions      : /HardLinks  "),
            std::string::npos);
  for (const char* option :
       {"Attributes", "Links", "FollowLinks", "Streams", "Specials", "Backup", "Mirror", "List",
        "Exclude:", "Retry:", "Wait:", "Threads:", "MaxDelete:", "Flush", "Recall", "AppendLog:",
        "AppendErrorLog:", "JsonLog:", "Verify", "Files:", "Files0:", "AcceptVolume",
        "SummaryLine", "Utf8", "History:", "HistoryDays:", "MaxChange:", "AsOf:"}) {
    EXPECT_NE(text.find("\r\n                  /" + std::string(option)), std::string::npos)
        << option;
  }
  EXPECT_TRUE(text.ends_with("/AsOf:<Time (UTC): the source, a replica with /History:,\r\n"
                             "                      written as it was then>\r\n"));
  // The extensions' lines (the seventeen first lines keep their widths).
  for (size_t at = text.find("Extensions"), end;
       (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    EXPECT_LE(end - at, 80u) << text.substr(at, end - at);
  }
  EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1);  // no bare line feed
}

TEST(ParseTest, OptionsMatchByPrefixInAnyCaseAndValuesKeepTheirCase) {
  const std::u16string source = u"/source:" + Root(u"Data\\Mixed");
  Parsed parsed =
      Parse({source, u"/DEST:" + Root(u"x"), u"/silently", u"/Overwrite:No", u"/subdirectories",
             u"/CreateDestinationDirectoryPlease", u"/stopatfirsterror", u"/SecurityDescriptor",
             u"/log:Mixed.Log", u"/ErrorLog:Err.LOG"});
  ASSERT_TRUE(parsed.valid) << parsed.console;
  EXPECT_EQ(parsed.console, "");
  EXPECT_EQ(Settings.Silent, 1);
  EXPECT_EQ(Settings.Overwrite, 1);
  EXPECT_EQ(Settings.OnlyNewer, 0);
  EXPECT_EQ(Settings.SubDirectories, 1);
  EXPECT_EQ(Settings.CreateDestinationDirectory, 1);
  EXPECT_EQ(Settings.StopAtFirstError, 1);
  EXPECT_EQ(Settings.SecurityDescriptor, 1);
  EXPECT_EQ(Settings.HardLinks, 0);
  EXPECT_EQ(Settings.Attributes, 0);
  EXPECT_EQ(std::u16string(Settings.Log), u"Mixed.Log");
  EXPECT_EQ(std::u16string(Settings.ErrorLog), u"Err.LOG");
  EXPECT_NE(std::u16string(Settings.Source).find(u"Data\\Mixed"), std::u16string::npos);
}

TEST(ParseTest, LaterValueWinsAndUnknownSlashArgumentsAreSkippedSilently) {
  Parsed parsed = Parse({u"/Source:" + Root(u"first"), u"/Source:" + Root(u"second"), u"/?",
                         u"/Dest=" + Root(u"no"), u"/Dest:" + Root(u"d")});
  ASSERT_TRUE(parsed.valid);
  EXPECT_EQ(parsed.console, "");
  EXPECT_NE(std::u16string(Settings.Source).find(u"second"), std::u16string::npos);
}

// Links are kept by the platform's default unless an option says
// otherwise, the later of /Links and /FollowLinks winning.
TEST(ParseTest, LinksFollowThePlatformDefaultUnlessTheLaterOptionSaysOtherwise) {
  const std::u16string roots[] = {u"/Source:" + Root(u"s"), u"/Dest:" + Root(u"d")};
  struct Case {
    std::vector<std::u16string> given;
    bool keep;
  };
  const Case cases[] = {
      {{}, kLinksKeptByDefault},
      {{u"/links"}, true},
      {{u"/FOLLOWLINKS"}, false},
      {{u"/Links", u"/FollowLinks"}, false},
      {{u"/FollowLinks", u"/Backup"}, true},
      {{u"/Backup", u"/FollowLinks"}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> given(std::begin(roots), std::end(roots));
    given.insert(given.end(), c.given.begin(), c.given.end());
    ASSERT_TRUE(Parse(given).valid);
    EXPECT_EQ(State.KeepLinks, c.keep) << c.given.size();
  }
}

TEST(ParseTest, NonOptionArgumentsAreIgnoredAloudInUpperCase) {
  Parsed parsed =
      Parse({u"abc", u"", u"caf\u00e9", u"/Source:" + Root(u"s"), u"/Dest:" + Root(u"d")});
  EXPECT_TRUE(parsed.valid);
  EXPECT_EQ(parsed.console,
            "Ignoring parameter ABC\r\nIgnoring parameter \r\nIgnoring parameter CAF\xe9\r\n");
}

// A command line with any extended option refuses an argument it would
// skip, naming the option meant: a mistyped /List must not run for real.
// One of the original twelve options only keeps skipping it.
TEST(ParseTest, ExtendedRunsRefuseWhatTheyWouldSkip) {
  const std::u16string source = u"/Source:" + Root(u"s"), dest = u"/Dest:" + Root(u"d");
  const struct {
    std::vector<std::u16string> given;
    bool valid;
    std::string console;
  } cases[] = {
      {{u"/Mirror", u"/OnlyNewer", u"/Lsit"}, false,
       "Unknown parameter /Lsit (did you mean /List?), aborting.\r\n"},
      {{u"/Mirror", u"-n"}, false, "Unknown parameter -n (did you mean /List?), aborting.\r\n"},
      {{u"--dry-run", u"/Backup"}, false,
       "Unknown parameter --dry-run (did you mean /List?), aborting.\r\n"},
      {{u"/Threads:4", u"/mirorr"}, false,
       "Unknown parameter /mirorr (did you mean /Mirror?), aborting.\r\n"},
      {{u"/Backup", u"--verify"}, false,
       "Unknown parameter --verify (did you mean /Verify?), aborting.\r\n"},
      {{u"/OnlyNewer", u"/Lsit", u"-n"}, true, "Ignoring parameter -N\r\n"},
      {{u"/Mirror", u"/List", u"/Silently"}, true, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::u16string> given = {source, dest};
    given.insert(given.end(), c.given.begin(), c.given.end());
    const Parsed parsed = Parse(given);
    EXPECT_EQ(parsed.valid, c.valid) << c.console;
    EXPECT_EQ(parsed.console, c.console);
  }
}

TEST(ParseTest, ArgumentsOfAnyLengthAreReadWhole) {
  const std::u16string long_name(5000, u'n');
  Parsed parsed = Parse({u"/Source:" + Root(long_name.c_str()), u"/Dest:" + Root(u"d"),
                         u"/Silent" + std::u16string(300, u'x')});
  EXPECT_TRUE(parsed.valid);
  EXPECT_EQ(Settings.Silent, 1);
  EXPECT_NE(std::u16string(Settings.Source).find(long_name), std::u16string::npos);
}

TEST(CopyBufferSizeTest, ReadsLikeCAndWrapsModulo2To32) {
  EXPECT_EQ(CopyBufferSizeFromText(u"64"), 65536u);
  EXPECT_EQ(CopyBufferSizeFromText(u"12KB"), 12288u);
  EXPECT_EQ(CopyBufferSizeFromText(u"  +8"), 8192u);
  EXPECT_EQ(CopyBufferSizeFromText(u"-1"), 4294966272u);
  EXPECT_EQ(CopyBufferSizeFromText(u"4194304"), 0u);
  EXPECT_EQ(CopyBufferSizeFromText(u"4194305"), 1024u);
  // 99999999999999999999 mod 2^32 is 1661992959; times 1024 mod 2^32:
  EXPECT_EQ(CopyBufferSizeFromText(u"99999999999999999999"), 1073740800u);
  EXPECT_EQ(CopyBufferSizeFromText(u"abc"), 0u);
  EXPECT_EQ(CopyBufferSizeFromText(u""), 0u);
}

TEST(ValidationTest, EachFailureHasItsMessageAndEarlierChecksWin) {
  const std::u16string s = u"/Source:" + Root(u"s");
  const std::u16string d = u"/Dest:" + Root(u"d");
  struct Case {
    std::vector<std::u16string> arguments;
    std::string message;
  } cases[] = {
      {{s}, "Need source AND destination path, aborting.\r\n"},
      {{u"/Source:a"}, "Need source AND destination path, aborting.\r\n"},
      {{u"/Source:a", d}, "Source or destination path too short (2 char minimum).\r\n"},
      {{u"/Source:", d}, "Source or destination path too short (2 char minimum).\r\n"},
      {{s, u"/Dest:x"}, "Source or destination path too short (2 char minimum).\r\n"},
      {{s, d, u"/Overwrite", u"/OnlyNewer", u"/CopyBufferSize:0"},
       "/Overwrite and /OnlyNewer must not be used at the same time.\r\n"},
      {{s, d, u"/CopyBufferSize:0"}, "Invalid copy buffer size, aborting.\r\n"},
      {{s, d, u"/CopyBufferSize:abc"}, "Invalid copy buffer size, aborting.\r\n"},
      {{s, d, u"/CopyBufferSize:"}, "Invalid copy buffer size, aborting.\r\n"},
      {{s, d, u"/CopyBufferSize:4194304"}, "Invalid copy buffer size, aborting.\r\n"},
      {{s, d, u"/Retry:x"}, "Invalid retry count, aborting.\r\n"},
      {{s, d, u"/Retry:-1"}, "Invalid retry count, aborting.\r\n"},
      {{s, d, u"/Retry:1000001"}, "Invalid retry count, aborting.\r\n"},
      {{s, d, u"/Wait:"}, "Invalid wait time, aborting.\r\n"},
      {{s, d, u"/Wait:5s"}, "Invalid wait time, aborting.\r\n"},
      {{s, d, u"/Threads:0"}, "Invalid thread count, aborting.\r\n"},
      {{s, d, u"/Threads:65"}, "Invalid thread count, aborting.\r\n"},
      {{s, d, u"/Threads:"}, "Invalid thread count, aborting.\r\n"},
      {{s, d, u"/Threads:-2"}, "Invalid thread count, aborting.\r\n"},
      {{s, d, u"/Exclude:*.tmp", u"/Exclude:"}, "Invalid exclude pattern, aborting.\r\n"},
      {{s, d, u"/Exclude:./"}, "Invalid exclude pattern, aborting.\r\n"},
      {{s, d, u"/Exclude:a/../b"}, "Invalid exclude pattern, aborting.\r\n"},
      {{s, d, u"/Exclude:sub/."}, "Invalid exclude pattern, aborting.\r\n"},
      {{s, d, u"/MaxDelete:0"}, "Invalid removal limit, aborting.\r\n"},
      {{s, d, u"/MaxDelete:1000001"}, "Invalid removal limit, aborting.\r\n"},
      {{s, d, u"/MaxDelete:"}, "Invalid removal limit, aborting.\r\n"},
  };
  for (const Case& c : cases) {
    ConsoleCapture capture;
    EXPECT_EQ(RunVelmox(c.arguments), -1);
    EXPECT_EQ(capture.Text(), c.message);
  }
}

TEST(ValidationTest, NegativeBufferSizePassesValidation) {
  Parsed parsed = Parse({u"/Source:" + Root(u"s"), u"/Dest:" + Root(u"d"), u"/CopyBufferSize:-1"});
  EXPECT_TRUE(parsed.valid);
  EXPECT_EQ(Settings.CopyBufferSize, 4294966272u);
}

}  // namespace
}  // namespace vx
