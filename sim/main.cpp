// orlik-sim: a simulated Orlik board on a pseudo-terminal, for tests, demos,
// benchmarks and dry runs of a flash job without a board.
#include "board.h"
#include "line.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <sys/prctl.h>
#include <vector>

#ifndef ORLIK_SIM_VERSION
#define ORLIK_SIM_VERSION "0.0.0"
#endif

namespace {

struct options {
    std::string link, flash_file, report_file, save_program;
    bool wire = false;
    std::uint64_t seed = 1;
    double idle = 30;
    double timeout = 0;
    long sessions = 1;
    sim::board_options board;
    sim::byte_faults faults;
};

const char usage[] =
    "usage: orlik-sim [options]\n"
    "Serves a simulated Orlik board on a pseudo-terminal; prints the terminal's path first.\n"
    "  --link PATH         also make PATH a symbolic link to the terminal (removed at exit)\n"
    "  --flash FILE        flash contents: read at start if FILE exists, written at exit\n"
    "  --flash-size N      flash size (default 2M; 0x hex, k and m suffixes)\n"
    "  --segment HEX       download segment the monitor reports (default 2000)\n"
    "  --wire              model the line: each byte takes 10 bit times at the current speed\n"
    "  --erase-ms N        time of one 64 KiB block erase (default 0)\n"
    "  --chatter N         the loader prints N bytes of text before its ready byte\n"
    "  --report FILE       write the summary as JSON\n"
    "  --save-program FILE write the program received with YMODEM\n"
    "  --idle S            a session ends after S seconds of silence (default 30)\n"
    "  --sessions N        serve N sessions, 0 without end (default 1)\n"
    "  --timeout S         end the whole run after S seconds (exit code 3)\n"
    "  --seed N            seed of the fault choices (default 1)\n"
    "faults:\n"
    "  --nak-packets F     refuse a fraction F of good packets with NAK\n"
    "  --nak-blocks F      refuse a fraction F of good YMODEM blocks with NAK\n"
    "  --corrupt-in F      corrupt a fraction F of the bytes from the tool (YMODEM and loader)\n"
    "  --drop-in F         drop a fraction F of the bytes from the tool\n"
    "  --corrupt-out F     corrupt a fraction F of the bytes to the tool\n"
    "  --drop-out F        drop a fraction F of the bytes to the tool\n"
    "  --silent-after N    the loader answers nothing after N packets\n"
    "  --fail-erase K      the erase of 64 KiB block K fails\n"
    "  --esc-at N          the loader aborts with ESC at the N-th packet\n"
    "  --decline           the loader declines (NAK instead of its ready ACK)\n"
    "  --no-prompt         the monitor never answers\n"
    "  --no-colon          the monitor answers once without a prompt, then falls silent\n"
    "  --dls-no-number     the monitor answers dls without a number\n"
    "  --answer-at-once    the loader answers without the pause of a busy board\n"
    "  --speed-mismatch    the monitor switches to another speed than the one asked\n"
    "  --version, --help\n";

bool parse_size(const char* text, std::uint32_t& out) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 0);
    if (end == text) {
        return false;
    }
    if (*end == 'k' || *end == 'K') {
        value <<= 10;
        ++end;
    } else if (*end == 'm' || *end == 'M') {
        value <<= 20;
        ++end;
    }
    if (*end != '\0' || value == 0 || value > 0xFFFFFFFFull) {
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

int parse_options(int argc, char** argv, options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orlik-sim: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&]() { return std::strtod(value(), nullptr); };
        auto whole = [&]() { return std::strtol(value(), nullptr, 0); };
        if (arg == "--help") {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("orlik-sim %s\n", ORLIK_SIM_VERSION);
            std::exit(0);
        } else if (arg == "--link") {
            o.link = value();
        } else if (arg == "--flash") {
            o.flash_file = value();
        } else if (arg == "--flash-size") {
            if (!parse_size(value(), o.board.flash_size)) {
                std::fprintf(stderr, "orlik-sim: bad --flash-size\n");
                return 2;
            }
        } else if (arg == "--segment") {
            o.board.segment = static_cast<std::uint32_t>(std::strtoul(value(), nullptr, 16));
        } else if (arg == "--wire") {
            o.wire = true;
        } else if (arg == "--erase-ms") {
            o.board.erase_ms = static_cast<int>(whole());
        } else if (arg == "--chatter") {
            o.board.chatter = static_cast<int>(whole());
        } else if (arg == "--report") {
            o.report_file = value();
        } else if (arg == "--save-program") {
            o.save_program = value();
        } else if (arg == "--idle") {
            o.idle = number();
        } else if (arg == "--sessions") {
            o.sessions = whole();
        } else if (arg == "--timeout") {
            o.timeout = number();
        } else if (arg == "--seed") {
            o.seed = std::strtoull(value(), nullptr, 0);
        } else if (arg == "--nak-packets") {
            o.board.nak_packets = number();
        } else if (arg == "--nak-blocks") {
            o.board.nak_blocks = number();
        } else if (arg == "--corrupt-in") {
            o.faults.corrupt_in = number();
        } else if (arg == "--drop-in") {
            o.faults.drop_in = number();
        } else if (arg == "--corrupt-out") {
            o.faults.corrupt_out = number();
        } else if (arg == "--drop-out") {
            o.faults.drop_out = number();
        } else if (arg == "--silent-after") {
            o.board.silent_after = whole();
        } else if (arg == "--fail-erase") {
            o.board.fail_erase = whole();
        } else if (arg == "--esc-at") {
            o.board.esc_at = whole();
        } else if (arg == "--decline") {
            o.board.decline = true;
        } else if (arg == "--no-prompt") {
            o.board.no_prompt = true;
        } else if (arg == "--no-colon") {
            o.board.no_colon = true;
        } else if (arg == "--dls-no-number") {
            o.board.dls_no_number = true;
        } else if (arg == "--speed-mismatch") {
            o.board.speed_mismatch = true;
        } else if (arg == "--answer-at-once") {
            o.board.answer_at_once = true;
        } else {
            std::fprintf(stderr, "orlik-sim: unknown option %s\n%s", arg.c_str(), usage);
            return 2;
        }
    }
    return 0;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void write_report(const std::string& path, const std::vector<sim::session_record>& sessions,
                  std::uint32_t flash_size, const std::string& run_end) {
    std::ofstream out(path);
    out << "{\n\"flash_size\": " << flash_size << ",\n\"run_end\": " << json_string(run_end)
        << ",\n\"sessions\": [\n";
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const auto& s = sessions[i];
        out << "{\n\"program_name\": " << json_string(s.program_name) << ",\n"
            << "\"program_length\": " << s.program_length << ",\n"
            << "\"segment\": " << s.segment << ",\n"
            << "\"ymodem_blocks\": " << s.ymodem_blocks << ",\n"
            << "\"ymodem_naks\": " << s.ymodem_naks << ",\n"
            << "\"loader_started\": " << (s.loader_started ? "true" : "false") << ",\n"
            << "\"ready\": " << (s.ready == "null" ? "null" : json_string(s.ready)) << ",\n"
            << "\"images\": [";
        for (std::size_t k = 0; k < s.images.size(); ++k) {
            const auto& im = s.images[k];
            out << (k ? ", " : "") << "{\"offset\": " << im.offset << ", \"size\": " << im.size
                << ", \"packets\": " << im.packets << ", \"written\": " << im.written
                << ", \"ended\": " << (im.ended ? "true" : "false") << "}";
        }
        out << "],\n"
            << "\"packets\": " << s.packets << ",\n"
            << "\"resends\": " << s.resends << ",\n"
            << "\"duplicates\": " << s.duplicates << ",\n"
            << "\"resyncs\": " << s.resyncs << ",\n"
            << "\"early_ends\": " << s.early_ends << ",\n"
            << "\"erases\": " << s.erases << ",\n"
            << "\"garbled\": " << s.garbled << ",\n"
            << "\"faults\": " << s.faults << ",\n"
            << "\"loader_end\": " << json_string(s.loader_end) << ",\n"
            << "\"end\": " << json_string(s.end) << ",\n"
            << "\"final_speed\": " << s.final_speed << "\n}" << (i + 1 < sessions.size() ? "," : "")
            << "\n";
    }
    out << "]\n}\n";
}

