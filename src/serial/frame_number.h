// The block and packet counter shared by the YMODEM sender and the packet
// protocol to the loader. The YMODEM sender sets it to 0 for block 0 and
// increases it before each data block; the image transfer sets it to 0 before
// each image and the packet exchange increases it before each packet. Being
// 8 bits wide, it wraps from 255 to 0.
#pragma once

#include <cstdint>

namespace serial {

extern std::uint8_t frame_number;

} // namespace serial
