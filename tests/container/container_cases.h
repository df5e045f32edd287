// The containers the reader is tested with, and what it must find in each. The fuzzer's seed
// corpus is written from the same cases.
#pragma once

#include "container/image_container.h"
#include "container_writer.h"

#include <cstdint>
#include <vector>

namespace container_test {

using container::record_flash_offset;
using container::record_image_data;
using container::record_image_start;

inline constexpr std::uint8_t other_type = 0x10;
inline constexpr long no_read_limit = -1;

// The three records of one image: start (3 data bytes), flash offset, image data.
inline std::vector<record> image_run(bytes offset, bytes data) {
    return {rec(record_image_start, {0x11, 0x12, 0x13}), rec(record_flash_offset, offset),
            rec(record_image_data, data)};
}

inline bytes run_file(bytes offset, bytes data) {
    return records(image_run(offset, data));
}

struct image_expect {
    std::uint32_t offset;
    std::uint32_t size;
    bytes data; // what can be read of the image: size bytes, or fewer up to the end of the file
};

struct lookup_case {
    const char* name;
    bytes file;
    std::uint32_t preset_offset;      // the caller's offset before the first lookup
    std::vector<image_expect> images; // found one after the other, each read completely
    int end_code;                     // the lookup after the last image
    long read_limit = no_read_limit;  // reads past this many bytes fail, as on a bad disk
};

inline image_expect whole(std::uint32_t offset, const bytes& data) {
    return {offset, static_cast<std::uint32_t>(data.size()), data};
}

inline std::vector<lookup_case> lookup_cases() {
    const bytes at_1c0000 = {0x00, 0x00, 0x1C, 0x00};
    const bytes at_12345678 = {0x78, 0x56, 0x34, 0x12};
    const bytes first = pattern(300, 0x20);
    const bytes second = pattern(200, 0x40);
    const bytes one_run = run_file(at_1c0000, first);
    std::vector<lookup_case> cases;

    cases.push_back({"one_run_then_end_of_file", one_run, 0, {whole(0x1C0000, first)}, 1});

    bytes two = one_run;
    append_bytes(two, run_file(at_12345678, second));
    cases.push_back(
        {"two_runs_in_a_row", two, 0, {whole(0x1C0000, first), whole(0x12345678, second)}, 1});

    // The first skipped record's data holds a whole run of its own: skipped, not found.
    bytes others;
    append_record(others,
                  rec(other_type, run_file({0xAD, 0x0B, 0, 0}, pattern(9, 1)), pattern(5, 0x60)));
    append_bytes(others, one_run);
    append_record(others, rec(other_type, pattern(40, 0x70)));
    append_bytes(others, run_file(at_12345678, second));
    cases.push_back({"other_records_before_and_between_runs_skipped",
                     others,
                     0,
                     {whole(0x1C0000, first), whole(0x12345678, second)},
                     1});

    bytes stray = records(
        {rec(record_flash_offset, {0xAD, 0x0B, 0, 0}), rec(record_image_data, pattern(50, 0x80))});
    append_bytes(stray, one_run);
    cases.push_back({"offset_and_data_records_before_first_start_skipped",
                     stray,
                     0,
                     {whole(0x1C0000, first)},
                     1});

    cases.push_back({"start_followed_by_other_type",
                     records({rec(record_image_start, {1, 2, 3}), rec(other_type, {4}),
                              rec(record_flash_offset, at_1c0000), rec(record_image_data, first)}),
                     0,
                     {},
                     1});

    cases.push_back(
        {"offset_followed_by_other_type",
         records({rec(record_image_start, {1, 2, 3}), rec(record_flash_offset, at_1c0000),
                  rec(record_image_start, {1, 2, 3}), rec(record_image_data, first)}),
         0,
         {},
         1});

    std::vector<record> bad_magic = image_run(at_1c0000, first);
    bad_magic[0].magic = {0x7F, 0xF0, 0x56};
    cases.push_back({"bad_magic", records(bad_magic), 0, {}, 1});

    cases.push_back({"empty_file", {}, 0, {}, 1});

    cases.push_back({"short_offset_record_replaces_low_bytes",
                     run_file({0x34, 0x12}, first),
                     0xAABBCCDD,
                     {whole(0xAABB1234, first)},
                     1});

    std::vector<record> longest = image_run(at_1c0000, first);
    for (record& r : longest) {
        r.extension = pattern(container::max_extension_length, 0x90);
    }
    cases.push_back({"extension_of_28_bytes", records(longest), 0, {whole(0x1C0000, first)}, 1});

    // The extensions are present in full, so only the length check keeps these from being found.
    std::vector<record> ext29 = image_run(at_1c0000, first);
    ext29[0].extension = pattern(29, 0x90);
    cases.push_back({"extension_of_29_bytes_rejected", records(ext29), 0, {}, 1});

    std::vector<record> ext255 = image_run(at_1c0000, first);
    ext255[2].extension = pattern(255, 0x90);
    cases.push_back({"extension_of_255_bytes_rejected", records(ext255), 0, {}, 1});

    cases.push_back({"offset_record_of_5_bytes_rejected",
                     run_file({0x00, 0x00, 0x1C, 0x00, 0x00}, first),
                     0,
                     {},
                     1});

    // one_run: start record at 0 (22 bytes), offset record at 22 (its data at 39), image data
    // record at 45 (its data at 62).
    const std::size_t offset_data_at = 39;
    const std::size_t data_record_at = 45;
    cases.push_back({"truncated_header", cut(one_run, data_record_at + 6), 0, {}, 1});
    cases.push_back({"truncated_data_length", cut(one_run, data_record_at + 15), 0, {}, 1});
    cases.push_back({"truncated_offset_data", cut(one_run, offset_data_at + 2), 0, {}, 1});
    cases.push_back({"truncated_image_data",
                     cut(one_run, data_record_at + 17 + 100),
                     0,
                     {{0x1C0000, 300, cut(first, 100)}},
                     1});

    // A length of 0xFFFFFFFF plus the two closing bytes wraps to a skip of 1 in 32 bits; one byte
    // further on lies a run that such a skip would find.
    bytes wrap_search = records({unclosed(claiming(rec(other_type, {0xEE}), 0xFFFFFFFF))});
    append_bytes(wrap_search, one_run);
    cases.push_back({"length_ffffffff_in_skipped_record_not_wrapped", wrap_search, 0, {}, 1});

    bytes wrap_start =
        records({unclosed(claiming(rec(record_image_start, {0xEE}), 0xFFFFFFFF)),
                 rec(record_flash_offset, at_1c0000), rec(record_image_data, first)});
    cases.push_back({"length_ffffffff_in_start_record_not_wrapped", wrap_start, 0, {}, 1});

    cases.push_back({"skip_past_end_of_file",
                     records({claiming(rec(other_type, pattern(10, 0)), 1000)}),
                     0,
                     {},
                     1});

    std::vector<record> open_end = image_run(at_1c0000, first);
    open_end[2].closed = false;
    cases.push_back(
        {"image_data_without_closing_bytes", records(open_end), 0, {whole(0x1C0000, first)}, 1});

    lookup_case read_error{"read_error_in_offset_data", one_run, 0, {}, 2};
    read_error.read_limit = static_cast<long>(offset_data_at + 2);
    cases.push_back(read_error);
    return cases;
}

struct record_case {
    const char* name;
    bytes file;
    std::uint8_t type;
    bool search;
    int code;
    std::uint32_t length; // length_out afterwards
    long position;        // file position afterwards; -1: not checked
    long read_limit = no_read_limit;
};

inline std::vector<record_case> record_cases() {
    std::vector<record_case> cases;
    cases.push_back({"wanted_type_first",
                     records({rec(record_flash_offset, {1, 2, 3, 4}, {9, 9, 9})}),
                     record_flash_offset, false, 0, 4, 17 + 3});

    bytes skipping =
        records({rec(other_type, pattern(5, 1)), rec(record_image_data, pattern(7, 2))});
    const long start_data_at = static_cast<long>(skipping.size()) + 17 + 2;
    append_record(skipping, rec(record_image_start, {1, 2, 3}, {8, 8}));
    cases.push_back(
        {"search_skips_other_types", skipping, record_image_start, true, 0, 3, start_data_at});

    cases.push_back(
        {"search_off_stops_at_other_type",
         records({rec(other_type, pattern(5, 1), {7, 7, 7}), rec(record_image_start, {1, 2, 3})}),
         record_image_start, false, 1, 0, 17 + 3});

    cases.push_back(
        {"type_absent_ends_at_end_of_file",
         records({rec(other_type, pattern(5, 1)), rec(record_flash_offset, {1, 2, 3, 4})}),
         record_image_start, true, 1, 0, -1});

    std::vector<record> bad = {rec(other_type, pattern(5, 1)), rec(record_image_start, {1, 2, 3})};
    bad[0].magic = {0x55, 0xF0, 0x7F};
    cases.push_back({"bad_magic", records(bad), record_image_start, true, 3, 0, -1});
    bad[0].magic = {0x7F, 0xF0, 0x55};
    bad[1].magic = {0x7F, 0xF0, 0x00};
    cases.push_back(
        {"bad_magic_after_skipped_record", records(bad), record_image_start, true, 3, 0, -1});

    cases.push_back({"extension_of_29_bytes",
                     records({rec(record_image_start, {1, 2, 3}, pattern(29, 1))}),
                     record_image_start, true, 3, 0, -1});

    // Seeking past the end fails on some streams and not on others: either way it is the end.
    cases.push_back({"skip_past_end_of_file",
                     records({claiming(rec(other_type, pattern(10, 0)), 1000)}), record_image_start,
                     true, 1, 0, -1});

    record_case read_error{"read_error_in_header",
                           records({rec(record_image_start, {1, 2, 3})}),
                           record_image_start,
                           true,
                           2,
                           0,
                           -1};
    read_error.read_limit = 5;
    cases.push_back(read_error);
    return cases;
}

} // namespace container_test
