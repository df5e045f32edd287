// Writes ".bin" image containers that the tool reads back exactly: for each image the run image
// start, flash offset (4 bytes) and image data records, with every field that the reader does
// not interpret written as zeros.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace image {

struct pack_input {
    std::uint32_t flash_offset = 0;
    std::string path; // the raw image file
};

// Record sizes of one image in a written container.
inline constexpr std::uint64_t start_record_size = 19;  // header, no data, closing bytes
inline constexpr std::uint64_t offset_record_size = 23; // header, 4 offset bytes, closing bytes
inline constexpr std::uint64_t data_record_overhead = 19;

// Writes the container to out_path (through a temporary file beside it, renamed at the end).
// Refuses, with a message and without touching out_path: no input, an input that cannot be
// read, is empty or larger than 0xFFFFFFFF bytes, an image that runs past the 32-bit flash
// address space, and images whose flash ranges overlap. Returns the empty string when done.
std::string pack_container(const std::vector<pack_input>& inputs, const std::string& out_path);

} // namespace image
