#pragma once

namespace vx {

// The run, from the argument vector to the exit code: 0 after the usage
// text, -1 after a fatal failure, otherwise the number of errors reported.
int Main(int argc, const char16_t* const* argv);

// Main, then what the process end does: every sink's collected bytes are
// handed over, also after a fatal failure with log files still open.
int RunMain(int argc, const char16_t* const* argv);

}  // namespace vx
