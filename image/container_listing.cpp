#include "container_listing.h"

#include "container/image_container.h"

#include <cstdarg>
#include <cstring>
#include <sys/types.h>

namespace image {
namespace {

// Byte positions inside a record (see container/image_container.h).
constexpr std::uint64_t type_index = 3;
constexpr std::uint64_t extension_length_index = 10;
constexpr std::uint64_t data_length_index = 13; // plus the extension length
constexpr std::uint64_t closing_bytes = 2;
constexpr std::uint32_t max_offset_length = 4;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

unsigned long long ull(std::uint64_t value) {
    return static_cast<unsigned long long>(value);
}

bool seek_to(std::FILE* file, std::uint64_t at) {
    return fseeko(file, static_cast<off_t>(at), SEEK_SET) == 0;
}

// The walk over the records from the start of the file, each one stepped over by its data
// length and its two closing bytes, as the tool's search steps over them.
void walk_records(std::FILE* file, container_listing& out) {
    std::uint64_t at = 0;
    while (at < out.file_size) {
        if (!seek_to(file, at)) {
            out.records_stop_at = at;
            out.records_stop = format("the file cannot be read at byte %llu", ull(at));
            return;
        }
        container::record_header header;
        const int code = container::read_record_header(file, header);
        if (code == container::record_found) {
            const off_t data_at = ftello(file);
            listed_record r{at, header.type, header.extension_length, header.data_length,
                            static_cast<std::uint64_t>(data_at)};
            out.records.push_back(r);
            if (r.data_at + r.data_length > out.file_size) {
                out.records_stop_at = out.file_size;
                out.records_stop = format(
                    "the file ends at byte %llu inside the data of the record at byte %llu "
                    "(type 0x%02X), which declares %lu bytes",
                    ull(out.file_size), ull(at), r.type, static_cast<unsigned long>(r.data_length));
                return;
            }
            at = r.data_at + r.data_length + closing_bytes;
            continue;
        }
        if (code == container::record_read_error) {
            out.records_stop_at = at;
            out.records_stop = format("the record at byte %llu cannot be read", ull(at));
            return;
        }
        // The magic is compared as far as the file holds it: bytes that start no record are
        // named where they first differ, also in a header that the file cuts short.
        std::uint8_t magic[3] = {};
        const std::size_t present =
            seek_to(file, at) ? std::fread(magic, 1, sizeof magic, file) : 0;
        std::size_t differs = 0;
        while (differs < present && magic[differs] == container::record_magic[differs]) {
            ++differs;
        }
        if (differs < present) {
            out.records_stop_at = at + differs;
            out.records_stop = format("no record starts at byte %llu: its bytes are not the "
                                      "record mark 7F F0 55",
                                      ull(at));
        } else if (code == container::record_not_found) {
            out.records_stop_at = out.file_size;
            out.records_stop =
                format("the file ends at byte %llu inside the header of the record at byte %llu",
                       ull(out.file_size), ull(at));
        } else {
            out.records_stop_at = at + extension_length_index;
            out.records_stop =
                format("the record at byte %llu declares an extension of %u "
                       "bytes: at most %zu are read",
                       ull(at), header.extension_length, container::max_extension_length);
        }
        return;
    }
}

// Why the tool's lookup of an image that starts at byte from fails: the records from there on
// against the run image start, flash offset, image data. False when nothing explains it.
bool explain_failed_lookup(const container_listing& listing, std::uint64_t from,
                           std::uint64_t& at_out, std::string& error_out) {
    enum { want_start, want_offset, want_data } state = want_start;
    const listed_record* previous = nullptr;
    for (const listed_record& r : listing.records) {
        if (r.at < from) {
            continue;
        }
        if (state == want_start) {
            if (r.type == container::record_image_start) {
                state = want_offset;
            }
        } else if (state == want_offset) {
            if (r.type != container::record_flash_offset) {
                at_out = r.at + type_index;
                error_out = format("the record at byte %llu has type 0x%02X where the flash "
                                   "offset record (0xFE) of the image started at byte %llu must "
                                   "follow",
                                   ull(r.at), r.type, ull(previous->at));
                return true;
            }
            if (r.data_length > max_offset_length) {
                at_out = r.at + data_length_index + r.extension_length;
                error_out = format("the flash offset record at byte %llu declares %lu data "
                                   "bytes: an offset has at most 4",
                                   ull(r.at), static_cast<unsigned long>(r.data_length));
                return true;
            }
            state = want_data;
        } else {
            if (r.type != container::record_image_data) {
                at_out = r.at + type_index;
                error_out = format("the record at byte %llu has type 0x%02X where the image data "
                                   "record (0xFF) after the flash offset record at byte %llu "
                                   "must follow",
                                   ull(r.at), r.type, ull(previous->at));
                return true;
            }
            return false; // a whole image: the lookup would have found it
        }
        previous = &r;
    }
    if (!listing.records_stop.empty()) {
        at_out = listing.records_stop_at;
        error_out = listing.records_stop;
        return true;
    }
    at_out = listing.file_size;
    if (state == want_start) {
        error_out = format("the file ends at byte %llu without an image start record (0x01)",
                           ull(listing.file_size));
    } else if (state == want_offset) {
        error_out = format("the file ends at byte %llu where the flash offset record (0xFE) of "
                           "the image started at byte %llu must follow",
                           ull(listing.file_size), ull(previous->at));
    } else {
        error_out = format("the file ends at byte %llu where the image data record (0xFF) after "
                           "the flash offset record at byte %llu must follow",
                           ull(listing.file_size), ull(previous->at));
    }
    return true;
}

void fail(container_listing& listing, verdict result, std::uint64_t from, std::FILE* file) {
    listing.result = result;
    if (!explain_failed_lookup(listing, from, listing.error_at, listing.error)) {
        const off_t here = ftello(file);
        listing.error_at = here < 0 ? from : static_cast<std::uint64_t>(here);
        listing.error = "the tool finds no further image here";
    }
}

// The data length of the flash offset record before the image data record whose data starts
// at data_at.
std::uint32_t offset_length_before(const container_listing& listing, std::uint64_t data_at) {
    for (std::size_t i = 1; i < listing.records.size(); ++i) {
        if (listing.records[i].data_at == data_at) {
            return listing.records[i - 1].data_length;
        }
    }
    return max_offset_length;
}

} // namespace

container_listing list_container(std::FILE* file) {
    container_listing listing;
    if (fseeko(file, 0, SEEK_END) != 0 || ftello(file) < 0) {
        listing.error = "the file's size cannot be taken";
        return listing;
    }
    listing.file_size = static_cast<std::uint64_t>(ftello(file));
    walk_records(file, listing);

    // The images, looked up exactly as the transfer looks them up: the first lookup from the
    // start, each further one from the end of the image before it; a failed lookup ends the
    // container cleanly only at the end of the file.
    std::rewind(file);
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    long position = 0;
    if (container::next_image(file, offset, size, position) != container::image_found) {
        fail(listing, verdict::no_image, 0, file);
        return listing;
    }
    for (;;) {
        const auto data_at = static_cast<std::uint64_t>(position);
        listing.images.push_back({data_at, offset, size, offset_length_before(listing, data_at)});
        const std::uint64_t data_end = data_at + size;
        if (data_end > listing.file_size) {
            listing.result = verdict::image_cut_short;
            listing.error_at = listing.file_size;
            listing.error = format("the file ends at byte %llu after %llu of the %lu bytes of "
                                   "image %zu",
                                   ull(listing.file_size), ull(listing.file_size - data_at),
                                   static_cast<unsigned long>(size), listing.images.size());
            return listing;
        }
        if (!seek_to(file, data_end)) {
            fail(listing, verdict::unreadable_rest, data_end, file);
            return listing;
        }
        if (container::next_image(file, offset, size, position) != container::image_found) {
            if (std::fgetc(file) == EOF) {
                listing.result = verdict::flashable;
            } else {
                fail(listing, verdict::unreadable_rest, data_end + closing_bytes, file);
            }
            return listing;
        }
    }
}

std::string verdict_text(const container_listing& listing) {
    const std::size_t count = listing.images.size();
    switch (listing.result) {
    case verdict::flashable:
        return format("vantrel finds %zu image%s and reads each one whole", count,
                      count == 1 ? "" : "s");
    case verdict::no_image:
        return "vantrel finds no image in this file and programs nothing (exit status 3)";
    case verdict::image_cut_short:
        return format("vantrel stops image %zu with a read error (exit status 3)", count);
    case verdict::unreadable_rest:
        return format("vantrel sends the %zu image%s before it, then reports unreadable records "
                      "(exit status 3)",
                      count, count == 1 ? "" : "s");
    }
    return {};
}

} // namespace image
