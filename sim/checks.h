// The simulated board's own decoders: the YMODEM block CRC and the loader's
// packet check value, computed bit by bit (the tool uses a table), so that a
// fault shared by both sides cannot hide.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// CRC-16/XMODEM: polynomial 0x1021, initial 0, no reflection, no final XOR.
std::uint16_t crc16_xmodem(const std::uint8_t* data, std::size_t length);

// The loader's check value: the register starts at 0, message bits enter at
// bit 0, 0x1021 is applied when a 1 leaves bit 15, no trailing zero bytes.
std::uint16_t packet_check(const std::uint8_t* data, std::size_t length);

enum class block_status { good, bad_start, bad_complement, bad_check };

// A YMODEM block: start byte (SOH for 128, STX for 1024 data bytes), number,
// complement, data, CRC high byte first.
block_status check_block(const std::uint8_t* block, std::size_t data_size);

inline constexpr std::size_t packet_size = 132;
inline constexpr std::size_t packet_data = 127;

// A loader packet: 0x01, number, complement, 127 data bytes, check value low byte first.
block_status check_packet(const std::uint8_t* packet);

} // namespace sim
