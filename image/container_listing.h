// What a ".bin" image container holds, read with the tool's own container reader: every record
// in file order, and the images in the order and with the offsets vantrel sends them, with the
// first byte at which the tool would stop when it cannot program the whole file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace image {

struct listed_record {
    std::uint64_t at = 0; // file offset of the record's first byte
    std::uint8_t type = 0;
    std::uint8_t extension_length = 0;
    std::uint32_t data_length = 0;
    std::uint64_t data_at = 0; // file offset of its first data byte
};

struct listed_image {
    std::uint64_t data_at = 0; // file offset of the image's first byte
    std::uint32_t flash_offset = 0;
    std::uint32_t size = 0;
    std::uint32_t offset_length = 0; // data length of its flash offset record (at most 4)

    std::uint64_t flash_end() const { return std::uint64_t{flash_offset} + size; }
};

// How a run of vantrel with the file as its data file ends, as far as the file decides it.
enum class verdict {
    flashable,       // every image is read whole and the file ends cleanly after the last one
    no_image,        // the tool finds no image and programs nothing
    image_cut_short, // the file ends inside the data of the last image found
    unreadable_rest, // images are found, then records that the tool cannot read
};

struct container_listing {
    std::uint64_t file_size = 0;
    // Every record whose header could be read, walked by data lengths from the file's start.
    std::vector<listed_record> records;
    // Why the walk ended before the end of the file, and at which byte; empty when the records
    // fill the file (the last one may lack its closing bytes).
    std::string records_stop;
    std::uint64_t records_stop_at = 0;
    // The images the tool finds, in the order it sends them; the tool's -o is taken as 0 (its
    // default), which only matters for flash offset records shorter than 4 bytes.
    std::vector<listed_image> images;
    verdict result = verdict::no_image;
    // Unless flashable: the first byte the tool cannot use (a missing byte is named by the
    // file's length) and what is wrong there.
    std::uint64_t error_at = 0;
    std::string error;
};

// Lists a container file opened for reading in binary mode; the file's position is changed.
// A file whose size cannot be taken (not seekable) gives no_image with a read error.
container_listing list_container(std::FILE* file);

// A line that says how vantrel ends with a file of this verdict.
std::string verdict_text(const container_listing& listing);

} // namespace image
