// The command line: usage text, option parsing, validation and the
// preparation of the two root paths.
#pragma once

#include <cstdint>
#include <string_view>

namespace vx {

extern const char16_t kDashesLine[];
extern const char16_t kVersionText[];

void PrintUsage();

// Reads the options of argv[1..argc-1] into Settings. False when a run with
// extended options holds an argument that would be skipped (its message
// printed): such a run ends before anything is opened.
bool ParseArguments(int argc, const char16_t* const* argv);

// The command line as one text: the program and its arguments, each that
// holds a space, a quote or nothing in double quotes, control characters
// escaped as in every line.
std::u16string CommandLineText(int argc, const char16_t* const* argv);

// Whether an argument is /?, -h or --help: the usage, and nothing else.
bool AsksForHelp(int argc, const char16_t* const* argv);

// "/CopyBufferSize:" value: the integer read C-style from `text`, modulo
// 2^32, times 1,024 modulo 2^32.
uint32_t CopyBufferSizeFromText(std::u16string_view text);

// Checks the settings in their fixed order and prepares Source and
// Destination. On failure prints the one message and returns false.
bool ValidateSettings();

}  // namespace vx
