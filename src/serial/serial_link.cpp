#include "serial/serial_link.h"

#include "serial/frame_number.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace serial {

platform::serial_port* port_handle = nullptr;
platform::host* host_handle = nullptr;
std::uint8_t frame_number = 0;

void print(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length > 0) {
        const auto shown = static_cast<std::size_t>(length) < sizeof text
                               ? static_cast<std::size_t>(length)
                               : sizeof text - 1;
        host_handle->console_write(text, shown);
    }
}

void pause_ms(std::uint32_t milliseconds) {
    host_handle->pause_ms(milliseconds);
}

void wait_key() {
    host_handle->wait_key();
}

int interrupted() {
    return host_handle->interrupted();
}

bool write_all(const void* data, std::uint32_t length) {
    std::uint32_t written = 0;
    return port_handle->write(static_cast<const std::uint8_t*>(data), length, written) &&
           written == length;
}

void write_text(const char* text) {
    write_all(text, static_cast<std::uint32_t>(std::strlen(text)));
}

int send_until_acknowledged(const void* data, std::uint32_t length, int tries, int polls) {
    bool acknowledged = false;
    for (int attempt = 0; attempt < tries && !acknowledged && !interrupted(); ++attempt) {
        write_all(data, length);
        for (int poll = 0; poll < polls && !acknowledged; ++poll) {
            std::uint8_t reply = 0;
            std::uint32_t count = 0;
            if (!port_handle->read(reply, count) || count == 0) {
                continue;
            }
            acknowledged = reply == ACK;
            print(acknowledged ? "E" : "F");
        }
    }
    return acknowledged ? 1 : 0;
}

int setup_comms(std::uint32_t baud) {
    platform::comm_state state;
    if (!port_handle->get_state(state)) {
        print("GetCommState failed with error %d.\n", static_cast<int>(port_handle->last_error()));
        return comms_get_state_failed;
    }
    state.baud_rate = baud;
    state.byte_size = 8;
    state.parity = platform::no_parity;
    state.stop_bits = platform::one_stop_bit;
    state.discard_null = false;
    if (!port_handle->set_state(state)) {
        print("SetCommState failed with error %d.\n", static_cast<int>(port_handle->last_error()));
        return comms_set_state_failed;
    }
    platform::comm_timeouts timeouts;
    if (!port_handle->get_timeouts(timeouts)) {
        print("Error: GetCommTimeouts reported error number %d.\n",
              static_cast<int>(port_handle->last_error()));
        return comms_get_timeouts_failed;
    }
    // With these a one-byte read returns empty after about 10 ms of silence.
    timeouts.read_interval = 10;
    timeouts.read_total_multiplier = 10;
    if (!port_handle->set_timeouts(timeouts)) {
        print("Error: SetCommTimeouts reported error number %d.\n",
              static_cast<int>(port_handle->last_error()));
        return comms_set_timeouts_failed;
    }
    return comms_ok;
}

namespace {

// One poll: true with the byte when one arrived. A failed read counts as an
// empty poll.
bool poll_byte(std::uint8_t& byte) {
    std::uint32_t count = 0;
    return port_handle->read(byte, count) && count == 1;
}

void echo_plain(std::uint8_t byte) {
    host_handle->console_write(reinterpret_cast<const char*>(&byte), 1);
}

void echo_display(std::uint8_t byte) {
    if ((byte >= 0x20 && byte <= 0x7F) || byte == '\n' || byte == '\r') {
        echo_plain(byte);
        return;
    }
    char text[8] = {'[', static_cast<char>(byte), ' '};
    std::snprintf(text + 3, sizeof text - 3, "%02x]\n", byte);
    host_handle->console_write(text, 7);
}

} // namespace

std::int32_t drain_echo(std::uint8_t* capture, int max) {
    std::int32_t count = 0;
    int kept = 0;
    std::uint8_t byte;
    while (!interrupted() && poll_byte(byte)) {
        echo_display(byte);
        ++count;
        if (capture != nullptr && max != 0) {
            capture[kept++] = byte;
            if (kept == max) {
                return count;
            }
        }
    }
    return count;
}

int wait_prompt(int budget) {
    // After the first byte the budget no longer counts: a monitor that has
    // started to talk is waited for until its prompt comes.
    bool counting = true;
    std::uint8_t byte;
    while (!interrupted()) {
        if (poll_byte(byte)) {
            echo_plain(byte);
            counting = false;
            if (byte == ':') {
                return 1;
            }
        } else if (counting && budget > 0) {
            if (--budget == 0) {
                return 0;
            }
        }
    }
    return 0;
}

int wait_control(int budget) {
    std::uint8_t byte;
    while (!interrupted()) {
        if (poll_byte(byte)) {
            if (byte == ESC || byte == ACK || byte == NAK || byte == ENQ) {
                return byte;
            }
            echo_plain(byte);
            continue;
        }
        if (budget <= 0) {
            return 0;
        }
        pause_ms(1);
        --budget;
    }
    return 0;
}

} // namespace serial
