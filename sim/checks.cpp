#include "checks.h"

namespace sim {

std::uint16_t crc16_xmodem(const std::uint8_t* data, std::size_t length) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : (crc << 1));
        }
    }
    return crc;
}

std::uint16_t packet_check(const std::uint8_t* data, std::size_t length) {
    std::uint16_t reg = 0;
    for (std::size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool out = (reg & 0x8000) != 0;
            reg = static_cast<std::uint16_t>((reg << 1) | ((data[i] >> bit) & 1));
            if (out) {
                reg ^= 0x1021;
            }
        }
    }
    return reg;
}

block_status check_block(const std::uint8_t* block, std::size_t data_size) {
    if (block[0] != (data_size == 1024 ? 0x02 : 0x01)) {
        return block_status::bad_start;
    }
    if (static_cast<std::uint8_t>(block[1] + block[2]) != 0xFF) {
        return block_status::bad_complement;
    }
    const std::uint16_t crc = crc16_xmodem(block + 3, data_size);
    if (block[3 + data_size] != (crc >> 8) || block[4 + data_size] != (crc & 0xFF)) {
        return block_status::bad_check;
    }
    return block_status::good;
}

block_status check_packet(const std::uint8_t* packet) {
    if (packet[0] != 0x01) {
        return block_status::bad_start;
    }
    if (static_cast<std::uint8_t>(packet[1] + packet[2]) != 0xFF) {
        return block_status::bad_complement;
    }
    const std::uint16_t check = packet_check(packet, 3 + packet_data);
    if (packet[130] != (check & 0xFF) || packet[131] != (check >> 8)) {
        return block_status::bad_check;
    }
    return block_status::good;
}

} // namespace sim
