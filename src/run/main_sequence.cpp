#include "run/main_sequence.h"

#include "run/command_line.h"
#include "run/flash_handoff.h"
#include "serial/serial_link.h"
#include "ymodem/ymodem.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace run {

using serial::print;

namespace {

constexpr char reset_line[] = "\n\r";
constexpr char closing_speed_command[] = "speed   96  0  \n\r\n\r";
constexpr std::uint32_t monitor_baud = 9600;

// Reads a hexadecimal number as the monitor prints it: leading white space, an
// optional sign and "0x", then hex digits (only the low 32 bits count).
bool read_hex(const char* text, std::uint32_t& out) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    auto hex = [](char c) {
        return (c >= '0' && c <= '9')   ? c - '0'
               : (c >= 'a' && c <= 'f') ? c - 'a' + 10
               : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                        : -1;
    };
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex(p[2]) >= 0) {
        p += 2;
    }
    if (hex(*p) < 0) {
        return false;
    }
    std::uint32_t value = 0;
    for (; hex(*p) >= 0; ++p) {
        value = (value << 4) | static_cast<std::uint32_t>(hex(*p));
    }
    out = negative ? 0u - value : value;
    return true;
}

// How the run went after the monitor was reached; decides the closing line and
// the exit code.
struct run_outcome {
    bool loader_started = false;
    bool final_escape_sent = false;
    const char* failure = nullptr; // why the flash is not complete, or null
    flash_phase_report flash;
};

void print_summary(const run_outcome& outcome, std::chrono::steady_clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const auto& transfer = outcome.flash.transfer;
    if (outcome.failure == nullptr) {
        print("\nFlash programmed: %d image%s, %llu bytes in %.1f s.\n", transfer.images,
              transfer.images == 1 ? "" : "s", static_cast<unsigned long long>(transfer.bytes),
              seconds);
    } else {
        print("\nFlash NOT programmed completely: %s (%d of %d image%s confirmed, %llu bytes "
              "acknowledged, %.1f s).\n",
              outcome.failure, transfer.images_complete, transfer.images,
              transfer.images == 1 ? "" : "s", static_cast<unsigned long long>(transfer.bytes),
              seconds);
    }
}

const char* transfer_failure(const flash_phase_report& flash) {
    if (flash.declined) {
        return "the loader declined";
    }
    if (!flash.ready) {
        return "the loader did not answer";
    }
    if (flash.transfer.no_image) {
        return "the data file holds no image";
    }
    if (flash.transfer.unreadable) {
        return "the data file has unreadable records";
    }
    if (!flash.transfer.complete()) {
        return "not every packet and end marker was acknowledged";
    }
    return nullptr;
}

// Ctrl-C or SIGTERM: a running loader gets the final ESC, the board goes back
// to 9600 baud, and the run says that the flash is incomplete.
int end_interrupted(const run_outcome& outcome, bool monitor_reached) {
    if (outcome.loader_started && !outcome.final_escape_sent) {
        const std::uint8_t esc = serial::ESC;
        serial::write_all(&esc, 1);
    }
    serial::port_handle->wait_sent();
    if (monitor_reached) {
        serial::write_text(closing_speed_command);
        serial::port_handle->wait_sent();
        serial::setup_comms(monitor_baud);
    }
    print("\nInterrupted: the flash is incomplete.\n");
    return exit_signal_base + serial::interrupted();
}

} // namespace

int query_download_address(std::uint32_t& out) {
    serial::drain_echo(nullptr, 0);
    serial::write_text("dls\n\r");
    if (serial::wait_prompt(serial::prompt_budget) == 0) {
        return 0;
    }
    serial::pause_ms(50);
    std::uint8_t reply[101];
    const std::int32_t count = serial::drain_echo(reply, 100);
    if (count == 0) {
        return 0;
    }
    reply[count < 100 ? count : 100] = '\0';
    const char* text = reinterpret_cast<const char*>(reply);
    if (!read_hex(text, out)) {
        print("Unable to convert Havrel dls address: %s\n", text);
        return 0;
    }
    return 1;
}

