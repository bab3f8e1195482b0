#include <gtest/gtest.h>

#include "platform/platform.h"
// clang-format off
#include <windows.h>
// clang-format on
#include "run/command_line.h"
#include "run/run_state.h"
#include "scratch.h"

namespace vx {
namespace {

std::u16string Prepared(std::u16string_view typed) {
  std::u16string out;
  EXPECT_EQ(PrepareRootPath(typed, &out), RootPathForm::kPrepared)
      << std::string(typed.begin(), typed.end());
  return out;
}

TEST(ExtendedLengthPrefixTest, DrivesAndUncPathsGetTheirPrefix) {
  EXPECT_EQ(Prepared(u"c:\\Data\\Mixed"), u"\\\\?\\c:\\Data\\Mixed");
  EXPECT_EQ(Prepared(u"\\\\srv\\share"), u"\\\\?\\UNC\\srv\\share");
  EXPECT_EQ(Prepared(u"C:\\"), u"\\\\?\\C:\\");
  // The device namespace names a drive, not a share.
  EXPECT_EQ(Prepared(u"\\\\.\\C:\\Data\\x\\..\\y"), u"\\\\?\\C:\\Data\\y");
}

// Windows' own normalisation is made before the prefix turns it off: each
// form names the same root as the plain one, and a bare drive is its
// current directory, never the raw volume.
TEST(ExtendedLengthPrefixTest, RootFormsAreNormalisedAsWindowsReadsThem) {
  const std::u16string plain = Prepared(u"C:\\Data\\x");
  for (std::u16string_view form : {u"C:/Data/x", u"C:\\Data\\x\\.", u"C:\\Data\\x\\sub\\..",
                                   u"C:\\Data\\x.", u"C:\\Data\\x ", u"C:\\Data\\.\\x",
                                   u"C:\\Data\\\\x"}) {
    EXPECT_EQ(Prepared(form), plain) << std::string(form.begin(), form.end());
  }
  EXPECT_EQ(Prepared(u"\\\\srv\\share\\a\\..\\b"), u"\\\\?\\UNC\\srv\\share\\b");
  wchar_t current[32768];
  const DWORD length = ::GetFullPathNameW(L"C:", 32768, current, nullptr);
  ASSERT_GT(length, 2u);
  EXPECT_EQ(Prepared(u"C:"),
            u"\\\\?\\" + std::u16string(reinterpret_cast<const char16_t*>(current), length));
}

// A relative root is resolved against the current directory, never taken
// for a share; a root already in extended-length form is kept as typed.
TEST(ExtendedLengthPrefixTest, RelativeAndExtendedRoots) {
  wchar_t current[32768];
  const DWORD length = ::GetCurrentDirectoryW(32768, current);
  ASSERT_GT(length, 2u);
  std::u16string here(reinterpret_cast<const char16_t*>(current), length);
  if (here.back() != u'\\') here.push_back(u'\\');
  const std::u16string prefix = here.substr(0, 2) == u"\\\\" ? u"\\\\?\\UNC\\" + here.substr(2)
                                                             : u"\\\\?\\" + here;
  EXPECT_EQ(Prepared(u".\\x"), prefix + u"x");
  EXPECT_EQ(Prepared(u"a\\b"), prefix + u"a\\b");
  for (std::u16string_view kept : {u"\\\\?\\C:\\x", u"\\\\?\\UNC\\srv\\share",
                                   u"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\",
                                   u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1\\x"}) {
    EXPECT_EQ(Prepared(kept), kept);
  }
  EXPECT_EQ(Prepared(u"C:/fwd/slash\\"), u"\\\\?\\C:\\fwd\\slash\\");
}

TEST(ExtendedLengthPrefixTest, OtherFormsAreRefused) {
  std::u16string out;
  EXPECT_EQ(PrepareRootPath(u"data", &out), RootPathForm::kUnrecognised);
  EXPECT_EQ(PrepareRootPath(u"/x", &out), RootPathForm::kUnrecognised);
}

TEST(ExtendedLengthPrefixTest, LongestPreparedPathIs32767Units) {
  std::u16string out;
  const std::u16string fits = u"C:\\" + std::u16string(32767 - 4 - 3, u'a');
  EXPECT_EQ(PrepareRootPath(fits, &out), RootPathForm::kPrepared);
  EXPECT_EQ(out.size(), 32767u);
  EXPECT_EQ(PrepareRootPath(fits + u"a", &out), RootPathForm::kTooLong);
}

TEST(ExtendedLengthPrefixTest, ValidationMessagesForBadForms) {
  struct Case {
    std::vector<std::u16string> arguments;
    std::string message;
  } cases[] = {
      {{u"/Source:data", u"/Dest:also"},
       "Source path nor local neither UNC path, cannot identify long path prefix."},
      {{u"/Source:C:\\s", u"/Dest:data", u"/Overwrite", u"/OnlyNewer"},
       "Destination path nor local neither UNC path, cannot identify long path prefix.\r\n"},
      {{u"/Source:C:\\" + std::u16string(40000, u's'), u"/Dest:data"},
       "Source path too long (32767 char maximum), aborting.\r\n"},
      {{u"/Source:C:\\s", u"/Dest:C:\\" + std::u16string(40000, u'd')},
       "Destination path too long (32767 char maximum), aborting.\r\n"},
  };
  for (const Case& c : cases) {
    testing::ConsoleCapture capture;
    EXPECT_EQ(testing::RunVelmox(c.arguments), -1);
    EXPECT_EQ(capture.Text(), c.message);
  }
}

TEST(ExtendedLengthPrefixTest, SourceRootLengthCountsThePreparedSource) {
  testing::ConsoleCapture capture;
  const char16_t* argv[] = {u"velmox", u"/source:c:\\Data\\Mixed", u"/Dest:\\\\srv\\share"};
  ResetRun();
  ParseArguments(3, argv);
  ASSERT_TRUE(ValidateSettings());
  EXPECT_EQ(State.SourceRootLength, 17u);
  EXPECT_EQ(std::u16string(Settings.Destination), u"\\\\?\\UNC\\srv\\share");
}

}  // namespace
}  // namespace vx
