// The tool's main flow: the fixed dialogue with the board's boot monitor from
// power-up to a running loader, the flash phase, and the return to 9600 baud.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace run {

// Exit codes.
inline constexpr int exit_success = 0;       // help, or every image programmed and confirmed
inline constexpr int exit_no_board = 1;      // port cannot be opened or configured, no prompt
inline constexpr int exit_usage = 2;         // a bad command line
inline constexpr int exit_incomplete = 3;    // the board was reached but the flash is not complete
inline constexpr int exit_signal_base = 128; // plus the signal's number after Ctrl-C or SIGTERM

// Asks the monitor for the download segment with "dls"; 1 with the segment in out.
int query_download_address(std::uint32_t& out);

// The whole run; returns the exit code.
int run_main(int argc, char** argv, platform::host& host);

} // namespace run
