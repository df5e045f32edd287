// Arbitrary argument vectors for the command line: the input is split at NUL
// bytes into arguments (the first is the program name); every argument is
// also read as a number on its own.
#include "run/command_line.h"
#include "scripted_link.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back().push_back(static_cast<char>(data[i]));
        }
    }
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    test::scripted_link link; // takes the console text
    run::run_settings settings;
    const auto result =
        run::parse_command_line(static_cast<int>(words.size()), argv.data(), settings);
    if (result == run::parse_result::go_on) {
        // What the run would use must be sound.
        if (settings.speed_index < 0 || settings.speed_index > 4) {
            __builtin_trap();
        }
        const char* name = settings.port_name();
        if (name == nullptr || name[0] == '\0') {
            __builtin_trap();
        }
    }
    for (const auto& w : words) {
        const char* cursor = w.c_str();
        run::parse_number(cursor);
        if (cursor < w.c_str() || cursor > w.c_str() + w.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
