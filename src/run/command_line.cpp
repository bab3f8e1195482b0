#include "command_line.h"

#include <algorithm>
#include <string>
#include <vector>

#include "../copy/walk/exclude.h"
#include "../copy/replica/as_of.h"
#include "../copy/registries.h"
#include "../platform/platform.h"
#include "../report/report.h"
#include "run_state.h"

namespace vx {

const char16_t kDashesLine[] = u"-------------------------------------------\n";
const char16_t kVersionText[] = u"3.0";

void PrintUsage() {
  static const char16_t* const kLines[] = {
      kDashesLine,
      nullptr,  // the version line
      kDashesLine,
      u"Usage           : Velmox [<Parameter> ...]\n",
      u"                        /Source:<Source path>\n",
      u"                        /Dest:<Destination path>\n",
      u"                        /Log:<Logfile path and name>\n",
      u"                        /ErrorLog:<Logfile path and name>\n",
      u"                        /Overwrite  (= overwrites all files/directories\n",
      u"                        /OnlyNewer  (= copies only new or newer files/directories)\n",
      u"                        /SecurityDescriptor\n",
      u"                        /SubDirectories\n",
      u"                        /Silent\n",
      u"                        /CreateDestinationDirectory\n",
      u"                        /StopAtFirstError\n",
      u"                        /CopyBufferSize:<Size of copy buffer in KB>\n",
      u"Returns         : -1 = Fatal Error, else number of errors logged in errorlogfile\n",
      // The extensions, each line at most 80 columns; a description that
      // runs longer goes on below its option, indented.
      u"Extensions      : /HardLinks  (= a file with several names is copied once,\n",
      u"                      its other names linked to that copy)\n",
      u"                  /Attributes  (= file attributes; on Linux the user.*\n",
      u"                      extended attributes)\n",
      u"                  /Links  (= symbolic links and junctions copied as links;\n",
      u"                      the default on Linux)\n",
      u"                  /FollowLinks  (= links followed, what they lead to copied;\n",
      u"                      the default on Windows)\n",
      u"                  /Streams  (= alternate data streams; Windows only)\n",
      u"                  /Specials  (= FIFOs, sockets and devices as such; Linux only)\n",
      u"                  /Backup  (= /SubDirectories /SecurityDescriptor /Links\n",
      u"                      /HardLinks /Attributes /Streams /Specials)\n",
      u"                  /Mirror  (= removes what the source no longer has)\n",
      u"                  /List  (= shows what a run would do, writes nothing)\n",
      u"                  /Exclude:<Name or relative path, * and ? as wildcards>\n",
      u"                  /Retry:<Tries again after a transient error, default 0>\n",
      u"                  /Wait:<Seconds between tries, default 30>\n",
      u"                  /Threads:<Files copied at once, 1 to 64, default 1>\n",
      u"                  /MaxDelete:<Most entries /Mirror removes in one run,\n",
      u"                      1 to 1000000>\n",
      u"                  /Flush  (= each file's data made durable before it gets\n",
      u"                      its name)\n",
      u"                  /Recall  (= cloud placeholders and offline files read,\n",
      u"                      which fetches them; Windows)\n",
      u"                  /AppendLog:<Logfile kept, each run's lines added at its end>\n",
      u"                  /AppendErrorLog:<Error logfile kept, each run's lines\n",
      u"                      added at its end>\n",
      u"                  /JsonLog:<File of one JSON record per line: start, each\n",
      u"                      entry, summary>\n",
      u"                  /Verify  (= compares the copy's bytes with the source's,\n",
      u"                      writes nothing)\n",
      u"                  /Files:<List of paths below the source, one a line (UTF-8):\n",
      u"                      only they are copied>\n",
      u"                  /Files0:<The same list, each path ended by a NUL>\n",
      u"                  /AcceptVolume  (= the source's volumes tonight become the\n",
      u"                      replica's records)\n",
      u"                  /SummaryLine  (= the run's counts, exit and time in one line\n",
      u"                      on standard error, even with /Silent)\n",
      u"                  /Utf8  (= console and text logs in UTF-8 with LF line ends,\n",
      u"                      ERR lines with the errno's name; for Linux)\n",
      u"                  /History:<Folder the replaced and removed versions are\n",
      u"                      moved to, a folder per run>\n",
      u"                  /HistoryDays:<Days a run's folder is kept, 1 to 36500>\n",
      u"                  /MaxChange:<Most files a run replaces or removes, or a\n",
      u"                      percentage of the replica's (50%); more: no change>\n",
      u"                  /AsOf:<Time (UTC): the source, a replica with /History:,\n",
      u"                      written as it was then>\n",
  };
  for (const char16_t* line : kLines) {
    WriteConsole(line != nullptr ? std::u16string(line)
                                 : u"Velmox " + std::u16string(kVersionText) + u"\n");
  }
}

namespace {

enum class Effect { kValue, kFlag, kBufferSize, kBackup, kExclude, kCount, kChangeLimit };

struct Option {
  std::u16string_view name;     // upper case; its length is the match length
  std::u16string_view spelled;  // as the usage shows it
  Effect effect;
  const char16_t* RunSettings::*value;
  int32_t RunSettings::*flag;
  int32_t set_to = 1;                     // what a flag becomes
  int32_t RunSettings::*count = nullptr;  // kCount: where the number goes
};

// What /Backup stands for: every option that carries more than data.
void SetBackupOptions() {
  Settings.Backup = 1;
  Settings.SubDirectories = 1;
  Settings.SecurityDescriptor = 1;
  Settings.Links = kLinksKept;
  Settings.HardLinks = 1;
  Settings.Attributes = 1;
  Settings.Streams = 1;
  Settings.Specials = 1;
}

const Option kOptions[] = {
    {u"/SOURCE:", u"/Source:", Effect::kValue, &RunSettings::Source, nullptr},
    {u"/DEST:", u"/Dest:", Effect::kValue, &RunSettings::Destination, nullptr},
    {u"/LOG:", u"/Log:", Effect::kValue, &RunSettings::Log, &RunSettings::AppendLog, 0},
    {u"/ERRORLOG:", u"/ErrorLog:", Effect::kValue, &RunSettings::ErrorLog,
     &RunSettings::AppendErrorLog, 0},
    {u"/OVERWRITE", u"/Overwrite", Effect::kFlag, nullptr, &RunSettings::Overwrite},
    {u"/ONLYNEWER", u"/OnlyNewer", Effect::kFlag, nullptr, &RunSettings::OnlyNewer},
    {u"/SECURITYDESCRIPTOR", u"/SecurityDescriptor", Effect::kFlag, nullptr, &RunSettings::SecurityDescriptor},
    {u"/SUBDIRECTORIES", u"/SubDirectories", Effect::kFlag, nullptr, &RunSettings::SubDirectories},
    {u"/SILENT", u"/Silent", Effect::kFlag, nullptr, &RunSettings::Silent},
    {u"/CREATEDESTINATIONDIRECTORY", u"/CreateDestinationDirectory", Effect::kFlag, nullptr,
     &RunSettings::CreateDestinationDirectory},
    {u"/STOPATFIRSTERROR", u"/StopAtFirstError", Effect::kFlag, nullptr, &RunSettings::StopAtFirstError},
    {u"/COPYBUFFERSIZE:", u"/CopyBufferSize:", Effect::kBufferSize, nullptr, nullptr},
    {u"/HARDLINKS", u"/HardLinks", Effect::kFlag, nullptr, &RunSettings::HardLinks},
    {u"/ATTRIBUTES", u"/Attributes", Effect::kFlag, nullptr, &RunSettings::Attributes},
    {u"/LINKS", u"/Links", Effect::kFlag, nullptr, &RunSettings::Links, kLinksKept},
    {u"/FOLLOWLINKS", u"/FollowLinks", Effect::kFlag, nullptr, &RunSettings::Links, kLinksFollowed},
    {u"/STREAMS", u"/Streams", Effect::kFlag, nullptr, &RunSettings::Streams},
    {u"/SPECIALS", u"/Specials", Effect::kFlag, nullptr, &RunSettings::Specials},
    {u"/BACKUP", u"/Backup", Effect::kBackup, nullptr, nullptr},
    {u"/MIRROR", u"/Mirror", Effect::kFlag, nullptr, &RunSettings::Mirror},
    {u"/LIST", u"/List", Effect::kFlag, nullptr, &RunSettings::List},
    {u"/EXCLUDE:", u"/Exclude:", Effect::kExclude, nullptr, nullptr},
    {u"/RETRY:", u"/Retry:", Effect::kCount, nullptr, &RunSettings::RetryGiven, 1, &RunSettings::Retry},
    {u"/WAIT:", u"/Wait:", Effect::kCount, nullptr, &RunSettings::WaitGiven, 1, &RunSettings::Wait},
    {u"/THREADS:", u"/Threads:", Effect::kCount, nullptr, &RunSettings::ThreadsGiven, 1, &RunSettings::Threads},
    {u"/MAXDELETE:", u"/MaxDelete:", Effect::kCount, nullptr, &RunSettings::MaxDeleteGiven, 1,
     &RunSettings::MaxDelete},
    {u"/FLUSH", u"/Flush", Effect::kFlag, nullptr, &RunSettings::Flush},
    {u"/RECALL", u"/Recall", Effect::kFlag, nullptr, &RunSettings::Recall},
    {u"/APPENDLOG:", u"/AppendLog:", Effect::kValue, &RunSettings::Log, &RunSettings::AppendLog},
    {u"/APPENDERRORLOG:", u"/AppendErrorLog:", Effect::kValue, &RunSettings::ErrorLog,
     &RunSettings::AppendErrorLog},
    {u"/JSONLOG:", u"/JsonLog:", Effect::kValue, &RunSettings::JsonLog, nullptr},
    {u"/VERIFY", u"/Verify", Effect::kFlag, nullptr, &RunSettings::Verify},
    {u"/FILES:", u"/Files:", Effect::kValue, &RunSettings::Files, &RunSettings::FilesNul, 0},
    {u"/FILES0:", u"/Files0:", Effect::kValue, &RunSettings::Files, &RunSettings::FilesNul},
    {u"/ACCEPTVOLUME", u"/AcceptVolume", Effect::kFlag, nullptr, &RunSettings::AcceptVolume},
    {u"/SUMMARYLINE", u"/SummaryLine", Effect::kFlag, nullptr, &RunSettings::SummaryLine},
    {u"/UTF8", u"/Utf8", Effect::kFlag, nullptr, &RunSettings::Utf8},
    {u"/HISTORY:", u"/History:", Effect::kValue, &RunSettings::History, nullptr},
    {u"/HISTORYDAYS:", u"/HistoryDays:", Effect::kCount, nullptr, &RunSettings::HistoryDaysGiven, 1,
     &RunSettings::HistoryDays},
    {u"/MAXCHANGE:", u"/MaxChange:", Effect::kChangeLimit, nullptr, nullptr},
    {u"/ASOF:", u"/AsOf:", Effect::kValue, &RunSettings::AsOf, nullptr},
};

// A count of tries or seconds: decimal digits only, at most 1,000,000;
// anything else is -1.
int32_t CountFromText(std::u16string_view text) {
  constexpr int32_t kMaxCount = 1000000;
  if (text.empty()) return -1;
  int32_t value = 0;
  for (char16_t unit : text) {
    if (unit < u'0' || unit > u'9') return -1;
    value = value * 10 + (unit - u'0');
    if (value > kMaxCount) return -1;
  }
  return value;
}

// Only 'a' to 'z' change; no locale is ever consulted.
std::u16string UpperCased(std::u16string_view argument) {
  std::u16string copy(argument);
  for (char16_t& unit : copy) {
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - 0x20);
  }
  return copy;
}

// The edit distance between two upper-cased texts.
size_t EditDistance(std::u16string_view a, std::u16string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The options a command line of the original twelve is made of; any other
// option makes the run an extended one.
constexpr size_t kOriginalOptionCount = 12;

bool IsExtendedRun(int argc, const char16_t* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::u16string working_copy = UpperCased(argv[i]);
    for (size_t k = kOriginalOptionCount; k < std::size(kOptions); ++k) {
      if (working_copy.starts_with(kOptions[k].name)) return true;
    }
  }
  return false;
}

// The option an argument that matches none most likely meant: other tools'
// spellings of a preview or a mirror first, else the nearest name.
std::u16string_view MeantOption(std::u16string_view upper) {
  static const struct {
    std::u16string_view typed;
    std::u16string_view meant;
  } kOtherToolsSpellings[] = {
      {u"-N", u"/List"},         {u"--DRY-RUN", u"/List"},   {u"--DRYRUN", u"/List"},
      {u"/L", u"/List"},         {u"--DELETE", u"/Mirror"},  {u"/MIR", u"/Mirror"},
      {u"-A", u"/Backup"},       {u"--ARCHIVE", u"/Backup"}, {u"/E", u"/SubDirectories"},
      {u"/S", u"/SubDirectories"}, {u"-R", u"/SubDirectories"},
  };
  for (const auto& spelling : kOtherToolsSpellings) {
    if (upper == spelling.typed) return spelling.meant;
  }
  std::u16string typed(upper.substr(0, upper.find(u':') + 1));
  if (typed.empty()) typed = upper;
  const size_t dashes = typed.find_first_not_of(u'-');
  if (typed[0] != u'/') typed = u"/" + typed.substr(dashes == std::u16string::npos ? 0 : dashes);
  const Option* nearest = nullptr;
  size_t best = 0;
  for (const Option& option : kOptions) {
    const size_t distance =
        option.name.starts_with(typed) ? 1 : EditDistance(typed, option.name);
    if (nearest == nullptr || distance < best) {
      nearest = &option;
      best = distance;
    }
  }
  return nearest->spelled;
}

// An option no name matches is skipped, as the usage says; the operator
// hears of it on standard error, with the known option nearest to it (one
// it abbreviates first).
void HintUnknownOption(std::u16string_view argument, std::u16string_view upper) {
  WriteHint(u"unknown option " + std::u16string(argument) + u" skipped; did you mean " +
            std::u16string(MeantOption(upper)) + u"?");
}

// In a run with extended options an argument that would be skipped ends the
// run: a mistyped /List or a peer's -n would otherwise turn a preview into
// the real thing, removals and all.
void RefuseIgnoredArgument(std::u16string_view argument, std::u16string_view upper) {
  WriteConsole(u"Unknown parameter " + std::u16string(argument) + u" (did you mean " +
               std::u16string(MeantOption(upper)) + u"?), aborting.\n");
}

bool IsCSpace(char16_t unit) {
  return unit == u' ' || (unit >= u'\t' && unit <= u'\r');
}

}  // namespace

