#include "board.h"

#include "checks.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

constexpr std::uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ENQ = 0x05, ACK = 0x06, BEL = 0x07,
                       NAK = 0x15, CAN = 0x18, ESC = 0x1B;
constexpr std::uint32_t flash_block = 64 * 1024;

// The tool empties the line right before it waits for these bytes; a real
// loader busy erasing answers about this late.
constexpr int busy_answer_ms = 100;
// Inside a packet the bytes follow each other closely; a gap this long means
// the rest was lost and the tool will send the packet again.
constexpr int in_packet_gap_ms = 50;
// Four value bytes follow each other within about 4 ms even at 9600 baud.
constexpr int final_escape_gap_ms = 8;

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

bool parse_hex_address(const std::string& word, std::uint32_t& segment) {
    // "2000:0": the segment in hexadecimal, offset 0.
    const auto colon = word.find(':');
    if (colon == std::string::npos || colon == 0 || word.substr(colon + 1) != "0") {
        return false;
    }
    const std::string digits = word.substr(0, colon);
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
    if (*end != '\0') {
        return false;
    }
    segment = static_cast<std::uint32_t>(value);
    return true;
}

std::uint32_t speed_of(const std::string& code) {
    if (code == "96")
        return 9600;
    if (code == "19")
        return 19200;
    if (code == "38")
        return 38400;
    if (code == "56")
        return 57600;
    if (code == "115")
        return 115200;
    return 0;
}

} // namespace

void board::run_session(session_record& record) {
    record_ = &record;
    greeted_ = false;
    program_loaded_ = false;
    session_over_ = false;
    erased_.assign((flash_.size() + flash_block - 1) / flash_block, false);
    line_.set_board_baud(9600);
    line_.arm_faults(false);
    line_.reset_activity();
    const auto garbled_before = line_.counters.garbled;
    const auto faults_before = line_.counters.faults;
    try {
        if (options_.no_prompt) {
            go_silent();
        }
        monitor();
        record.end = "closing";
    } catch (const line_idle&) {
        record.end = "idle";
    }
    record.final_speed = line_.board_baud();
    record.garbled = line_.counters.garbled - garbled_before;
    record.faults += line_.counters.faults - faults_before;
}

void board::go_silent() {
    // Nothing more is answered; the session ends when the line is idle.
    for (;;) {
        line_.get(1000);
    }
}

void board::monitor() {
    std::string command;
    while (!session_over_) {
        const int b = line_.get(1000);
        if (b < 0) {
            continue;
        }
        // CR is Enter; the LF in front of it ("\n\r") changes nothing.
        if (b == '\r') {
            line_.put("\r\n");
            execute(command);
            command.clear();
            continue;
        }
        if (b == 0x08 || b == 0x7F) {
            if (!command.empty()) {
                command.pop_back();
                line_.put("\b \b");
            }
        } else if (b >= 0x20 && b <= 0x7E) {
            command.push_back(static_cast<char>(b));
            const char echo = static_cast<char>(b);
            line_.put(&echo, 1);
        }
        // Other bytes (line garbage, a stray ESC) are ignored.
    }
}

