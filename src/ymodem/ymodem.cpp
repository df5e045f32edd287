#include "ymodem/ymodem.h"

#include "serial/frame_number.h"
#include "serial/serial_link.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

namespace ymodem {

using serial::print;

namespace {

constexpr int attempts = 5;
constexpr std::uint32_t reply_pause_ms = 150; // covers a block's 139 ms on the wire at 9600 baud
constexpr int reply_polls = 30;
constexpr int eot_tries = 10;
constexpr int eot_polls = 10;

constexpr std::array<std::uint16_t, 256> make_crc_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t value = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            value =
                static_cast<std::uint16_t>((value & 0x8000) ? (value << 1) ^ 0x1021 : value << 1);
        }
        table[i] = value;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> crc_table = make_crc_table();
static_assert(crc_table[1] == 0x1021 && crc_table[2] == 0x2042);

// One step of the table-driven register (message bits shifted in at the low end):
// after the data, two zero steps turn the register into the XMODEM CRC.
constexpr std::uint16_t crc_step(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>(((crc << 8) | byte) ^ crc_table[crc >> 8]);
}

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

void set_header(std::uint8_t* block, std::uint8_t number) {
    block[0] = serial::SOH;
    block[1] = number;
    block[2] = static_cast<std::uint8_t>(255 - number);
}

} // namespace

std::uint16_t crc16_xmodem(const std::uint8_t* data, std::size_t length) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc = crc_step(crc, data[i]);
    }
    return crc_step(crc_step(crc, 0), 0);
}

void ymodem_block_crc(std::uint8_t* block) {
    const std::uint16_t crc = crc16_xmodem(block + 3, data_size);
    block[3 + data_size] = static_cast<std::uint8_t>(crc >> 8);
    block[4 + data_size] = static_cast<std::uint8_t>(crc & 0xFF);
}

int ymodem_send_frame(std::uint8_t* block) {
    ymodem_block_crc(block);
    // Whatever the receiver sent before, its 'C' requests for instance, is shown
    // and discarded; a reply after this point belongs to this block.
    serial::drain_echo(nullptr, 0);
    bool acknowledged = false;
    bool read_failed = false;
    for (int attempt = 0; attempt < attempts && !acknowledged && !read_failed; ++attempt) {
        if (serial::interrupted()) {
            return 0;
        }
        std::uint32_t written = 0;
        if (!serial::port_handle->write(block, block_size, written)) {
            print("send_frame: WriteFile Failed\n");
            continue;
        }
        if (written < block_size) {
            print("Error writing ymodem frame\n");
            continue;
        }
        serial::pause_ms(reply_pause_ms);
        for (int poll = 0; poll < reply_polls; ++poll) {
            std::uint8_t reply = 0;
            std::uint32_t count = 0;
            if (!serial::port_handle->read(reply, count)) {
                print("ymodem_send_frame:: ReadFile Failed error = %ld\n",
                      serial::port_handle->last_error());
                read_failed = true;
                continue;
            }
            if (count == 0) {
                print("1");
                continue;
            }
            if (reply == serial::ACK) {
                print("*");
                acknowledged = true;
            } else if (reply == serial::NAK) {
                print("/");
            } else {
                print("0x%2.2x ", reply);
            }
            break;
        }
    }
    if (!acknowledged && !read_failed) {
        print("Ymodem send_frame retry count exceeded\n");
    }
    return acknowledged ? 1 : 0;
}

void ymodem_send_eot() {
    const std::uint8_t eot = serial::EOT;
    serial::send_until_acknowledged(&eot, 1, eot_tries, eot_polls);
    serial::drain_echo(nullptr, 0);
}

int ymodem_send_file(const char* path, std::uint32_t segment) {
    // 1. The file, opened in byte mode.
    file_ptr file(path != nullptr ? std::fopen(path, "rb") : nullptr);
    if (!file) {
        print("Error opening file: %s process aborted\n", path != nullptr ? path : "(null)");
        serial::wait_key();
        return 0;
    }
    // 2. Its length, carried in block 0 as a signed 32-bit decimal number.
    std::fseek(file.get(), 0, SEEK_END);
    const auto length = static_cast<std::int32_t>(std::ftell(file.get()));
    std::fseek(file.get(), 0, SEEK_SET);

    // Block 0 must hold the name as written, its zero byte, the decimal length
    // and the length's zero byte; a longer name is refused before anything is
    // sent rather than cut, so the board never gets a wrong name.
    char length_text[16];
    const int length_digits = std::snprintf(length_text, sizeof length_text, "%d", length);
    const std::size_t path_length = std::strlen(path);
    if (path_length + 1 + static_cast<std::size_t>(length_digits) + 1 > data_size) {
        print("Loader name too long for the YMODEM header (%zu characters, at most %zu): %s\n",
              path_length, data_size - 2 - static_cast<std::size_t>(length_digits), path);
        return 0;
    }

    // 3. The monitor's receiver; what it prints meanwhile is shown.
    char command[32];
    std::snprintf(command, sizeof command, "yload %x:0\n\r", segment);
    serial::write_text(command);
    serial::pause_ms(1000);
    serial::drain_echo(nullptr, 0);

    // 4. Block 0: name and length.
    std::uint8_t block[block_size];
    std::memset(block + 3, 0, data_size);
    serial::frame_number = 0;
    set_header(block, serial::frame_number);
    std::memcpy(block + 3, path, path_length + 1);
    std::memcpy(block + 3 + path_length + 1, length_text, static_cast<std::size_t>(length_digits));

    int result = 0;
    if (ymodem_send_frame(block) != 0) {
        // 5. Data blocks, the last one filled up with SUB.
        bool last = false;
        while (!last) {
            std::memset(block + 3, serial::SUB, data_size);
            ++serial::frame_number;
            set_header(block, serial::frame_number);
            const std::size_t got = std::fread(block + 3, 1, data_size, file.get());
            if (got == 0 && !std::feof(file.get())) {
                print("Error reading file %s: %d\n", path, std::ferror(file.get()) ? 32 : 0);
                break;
            }
            last = got < data_size;
            if (ymodem_send_frame(block) == 0) {
                // Even when this was the last block: the board has not
                // confirmed the whole program, so it must not be started.
                break;
            }
            if (last) {
                result = 1;
            }
        }
    }

    // 6. End of the file, then 7. the empty block 0 that closes the batch.
    ymodem_send_eot();
    serial::drain_echo(nullptr, 0);
    file.reset();
    std::memset(block + 3, 0, data_size);
    set_header(block, 0);
    if (ymodem_send_frame(block) == 0) {
        print("Error sending final null pkt 0\n");
    }
    return result;
}

} // namespace ymodem