void print_summary(const sim::session_record& s, std::size_t number) {
    std::printf(
        "session %zu: program %s (%lld bytes) at segment %X, %llu YMODEM blocks, %llu NAKed\n",
        number, s.program_name.empty() ? "(none)" : s.program_name.c_str(),
        static_cast<long long>(s.program_length), s.segment,
        static_cast<unsigned long long>(s.ymodem_blocks),
        static_cast<unsigned long long>(s.ymodem_naks));
    for (const auto& im : s.images) {
        std::printf("  image at 0x%X, %u bytes: %llu packets, %u bytes written%s\n", im.offset,
                    im.size, static_cast<unsigned long long>(im.packets), im.written,
                    im.ended ? ", end marker" : ", no end marker");
    }
    std::printf(
        "  packets %llu, resends %llu, duplicates %llu, erases %llu, garbled bytes %llu, "
        "faults %llu\n",
        static_cast<unsigned long long>(s.packets), static_cast<unsigned long long>(s.resends),
        static_cast<unsigned long long>(s.duplicates), static_cast<unsigned long long>(s.erases),
        static_cast<unsigned long long>(s.garbled), static_cast<unsigned long long>(s.faults));
    std::printf("  loader: %s, session end: %s at %u baud\n",
                s.loader_started ? (s.loader_end.empty() ? "ran" : s.loader_end.c_str())
                                 : "not started",
                s.end.c_str(), s.final_speed);
}

