// The YMODEM sender: the loader reaches the board's memory through the boot
// monitor's YMODEM receiver as a batch of one file in 128-byte CRC-16 blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ymodem {

inline constexpr std::size_t data_size = 128;
inline constexpr std::size_t block_size = 3 + data_size + 2; // SOH, number, complement, data, CRC

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
std::uint16_t crc16_xmodem(const std::uint8_t* data, std::size_t length);

// Fills bytes 131..132 (high byte first) with the CRC of the data bytes 3..130.
void ymodem_block_crc(std::uint8_t* block);

// Sends one block (bytes 0..130 filled by the caller) with up to five attempts;
// non-zero when the receiver acknowledged it.
int ymodem_send_frame(std::uint8_t* block);

// Has the monitor receive the file at segment:0 and sends it as a one-file
// batch; 1 when the end of the file was reached during the data blocks.
int ymodem_send_file(const char* path, std::uint32_t segment);

// Ends the file with EOT until the receiver acknowledges it.
void ymodem_send_eot();

} // namespace ymodem