uint32_t CopyBufferSizeFromText(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(text[i] - u'0');
  }
  if (negative) value = 0u - value;
  return value << 10;
}

// The working copy is sized to each argument, so an argument of any length
// is read whole.
bool ParseArguments(int argc, const char16_t* const* argv) {
  const bool extended = IsExtendedRun(argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::u16string_view argument = argv[i];
    const std::u16string working_copy = UpperCased(argument);
    if (working_copy.empty() || working_copy[0] != u'/') {
      if (extended) {
        RefuseIgnoredArgument(argument, working_copy);
        return false;
      }
      WriteConsole(u"Ignoring parameter " + working_copy + u"\n");
      continue;
    }
    bool known = false;
    for (const Option& option : kOptions) {
      if (working_copy.compare(0, option.name.size(), option.name) != 0) continue;
      known = true;
      switch (option.effect) {
        case Effect::kValue:
          Settings.*option.value = argv[i] + option.name.size();
          // Of /Log: and /AppendLog: (and the error logs') the later wins.
          if (option.flag != nullptr) Settings.*option.flag = option.set_to;
          break;
        case Effect::kFlag:
          Settings.*option.flag = option.set_to;
          break;
        case Effect::kBackup:
          SetBackupOptions();
          break;
        case Effect::kExclude:
          Settings.Excludes.push_back(argument.substr(option.name.size()));
          break;
        case Effect::kCount:
          Settings.*option.flag = 1;
          Settings.*option.count = CountFromText(argument.substr(option.name.size()));
          break;
        case Effect::kChangeLimit: {
          std::u16string_view limit = argument.substr(option.name.size());
          Settings.MaxChangeGiven = 1;
          Settings.MaxChangePercent = limit.ends_with(u'%');
          if (Settings.MaxChangePercent) limit.remove_suffix(1);
          Settings.MaxChange = CountFromText(limit);
          break;
        }
        case Effect::kBufferSize:
          Settings.CopyBufferSize =
              CopyBufferSizeFromText(std::u16string_view(working_copy).substr(option.name.size()));
          break;
      }
    }
    if (known) continue;
    if (extended) {
      RefuseIgnoredArgument(argument, working_copy);
      return false;
    }
    HintUnknownOption(argument, working_copy);
  }
  return true;
}

