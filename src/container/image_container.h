// Reader of image containers: ".bin" data files made of records, some of which describe flash
// images (where in the flash an image goes and which bytes it holds). The reader finds the images
// one after the other and leaves the file at each image's first data byte, so that the transfer
// can stream the image straight from the file.
//
// Record layout (multi-byte numbers least significant byte first):
//   0       3  magic 7F F0 55
//   3       1  record type
//   4       6  not interpreted
//   10      1  extension length E (0 to 28)
//   11      E  extension, not interpreted
//   11+E    2  not interpreted
//   13+E    4  data length L
//   17+E    L  data
//   17+E+L  2  not interpreted; the next record starts right after
//
// An image is the run image start (0x01), flash offset (0xFE), image data (0xFF), in this order
// with nothing between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace container {

inline constexpr std::uint8_t record_magic[3] = {0x7F, 0xF0, 0x55};

// Record types with a meaning; every other type is skipped by its data length.
inline constexpr std::uint8_t record_image_start = 0x01;  // its data is not interpreted
inline constexpr std::uint8_t record_flash_offset = 0xFE; // data: the offset, 4 bytes
inline constexpr std::uint8_t record_image_data = 0xFF;   // data: the bytes for the flash

// The 11 header bytes are read into a buffer of this size, and the extension is read into the
// same buffer from its fifth byte on, hence the longest extension.
inline constexpr std::size_t header_buffer_size = 32;
inline constexpr std::size_t max_extension_length = 28;

// Results of find_record.
inline constexpr int record_found = 0;      // file at the record's first data byte
inline constexpr int record_not_found = 1;  // another type (search off) or end of file
inline constexpr int record_read_error = 2; // a read or seek failed before the end of the file
inline constexpr int record_bad_header = 3; // no magic, or an extension longer than 28 bytes

// Results of next_image.
inline constexpr int image_found = 0;      // file at the image's first data byte
inline constexpr int image_none = 1;       // no (further) usable image, or end of file
inline constexpr int image_read_error = 2; // a read or seek failed before the end of the file

// The header fields of one record, as read_record_header reads them.
struct record_header {
    std::uint8_t magic[3] = {};        // bytes 0..2, record_magic in a sound record
    std::uint8_t type = 0;             // byte 3
    std::uint8_t extension_length = 0; // byte 10
    std::uint32_t data_length = 0;     // the four bytes after the extension and the gap
};

// Reads the header of the record at the current file position, the way find_record reads each
// header. record_found: the whole header was read and the file stands at the record's first
// data byte. record_not_found: the file ends inside the header. record_read_error: a read or
// seek failed before the end of the file. record_bad_header: no magic, or an extension longer
// than 28 bytes; the file then stands right after the 11 bytes up to the extension length.
// The fields that were read before the reader stopped are set in header_out, the others are 0.
int read_record_header(std::FILE* file, record_header& header_out);

// Reads the record header at the current file position. When the record has the wanted type,
// returns record_found with *length_out = its data length and the file at its first data byte.
// Otherwise, with search off, returns record_not_found with the file at that record's data;
// with search on, skips the record and tries the next one. length_out may be null; when given
// it is set to 0 first. An extension length above 28 gives record_bad_header.
int find_record(std::FILE* file, std::uint8_t type, std::uint32_t* length_out, bool search);

// Finds the next image: an image start record (others before it are skipped), a flash offset
// record and an image data record. position is 0 before the first call; afterwards it holds the
// file position of the current image's data (never 0), and the next call first skips the two
// bytes that end that image's data record, so the caller must have read all of its data.
// On image_found: offset_out holds the offset record's data (an offset record shorter than 4
// bytes replaces only the low bytes of the caller's offset), size_out the data length of the
// image data record, and the file stands at the first image byte. An offset record longer than
// 4 bytes gives image_none. offset_out may have been replaced even when the run is incomplete.
int next_image(std::FILE* file, std::uint32_t& offset_out, std::uint32_t& size_out, long& position);

} // namespace container