void board::execute(const std::string& command) {
    const std::vector<std::string> words = words_of(command);
    if (words.empty()) {
        if (options_.no_colon) {
            line_.put("Orlik boot monitor 2.1 starting\r\n");
            go_silent();
        }
        if (!greeted_) {
            line_.put("Orlik boot monitor 2.1 (simulated)\r\n");
            greeted_ = true;
        }
        prompt();
        return;
    }
    const std::string& verb = words[0];
    std::uint32_t segment = 0;
    if (verb == "dls" && words.size() == 1) {
        char text[64];
        if (options_.dls_no_number) {
            std::snprintf(text, sizeof text, "Segment: ----\r\n");
        } else {
            std::snprintf(text, sizeof text, "Segment: %X\r\n", options_.segment);
        }
        line_.put(text);
        prompt();
    } else if (verb == "yload" && words.size() == 2 && parse_hex_address(words[1], segment)) {
        if (segment != options_.segment) {
            line_.put("Bad load address\r\n");
            prompt();
            return;
        }
        record_->segment = segment;
        line_.arm_faults(true);
        const bool loaded = receive_batch();
        line_.arm_faults(false);
        program_loaded_ = loaded;
        char text[128];
        if (loaded) {
            std::snprintf(text, sizeof text, "\r\nLoaded %s, %lld bytes\r\n",
                          record_->program_name.c_str(),
                          static_cast<long long>(record_->program_length));
        } else {
            std::snprintf(text, sizeof text, "\r\nLoad failed\r\n");
        }
        line_.put(text);
        prompt();
    } else if (verb == "speed" && words.size() == 3 && words[2] == "0" && speed_of(words[1]) != 0) {
        // The new speed holds right after the Enter; no answer is sent.
        // A misconfigured board (--speed-mismatch) takes another speed than asked.
        const std::uint32_t asked = speed_of(words[1]);
        line_.set_board_baud(
            options_.speed_mismatch && asked != 9600 ? (asked == 57600 ? 38400 : 57600) : asked);
        // The tool's closing command, with its own spacing, ends a session; its
        // speed switch to 9600 ("speed 96 0") does not.
        if (command == "speed   96  0  ") {
            session_over_ = true;
        }
    } else if (verb == "g" && words.size() == 2 && parse_hex_address(words[1], segment)) {
        if (!program_loaded_ || segment != options_.segment) {
            line_.put("No program loaded there\r\n");
            prompt();
            return;
        }
        record_->loader_started = true;
        line_.arm_faults(true);
        run_loader();
        line_.arm_faults(false);
        line_.put("\r\n");
        prompt();
    } else {
        line_.put("Unknown command\r\n");
        prompt();
    }
}

bool board::keep_program(std::vector<std::uint8_t>& data) {
    // The header's length cuts the SUB filler of the last block.
    if (record_->program_length >= 0 &&
        data.size() > static_cast<std::size_t>(record_->program_length)) {
        data.resize(static_cast<std::size_t>(record_->program_length));
    }
    record_->program = data;
    return record_->program_length >= 0 &&
           data.size() == static_cast<std::size_t>(record_->program_length);
}

bool board::receive_batch() {
    // The receiver asks with 'C' until block 0 comes.
    const char request = 'C';
    line_.put(&request, 1);
    auto last_request = clock::now();
    auto last_block = clock::now();
    bool have_header = false;
    bool data_done = false; // EOT acknowledged: the next block 0 closes the batch
    int eots = 0;
    std::uint8_t expected = 1;
    std::vector<std::uint8_t> data;
    std::uint8_t block[3 + 1024 + 2];
    for (;;) {
        const int b = line_.get(100);
        if (b < 0) {
            if (!have_header && clock::now() - last_request >= std::chrono::seconds(3)) {
                line_.put(&request, 1);
                last_request = clock::now();
            }
            if (clock::now() - last_block >= std::chrono::seconds(10)) {
                // After the confirmed EOT the file is whole; a closing block that
                // never came through intact does not undo it.
                return data_done && keep_program(data);
            }
            continue;
        }
        if (b == EOT && have_header && !data_done) {
            // The first EOT is refused, the second confirmed, as YMODEM receivers do.
            if (eots++ == 0) {
                line_.put("\x15", 1);
            } else {
                line_.put("\x06"
                          "C",
                          2);
                data_done = true;
            }
            last_block = clock::now();
            continue;
        }
        if (b != SOH && b != STX) {
            continue;
        }
        const std::size_t size = b == STX ? 1024 : 128;
        block[0] = static_cast<std::uint8_t>(b);
        std::size_t got = 1;
        while (got < size + 5) {
            const int next = line_.get(1000);
            if (next < 0) {
                break;
            }
            block[got++] = static_cast<std::uint8_t>(next);
        }
        last_block = clock::now();
        ++record_->ymodem_blocks;
        if (got < size + 5 || check_block(block, size) != block_status::good ||
            line_.chance(options_.nak_blocks)) {
            if (got == size + 5 && check_block(block, size) == block_status::good) {
                ++record_->faults;
            }
            ++record_->ymodem_naks;
            line_.flush_input();
            line_.put("\x15", 1);
            continue;
        }
        const std::uint8_t number = block[1];
        const std::uint8_t* payload = block + 3;
        if (!have_header) {
            if (number != 0) {
                line_.put("\x15", 1);
                continue;
            }
            const auto* name = reinterpret_cast<const char*>(payload);
            const std::size_t name_length = strnlen(name, size);
            record_->program_name.assign(name, name_length);
            if (name_length + 1 < size) {
                record_->program_length = std::strtoll(name + name_length + 1, nullptr, 10);
            }
            have_header = true;
            line_.put("\x06"
                      "C",
                      2);
            continue;
        }
        if (data_done) {
            if (number != 0) {
                line_.put("\x15", 1);
                continue;
            }
            line_.put("\x06", 1);
            // A header with an empty name closes the batch.
            const bool empty = payload[0] == 0;
            if (!empty) {
                // A second file: this board takes one program only.
                line_.put("\x18\x18", 2);
                return false;
            }
            return keep_program(data);
        }
        if (number == expected) {
            data.insert(data.end(), payload, payload + size);
            ++expected;
            line_.put("\x06", 1);
        } else if (number == static_cast<std::uint8_t>(expected - 1)) {
            // The acknowledgement was lost: confirm again, store once.
            ++record_->duplicates;
            line_.put("\x06", 1);
        } else {
            const std::uint8_t cancel[2] = {CAN, CAN};
            line_.put(cancel, 2);
            return false;
        }
    }
}