std::u16string CommandLineText(int argc, const char16_t* const* argv) {
  std::u16string text;
  for (int i = 0; i < argc; ++i) {
    const std::u16string argument = ShownPath(argv[i]);
    if (i > 0) text.push_back(u' ');
    const bool quoted =
        argument.empty() || argument.find_first_of(u" \t\"") != std::u16string::npos;
    if (quoted) text.push_back(u'"');
    text += argument;
    if (quoted) text.push_back(u'"');
  }
  return text;
}

bool AsksForHelp(int argc, const char16_t* const* argv) {
  // Whole arguments only, in any case: "/h" is no option's prefix here.
  static constexpr std::u16string_view kForms[] = {u"/?", u"-?", u"/h", u"/help", u"-h",
                                                   u"--help"};
  for (int i = 1; i < argc; ++i) {
    const std::u16string folded = AsciiFolded(argv[i]);
    for (const std::u16string_view form : kForms) {
      if (folded == form) return true;
    }
  }
  return false;
}

bool ValidateSettings() {
  if (Settings.Source == nullptr || Settings.Destination == nullptr) {
    WriteConsole(u"Need source AND destination path, aborting.\n");
    return false;
  }
  const std::u16string_view source = Settings.Source;
  const std::u16string_view destination = Settings.Destination;
  if (source.size() < 2 || destination.size() < 2) {
    WriteConsole(u"Source or destination path too short (2 char minimum).\n");
    return false;
  }
  switch (PrepareRootPath(source, &State.PreparedSource)) {
    case RootPathForm::kPrepared:
      break;
    case RootPathForm::kUnrecognised:
      WriteConsole(u"Source path nor local neither UNC path, cannot identify long path prefix.");
      return false;
    case RootPathForm::kTooLong:
      WriteConsole(u"Source path too long (32767 char maximum), aborting.\n");
      return false;
  }
  Settings.Source = State.PreparedSource.c_str();
  State.SourceRootLength = State.PreparedSource.size();
  switch (PrepareRootPath(destination, &State.PreparedDestination)) {
    case RootPathForm::kPrepared:
      break;
    case RootPathForm::kUnrecognised:
      WriteConsole(
          u"Destination path nor local neither UNC path, cannot identify long path prefix.\n");
      return false;
    case RootPathForm::kTooLong:
      WriteConsole(u"Destination path too long (32767 char maximum), aborting.\n");
      return false;
  }
  Settings.Destination = State.PreparedDestination.c_str();
  if (Settings.Overwrite && Settings.OnlyNewer) {
    WriteConsole(u"/Overwrite and /OnlyNewer must not be used at the same time.\n");
    return false;
  }
  if (Settings.Files != nullptr && Settings.Mirror) {
    WriteConsole(u"/Files: and /Mirror must not be used at the same time.\n");
    return false;
  }
  if (Settings.CopyBufferSize == 0) {
    WriteConsole(u"Invalid copy buffer size, aborting.\n");
    return false;
  }
  if (Settings.Retry < 0) {
    WriteConsole(u"Invalid retry count, aborting.\n");
    return false;
  }
  if (Settings.Wait < 0) {
    WriteConsole(u"Invalid wait time, aborting.\n");
    return false;
  }
  if (Settings.Threads < 1 || Settings.Threads > kMaxThreads) {
    WriteConsole(u"Invalid thread count, aborting.\n");
    return false;
  }
  if (Settings.MaxDeleteGiven && Settings.MaxDelete < 1) {
    WriteConsole(u"Invalid removal limit, aborting.\n");
    return false;
  }
  State.RemovalsLeft = Settings.MaxDelete;
  if (Settings.HistoryDaysGiven && (Settings.HistoryDays < 1 || Settings.HistoryDays > 36500)) {
    WriteConsole(u"Invalid history days, aborting.\n");
    return false;
  }
  if (Settings.HistoryDaysGiven && Settings.History == nullptr) {
    WriteConsole(u"/HistoryDays: needs /History:.\n");
    return false;
  }
  if (Settings.MaxChangeGiven &&
      (Settings.MaxChange < 1 || (Settings.MaxChangePercent && Settings.MaxChange > 100))) {
    WriteConsole(u"Invalid change limit, aborting.\n");
    return false;
  }
  if (Settings.AsOf != nullptr) {
    if (!TimeFromText(Settings.AsOf, &Settings.AsOfTicks)) {
      WriteConsole(u"Invalid time, aborting.\n");
      return false;
    }
    if (Settings.History == nullptr) {
      WriteConsole(u"/AsOf: needs /History:.\n");
      return false;
    }
    if (Settings.Mirror || Settings.Files != nullptr) {
      WriteConsole(Settings.Mirror ? u"/AsOf: and /Mirror must not be used at the same time.\n"
                                   : u"/AsOf: and /Files: must not be used at the same time.\n");
      return false;
    }
  }
  if (Settings.History != nullptr && Settings.History[0] == u'\0') {
    WriteConsole(u"Invalid history folder, aborting.\n");
    return false;
  }
  if (!PrepareExcludes(Settings.Excludes, &Registries.Excludes)) {
    WriteConsole(u"Invalid exclude pattern, aborting.\n");
    return false;
  }
  State.KeepLinks =
      Settings.Links == kLinksKept || (Settings.Links == kLinksDefault && kLinksKeptByDefault);
  return true;
}

}  // namespace vx
