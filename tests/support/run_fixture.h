// Whole runs from a command line on real trees under src/ and dst/, with
// the log read back line by line.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "scratch.h"

namespace vx::testing {

class RunFixture : public ::testing::Test {
 protected:
  // src copied to dst with /SubDirectories /CreateDestinationDirectory
  // /OnlyNewer /Silent, the Log `log` and the ErrorLog run.err, then `more`.
  int Run(std::vector<std::u16string> more, std::u16string_view log = u"run.log") {
    std::vector<std::u16string> arguments = {u"/Source:" + scratch_.Path(u"src"),
                                             u"/Dest:" + scratch_.Path(u"dst"),
                                             u"/SubDirectories",
                                             u"/CreateDestinationDirectory",
                                             u"/OnlyNewer",
                                             u"/Silent",
                                             u"/Log:" + scratch_.Path(log),
                                             u"/ErrorLog:" + scratch_.Path(u"run.err")};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return RunVelmox(arguments);
  }
  // The log's lines that begin with `kind`.
  std::vector<std::string> Lines(const std::string& kind, std::u16string_view log = u"run.log") {
    std::vector<std::string> lines;
    std::istringstream in(scratch_.Read(log));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(kind, 0) == 0) lines.push_back(line);
    }
    return lines;
  }
  // A path as the run shows it: below its prepared root.
  std::u16string Prepared(std::u16string_view relative) {
    std::u16string prepared;
    PrepareRootPath(scratch_.Path(relative), &prepared);
    return prepared;
  }

  Scratch scratch_;
  ConsoleCapture console_;
};

}  // namespace vx::testing
