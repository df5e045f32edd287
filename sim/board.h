// The simulated Orlik board: its boot monitor (text commands, prompt ':', the
// YMODEM receiver) and the flash loader the tool starts on it.
#pragma once

#include "line.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct board_options {
    std::uint32_t segment = 0x2000;
    std::uint32_t flash_size = 2u << 20;
    int erase_ms = 0;
    int chatter = 0; // extra bytes of loader text before its ready byte
    // Faults.
    double nak_packets = 0, nak_blocks = 0;
    long silent_after = -1; // packets, -1: never
    long fail_erase = -1;   // 64 KiB block index
    long esc_at = -1;       // packet number in the session, counting from 1
    bool decline = false, no_prompt = false, no_colon = false, dls_no_number = false;
    bool answer_at_once = false;
    bool speed_mismatch = false;
};

struct image_record {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint64_t packets = 0;
    std::uint32_t written = 0; // image bytes programmed
    bool ended = false;        // its end marker came
};

struct session_record {
    std::string program_name;
    std::vector<std::uint8_t> program;
    std::int64_t program_length = -1;
    std::uint32_t segment = 0;
    std::uint64_t ymodem_blocks = 0, ymodem_naks = 0;
    bool loader_started = false;
    std::string ready = "null"; // "ack", "nak" or null
    std::vector<image_record> images;
    std::uint64_t packets = 0, resends = 0, duplicates = 0, erases = 0, resyncs = 0, early_ends = 0;
    std::uint64_t faults = 0;
    std::string loader_end; // how the loader ended
    std::string end;        // how the session ended
    std::uint32_t final_speed = 9600;
    std::uint64_t garbled = 0;
};

class board {
  public:
    board(line& l, const board_options& options, std::vector<std::uint8_t>& flash)
        : line_(l), options_(options), flash_(flash) {}

    // Serves one session: from the first Enter to the closing speed command,
    // or until the line has been idle. The record tells what happened.
    void run_session(session_record& record);

  private:
    void monitor();
    void execute(const std::string& command);
    bool receive_batch();
    bool keep_program(std::vector<std::uint8_t>& data);
    void run_loader();
    bool read_value(std::uint32_t& value, bool& escaped);
    bool erase_for(std::uint32_t from, std::uint32_t to);
    void go_silent();
    void prompt() { line_.put(":"); }

    line& line_;
    const board_options& options_;
    std::vector<std::uint8_t>& flash_;
    session_record* record_ = nullptr;
    bool greeted_ = false;
    bool program_loaded_ = false;
    bool session_over_ = false;
    std::vector<bool> erased_;
};

} // namespace sim
