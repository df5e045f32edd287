#include "container/image_container.h"

#include <climits>
#include <cstring>

namespace container {
namespace {

constexpr std::size_t header_length = 11; // magic, type, 6 bytes, extension length
constexpr std::size_t type_index = 3;
constexpr std::size_t extension_length_index = 10;
constexpr std::size_t extension_index = 4; // the extension overwrites the buffer from here
constexpr std::size_t length_field_size = 4;
constexpr std::uint64_t gap_before_length = 2; // the two bytes between extension and length
constexpr std::uint64_t closing_bytes = 2;     // the two bytes after a record's data
constexpr std::uint32_t offset_size = 4;

static_assert(extension_index + max_extension_length == header_buffer_size);

// After a short read: 1 when the end of the file was reached, 2 for any other failure.
int read_failure(std::FILE* file) {
    return std::feof(file) != 0 ? record_not_found : record_read_error;
}

bool read_exact(std::FILE* file, std::uint8_t* out, std::size_t count) {
    return std::fread(out, 1, count, file) == count;
}

// Moves the file position forward by count bytes: 0 when done, 1 when the skip would pass the
// end of the file (the file is then left at its end with the end-of-file indicator set), 2 when
// the position cannot be taken or set.
int skip_bytes(std::FILE* file, std::uint64_t count) {
    const off_t here = ftello(file);
    if (here < 0 || fseeko(file, 0, SEEK_END) != 0) {
        return record_read_error;
    }
    const off_t end = ftello(file);
    if (end < 0) {
        return record_read_error;
    }
    // The skip is checked against the file's size in 64 bits: a seek past the end succeeds
    // silently on a regular file, so a length larger than what the file holds must not be taken
    // for a skip (a later header read would otherwise depend on how the stream treats positions
    // past its end), and a 32-bit sum (length + 2) could wrap to a short skip into the data.
    if (end < here || count > static_cast<std::uint64_t>(end - here)) {
        static_cast<void>(std::fgetc(file)); // at the end: sets the end-of-file indicator
        return record_not_found;
    }
    // here + count <= end, so the sum fits in off_t.
    if (fseeko(file, here + static_cast<off_t>(count), SEEK_SET) != 0) {
        return record_read_error;
    }
    return 0;
}

std::uint32_t load_le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

int read_record_header(std::FILE* file, record_header& header_out) {
    header_out = record_header{};
    std::uint8_t header[header_buffer_size] = {};
    if (!read_exact(file, header, header_length)) {
        return read_failure(file);
    }
    std::memcpy(header_out.magic, header, sizeof header_out.magic);
    header_out.type = header[type_index];
    header_out.extension_length = header[extension_length_index];
    if (std::memcmp(header, record_magic, sizeof record_magic) != 0) {
        return record_bad_header;
    }
    // The extension is read into the header buffer from its fifth byte on: a longer extension
    // than the buffer holds would be written past it, so the record is unusable.
    const std::size_t extension_length = header_out.extension_length;
    if (extension_length > max_extension_length) {
        return record_bad_header;
    }
    if (!read_exact(file, header + extension_index, extension_length)) {
        return read_failure(file);
    }
    if (const int code = skip_bytes(file, gap_before_length); code != 0) {
        return code;
    }
    std::uint8_t length_bytes[length_field_size];
    if (!read_exact(file, length_bytes, length_field_size)) {
        return read_failure(file);
    }
    header_out.data_length = load_le32(length_bytes);
    return record_found;
}

int find_record(std::FILE* file, std::uint8_t type, std::uint32_t* length_out, bool search) {
    if (length_out != nullptr) {
        *length_out = 0;
    }
    for (;;) {
        record_header header;
        if (const int code = read_record_header(file, header); code != record_found) {
            return code;
        }
        if (header.type == type) {
            if (length_out != nullptr) {
                *length_out = header.data_length;
            }
            return record_found;
        }
        if (!search) {
            return record_not_found;
        }
        // Widened before adding: 0xFFFFFFFF + 2 must not wrap to a skip of 1.
        if (const int code = skip_bytes(file, std::uint64_t{header.data_length} + closing_bytes);
            code != 0) {
            return code;
        }
    }
}

int next_image(std::FILE* file, std::uint32_t& offset_out, std::uint32_t& size_out,
               long& position) {
    // After an image: the two bytes that end its data record (the caller has read the data).
    if (position != 0) {
        if (const int code = skip_bytes(file, closing_bytes); code != 0) {
            return code;
        }
    }
    std::uint32_t length = 0;
    if (find_record(file, record_image_start, &length, true) != record_found) {
        return image_none;
    }
    // Widened before adding, as in find_record.
    if (const int code = skip_bytes(file, std::uint64_t{length} + closing_bytes); code != 0) {
        return code;
    }
    if (find_record(file, record_flash_offset, &length, false) != record_found) {
        return image_none;
    }
    // The offset is 32 bits: a longer offset record would be written past it, and no offset
    // could be taken from it, so the container holds no usable image here.
    if (length > offset_size) {
        return image_none;
    }
    std::uint8_t offset_bytes[offset_size];
    if (!read_exact(file, offset_bytes, length)) {
        return read_failure(file);
    }
    // Least significant byte first; a shorter record replaces only the low bytes.
    std::uint32_t offset = offset_out;
    for (std::uint32_t i = 0; i < length; ++i) {
        const unsigned shift = 8 * i;
        offset = (offset & ~(std::uint32_t{0xFF} << shift)) |
                 static_cast<std::uint32_t>(offset_bytes[i]) << shift;
    }
    offset_out = offset;
    if (const int code = skip_bytes(file, closing_bytes); code != 0) {
        return code;
    }
    if (find_record(file, record_image_data, &length, false) != record_found) {
        return image_none;
    }
    // A header has just been read, so the position is above 0; a position that does not fit
    // in the caller's long cannot be handed back.
    const off_t here = ftello(file);
    if (here <= 0 || here > LONG_MAX) {
        return image_read_error;
    }
    size_out = length;
    position = static_cast<long>(here);
    return image_found;
}

} // namespace container