void on_signal(int number) {
    sim::stop_signal = number;
}

} // namespace

int main(int argc, char** argv) {
    options o;
    if (const int bad = parse_options(argc, argv, o); bad != 0) {
        return bad;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGHUP, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    // With --wire every byte's time is a sleep; keep the kernel's slack small.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);

    std::vector<std::uint8_t> flash(o.board.flash_size, 0xFF);
    if (!o.flash_file.empty()) {
        std::ifstream in(o.flash_file, std::ios::binary);
        if (in) {
            in.read(reinterpret_cast<char*>(flash.data()),
                    static_cast<std::streamsize>(flash.size()));
        }
    }

    sim::line line(o.wire, o.seed);
    try {
        line.open(o.link);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orlik-sim: %s\n", e.what());
        return 1;
    }
    std::printf("%s\n", line.slave_path().c_str());
    std::fflush(stdout);
    line.set_faults(o.faults);
    line.set_idle(o.idle);
    if (o.timeout > 0) {
        line.set_deadline(sim::clock::now() + std::chrono::duration_cast<sim::clock::duration>(
                                                  std::chrono::duration<double>(o.timeout)));
    }

    sim::board board(line, o.board, flash);
    std::vector<sim::session_record> sessions;
    std::string run_end = "sessions";
    int code = 0;
    while (o.sessions == 0 || static_cast<long>(sessions.size()) < o.sessions) {
        sessions.emplace_back();
        try {
            board.run_session(sessions.back());
        } catch (const sim::run_over& over) {
            sessions.back().end = over.what();
            run_end = over.what();
            code = run_end == "timeout" ? 3 : 0;
            break;
        }
        print_summary(sessions.back(), sessions.size());
        std::fflush(stdout);
    }
    if (run_end != "sessions") {
        print_summary(sessions.back(), sessions.size());
    } else {
        line.wait_released(5000);
    }

    if (!o.flash_file.empty()) {
        std::ofstream out(o.flash_file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(flash.data()),
                  static_cast<std::streamsize>(flash.size()));
    }
    if (!o.save_program.empty() && !sessions.empty()) {
        std::ofstream out(o.save_program, std::ios::binary | std::ios::trunc);
        const auto& p = sessions.back().program;
        out.write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
    }
    if (!o.report_file.empty()) {
        write_report(o.report_file, sessions, o.board.flash_size, run_end);
    }
    return code;
}