// Reads the four bytes of an offset or size answer, least significant first.
// escaped: the tool sent its final ESC instead (nothing else follows it).
bool board::read_value(std::uint32_t& value, bool& escaped) {
    std::uint8_t bytes[4];
    escaped = false;
    for (int i = 0; i < 4; ++i) {
        // The tool writes a value's four bytes at once. An ESC that is not
        // followed by the rest at once is the tool's final ESC: after it the
        // tool drains the line for tens of milliseconds before it writes again.
        const int wait = i == 0 ? 5000 : bytes[0] == ESC ? final_escape_gap_ms : 300;
        const int b = line_.get(wait);
        if (b < 0) {
            escaped = i == 1 && bytes[0] == ESC;
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(b);
    }
    value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
            static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

bool board::erase_for(std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t block = from / flash_block; block <= (to - 1) / flash_block; ++block) {
        if (erased_[block]) {
            continue;
        }
        line_.put("\x07", 1);
        ++record_->erases;
        if (options_.erase_ms > 0) {
            line_.pause(options_.erase_ms);
        }
        if (static_cast<long>(block) == options_.fail_erase) {
            ++record_->faults;
            line_.put("\x15", 1);
            record_->loader_end = "erase-failed";
            return false;
        }
        std::memset(flash_.data() + static_cast<std::size_t>(block) * flash_block, 0xFF,
                    std::min<std::size_t>(flash_block, flash_.size() - block * flash_block));
        erased_[block] = true;
        line_.put("\x06", 1);
    }
    return true;
}

void board::run_loader() {
    char banner[96];
    std::snprintf(banner, sizeof banner, "\r\nOrlik flash loader 1.0, flash %u KiB\r\n",
                  options_.flash_size / 1024);
    line_.put(banner);
    for (int sent = 0; sent < options_.chatter;) {
        const std::string text = "loader: checking flash chip, all is well ...........\r\n";
        const int n = std::min<int>(static_cast<int>(text.size()), options_.chatter - sent);
        line_.put(text.data(), static_cast<std::size_t>(n));
        sent += n;
    }
    if (options_.decline) {
        record_->ready = "nak";
        record_->loader_end = "declined";
        ++record_->faults;
        line_.put("\x15", 1);
        return;
    }
    record_->ready = "ack";
    line_.put("\x06", 1);
    bool first_image = true;
    {
        for (;;) {
            image_record image;
            // The offset and size requests, asked again until both come whole.
            std::uint32_t values[2] = {0, 0};
            for (int which = 0; which < 2; ++which) {
                // Before a later image's offset request the tool has emptied the line.
                if (which == 0 && !first_image && !options_.answer_at_once) {
                    line_.pause(busy_answer_ms);
                }
                for (int tries = 0;; ++tries) {
                    line_.put("\x05", 1);
                    bool escaped = false;
                    if (read_value(values[which], escaped)) {
                        line_.put("\x06", 1);
                        break;
                    }
                    if (escaped) {
                        record_->loader_end = "final-esc";
                        return;
                    }
                    line_.flush_input();
                    if (tries >= 20) {
                        record_->loader_end = "error: no offset or size";
                        return;
                    }
                }
            }
            first_image = false;
            image.offset = values[0];
            image.size = values[1];
            record_->images.push_back(image);
            image_record& current = record_->images.back();
            const bool fits =
                static_cast<std::uint64_t>(image.offset) + image.size <= flash_.size();
            if (!options_.answer_at_once) {
                line_.pause(busy_answer_ms);
            }
            line_.put("\x06", 1); // start signal

            std::uint8_t expected = 1;
            std::uint64_t offset_in_image = 0;
            bool have_last = false;
            std::uint8_t packet[packet_size];
            for (;;) {
                const int first = line_.get(1000);
                if (first < 0) {
                    continue;
                }
                if (first == ESC) {
                    record_->loader_end = "final-esc";
                    return;
                }
                if (first == EOT) {
                    const int b1 = line_.get(in_packet_gap_ms);
                    const int b2 = b1 == 0x01 ? line_.get(in_packet_gap_ms) : -1;
                    if (b1 == 0x01 && b2 == 0xFE) {
                        // An image is confirmed only when all of it has come.
                        if (offset_in_image < image.size) {
                            ++record_->early_ends;
                            line_.put("\x15", 1);
                            continue;
                        }
                        current.ended = true;
                        line_.put("\x06", 1);
                        break;
                    }
                    ++record_->resyncs;
                    continue;
                }
                if (first != SOH) {
                    ++record_->resyncs;
                    continue;
                }
                packet[0] = SOH;
                std::size_t got = 1;
                while (got < packet_size) {
                    const int b = line_.get(in_packet_gap_ms);
                    if (b < 0) {
                        break;
                    }
                    packet[got++] = static_cast<std::uint8_t>(b);
                }
                ++record_->packets;
                if (options_.silent_after >= 0 &&
                    record_->packets > static_cast<std::uint64_t>(options_.silent_after)) {
                    ++record_->faults;
                    record_->loader_end = "silent";
                    go_silent();
                }
                if (got < packet_size || check_packet(packet) != block_status::good) {
                    ++record_->resends;
                    if (got < packet_size) {
                        ++record_->resyncs;
                    }
                    line_.flush_input();
                    line_.put("\x15", 1);
                    continue;
                }
                if (options_.esc_at > 0 &&
                    record_->packets == static_cast<std::uint64_t>(options_.esc_at)) {
                    ++record_->faults;
                    line_.put("\x1B", 1);
                    record_->loader_end = "abort";
                    break;
                }
                if (!fits) {
                    // Refused at its first packet: the tool is past its start signal wait.
                    line_.put("\x1B", 1);
                    record_->loader_end = "error: image does not fit";
                    break;
                }
                const std::uint8_t number = packet[1];
                if (have_last && number == static_cast<std::uint8_t>(expected - 1)) {
                    ++record_->duplicates;
                    line_.put("\x06", 1);
                    continue;
                }
                if (number != expected) {
                    line_.put("\x1B", 1);
                    record_->loader_end = "error: packet sequence gap";
                    break;
                }
                if (line_.chance(options_.nak_packets)) {
                    ++record_->faults;
                    ++record_->resends;
                    line_.put("\x15", 1);
                    continue;
                }
                // Only the image's own bytes are programmed, not the filler after it.
                const std::uint64_t left =
                    image.size > offset_in_image ? image.size - offset_in_image : 0;
                const auto take =
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(left, packet_data));
                if (take > 0) {
                    const std::uint32_t at =
                        image.offset + static_cast<std::uint32_t>(offset_in_image);
                    if (!erase_for(at, at + take)) {
                        break;
                    }
                    std::memcpy(flash_.data() + at, packet + 3, take);
                    current.written += take;
                }
                offset_in_image += packet_data;
                ++current.packets;
                ++expected;
                have_last = true;
                line_.put("\x06", 1);
            }

            // After the end marker, or after an image the loader gave up on: an ESC
            // from the tool within about 100 ms ends the transfer; otherwise the
            // board asks whether another image follows.
            const int quick = line_.get(busy_answer_ms);
            if (quick == ESC) {
                record_->loader_end = "final-esc";
                return;
            }
            line_.put("\x05", 1);
            int answer = -1;
            for (int waited = 0; waited < 10 && answer != ENQ && answer != ESC; ++waited) {
                answer = line_.get(1000);
            }
            if (answer != ENQ) {
                record_->loader_end = answer == ESC ? "final-esc" : "error: no next-image answer";
                return;
            }
            line_.put("\x06", 1);
        }
    }
}

} // namespace sim
