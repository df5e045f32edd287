// The packet exchange of the simple packet protocol: one 132-byte packet of 127
// image bytes to the loader, and the loader's one-byte answers (including its
// flash block erase reports and its abort).
#pragma once

#include <cstddef>
#include <cstdint>

namespace flash {

inline constexpr std::size_t packet_data_size = 127;
inline constexpr std::size_t packet_size =
    3 + packet_data_size + 2; // 0x01, number, complement, data, check

// sp_send_packet results.
inline constexpr std::int32_t packet_acknowledged = 1;
inline constexpr std::int32_t packet_failed = 0;
inline constexpr std::int32_t packet_aborted = -1;      // the loader sent ESC
inline constexpr std::int32_t packet_erase_failed = -2; // the loader reported a failed erase

// Feeds one byte, most significant bit first, into the check-value register.
std::uint16_t crc16_shift_in(std::uint8_t byte, std::uint16_t reg);
// The check value of bytes 0..129 of a packet.
std::uint16_t packet_check_value(const std::uint8_t* packet);

// Numbers the packet from frame_number (data bytes 3..129 filled by the caller),
// sends it up to five times and returns one of the results above.
std::int32_t sp_send_packet(std::uint8_t* packet);

} // namespace flash
