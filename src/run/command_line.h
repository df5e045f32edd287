// The run settings and the command line that fills them.
#pragma once

#include <cstdint>

namespace run {

struct speed_entry {
    int code;           // the short code of -b and of the monitor's "speed" command
    std::uint32_t baud; // the line speed
};

inline constexpr speed_entry speed_table[5] = {
    {96, 9600}, {19, 19200}, {38, 38400}, {56, 57600}, {115, 115200},
};
inline constexpr int default_speed_index = 4;

struct run_settings {
    // "COM" and one digit 1..9, or a device path as given with -c (then device
    // points into the argument list).
    char com_name[5] = {'C', 'O', 'M', '1', '\0'};
    const char* device = nullptr;
    const char* loader_file = nullptr;
    const char* data_file = nullptr;
    std::uint32_t flash_offset = 0;
    int speed_index = default_speed_index;

    const char* port_name() const { return device != nullptr ? device : com_name; }
};

enum class parse_result {
    go_on,        // run with the settings
    stop_success, // the help text was printed
    stop_error,   // a bad or missing value was reported
};

parse_result parse_command_line(int argc, char** argv, run_settings& settings);

// Reads a number at the cursor and moves the cursor past what it took: base 8
// after a leading '0', base 16 after "0x", else base 10; then one suffix b, k, m
// or g (shifts of 0, 10, 20, 30 bits) and one ','.
std::uint32_t parse_number(const char*& cursor);

} // namespace run
