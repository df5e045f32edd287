#include "flash/packet.h"

#include "serial/frame_number.h"
#include "serial/serial_link.h"

namespace flash {

using serial::print;

namespace {

constexpr int sends = 5;
constexpr int answer_polls = 10;
constexpr std::uint32_t empty_poll_pause_ms = 5;
constexpr std::uint32_t read_failure_pause_ms = 1000;

} // namespace

std::uint16_t crc16_shift_in(std::uint8_t byte, std::uint16_t reg) {
    for (int bit = 7; bit >= 0; --bit) {
        const bool carry = (reg & 0x8000) != 0;
        reg = static_cast<std::uint16_t>((reg << 1) | ((byte >> bit) & 1));
        if (carry) {
            reg ^= 0x1021;
        }
    }
    return reg;
}

std::uint16_t packet_check_value(const std::uint8_t* packet) {
    std::uint16_t reg = 0;
    for (std::size_t i = 0; i < 3 + packet_data_size; ++i) {
        reg = crc16_shift_in(packet[i], reg);
    }
    return reg;
}

std::int32_t sp_send_packet(std::uint8_t* packet) {
    // 1. Number and check value, once: every send repeats the same 132 bytes.
    ++serial::frame_number;
    packet[0] = serial::SOH;
    packet[1] = serial::frame_number;
    packet[2] = static_cast<std::uint8_t>(255 - serial::frame_number);
    const std::uint16_t check = packet_check_value(packet);
    packet[130] = static_cast<std::uint8_t>(check & 0xFF);
    packet[131] = static_cast<std::uint8_t>(check >> 8);

    // 2. Up to five sends.
    for (int send = 0; send < sends; ++send) {
        if (serial::interrupted()) {
            return packet_failed;
        }
        std::uint32_t written = 0;
        if (!serial::port_handle->write(packet, packet_size, written)) {
            print("sp_send_packet: WriteFile Failed error = %ld\n",
                  serial::port_handle->last_error());
            return packet_failed;
        }
        if (written < packet_size) {
            print("sp_send_packet: Error writing simple file packet frame\n");
            return packet_failed;
        }
        // The answer window opens when the last byte has left the port: at 9600
        // baud the packet alone is 137.5 ms on the wire, close to the window.
        serial::port_handle->wait_sent();

        bool send_again = false;
        for (int poll = 0; poll < answer_polls && !send_again; ++poll) {
            std::uint8_t answer = 0;
            std::uint32_t count = 0;
            if (!serial::port_handle->read(answer, count)) {
                const long error = serial::port_handle->last_error();
                if (serial::interrupted()) {
                    return packet_failed;
                }
                if (count == 0 && error == platform::read_aborted_error) {
                    serial::pause_ms(read_failure_pause_ms);
                    print("X");
                    serial::pause_ms(empty_poll_pause_ms);
                    continue;
                }
                print("sp_send_packet:: Read from Serial Port = %ld\n", error);
                serial::pause_ms(read_failure_pause_ms);
                serial::pause_ms(empty_poll_pause_ms);
                return packet_failed;
            }
            if (count == 0) {
                serial::pause_ms(empty_poll_pause_ms);
                continue;
            }
            switch (answer) {
            case serial::ACK:
                print("*");
                return packet_acknowledged;
            case serial::BEL:
                print("\nErase block ");
                if (serial::wait_control(serial::long_budget) != serial::ACK) {
                    print(" - err\n");
                    serial::drain_echo(nullptr, 0);
                    return packet_erase_failed;
                }
                print(" - ok\n");
                // The erase report counts as the first poll of a new count.
                poll = 0;
                break;
            case serial::NAK:
                print("/");
                serial::drain_echo(nullptr, 0);
                serial::port_handle->purge();
                send_again = true;
                break;
            case serial::ESC:
                print("|");
                print("\nFrame: %Xh\n", static_cast<unsigned>(serial::frame_number));
                serial::drain_echo(nullptr, 0);
                return packet_aborted;
            default:
                serial::drain_echo(nullptr, 0);
                send_again = true;
                break;
            }
        }
    }
    // 3. Five sends without a decision.
    return packet_failed;
}

} // namespace flash