int run_main(int argc, char** argv, platform::host& host) {
    serial::host_handle = &host;

    // 1. The command line.
    run_settings settings;
    switch (parse_command_line(argc, argv, settings)) {
    case parse_result::go_on:
        break;
    case parse_result::stop_success:
        return exit_success;
    case parse_result::stop_error:
        return exit_usage;
    }
    const speed_entry speed = speed_table[settings.speed_index];

    // 2. The port, held until the process ends.
    std::unique_ptr<platform::serial_port> port = host.open_port(settings.port_name());
    if (!port) {
        print("Busy %s.\npress any key...", settings.port_name());
        serial::wait_key();
        return exit_no_board;
    }
    serial::port_handle = port.get();

    // 3., 4. The monitor is always first reached at 9600 baud.
    print("Serial port %s successfully reconfigured.\nPower up the target with the A23 jumper "
          "installed now\n",
          settings.port_name());
    const int comms = serial::setup_comms(monitor_baud);
    if (comms != serial::comms_ok) {
        print("Error configuring serial port: %d\n", comms);
        serial::wait_key();
        return exit_no_board;
    }

    // 5. The reset prompt: the board is powered up now, its monitor answers the
    // new lines with its prompt.
    serial::write_text(reset_line);
    serial::write_text(reset_line);
    serial::pause_ms(200);
    if (serial::wait_prompt(serial::long_budget) == 0) {
        if (serial::interrupted()) {
            print("\nInterrupted.\n");
            return exit_signal_base + serial::interrupted();
        }
        print("Timeout waiting for target reset string. Please try again\n");
        serial::wait_key();
        return exit_no_board;
    }
    const auto started = std::chrono::steady_clock::now();
    run_outcome outcome;

    // 6. One more prompt, so the monitor's greeting is behind us.
    serial::write_text(reset_line);
    serial::pause_ms(200);
    serial::wait_prompt(serial::prompt_budget);

    std::uint32_t segment = 0;
    char command[32];
    if (query_download_address(segment) == 0) {
        // 7. No download segment.
        print("Error getting download address\n");
        outcome.failure = "no download address from the monitor";
    } else if (ymodem::ymodem_send_file(settings.loader_file, segment) == 0) {
        // 8. The loader did not reach the board.
        outcome.failure = "the loader was not sent";
    } else {
        // 9. Both ends to the chosen speed: the monitor first, then the port,
        // once the command has left at the old speed.
        serial::pause_ms(200);
        serial::wait_prompt(serial::prompt_budget);
        std::snprintf(command, sizeof command, "speed %d 0\n\r\n\r", speed.code);
        serial::write_text(command);
        serial::pause_ms(500);
        serial::setup_comms(speed.baud);
        serial::pause_ms(2000);

        // 10. The loader, then the flash phase.
        std::snprintf(command, sizeof command, "g %x:0\n\r", segment);
        serial::write_text(command);
        outcome.loader_started = !serial::interrupted();
        const flash_phase_result phase = run_flash_phase(settings, outcome.flash);
        outcome.final_escape_sent = outcome.flash.ready;
        if (serial::interrupted()) {
            return end_interrupted(outcome, true);
        }
        if (phase == flash_phase_result::data_file_unopened) {
            // The loader waits for images that will not come; the run ends here
            // as it always has, without the closing steps.
            print("\nFlash NOT programmed: the data file cannot be opened.\n");
            serial::wait_key();
            return exit_incomplete;
        }
        outcome.failure = transfer_failure(outcome.flash);
    }
    if (serial::interrupted()) {
        return end_interrupted(outcome, true);
    }

    // 11. Closing steps: the board back to 9600 baud, at whatever speed the
    // port has now.
    serial::write_text(closing_speed_command);
    serial::drain_echo(nullptr, 0);
    const int closing = serial::setup_comms(monitor_baud);
    if (closing != serial::comms_ok) {
        print("\nError setup_comms %u", static_cast<unsigned>(closing));
    }
    serial::pause_ms(1000);
    serial::drain_echo(nullptr, 0);
    print_summary(outcome, std::chrono::steady_clock::now() - started);
    print("\nPress any key...");
    serial::wait_key();
    if (serial::interrupted()) {
        return exit_signal_base + serial::interrupted();
    }
    return outcome.failure == nullptr ? exit_success : exit_incomplete;
}

} // namespace run
