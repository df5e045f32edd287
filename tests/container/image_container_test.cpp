#include "container/image_container.h"
#include "container_cases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <sys/types.h>

namespace container_test {

// Test output names a case instead of dumping its bytes (found by argument-dependent lookup).
void PrintTo(const lookup_case& c, std::ostream* out) {
    *out << c.name;
}
void PrintTo(const record_case& c, std::ostream* out) {
    *out << c.name;
}

namespace {

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// A stream over bytes whose reads fail (as on a bad disk) once they reach limit; before that it
// behaves like a regular file, seeks past the end included.
struct failing_source {
    const bytes* content;
    std::size_t limit;
    off64_t at = 0;
};

ssize_t failing_read(void* cookie, char* out, std::size_t count) {
    auto* source = static_cast<failing_source*>(cookie);
    const auto at = static_cast<std::size_t>(source->at);
    if (at >= source->content->size()) {
        return 0;
    }
    if (at >= source->limit) {
        return -1;
    }
    const std::size_t n = std::min({count, source->content->size() - at, source->limit - at});
    std::memcpy(out, source->content->data() + at, n);
    source->at += static_cast<off64_t>(n);
    return static_cast<ssize_t>(n);
}

int failing_seek(void* cookie, off64_t* offset, int whence) {
    auto* source = static_cast<failing_source*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? source->at
                                              : static_cast<off64_t>(source->content->size());
    if (base + *offset < 0) {
        return -1;
    }
    source->at = base + *offset;
    *offset = source->at;
    return 0;
}

enum class stream_kind { memory, temp_file, failing };

const char* kind_name(stream_kind kind) {
    return kind == stream_kind::memory      ? "memory stream"
           : kind == stream_kind::temp_file ? "temporary file"
                                            : "failing stream";
}

// Opens content for reading. A memory stream refuses seeks past its end, a regular file allows
// them: the reader must give the same answers on both.
file_ptr open_stream(const bytes& content, stream_kind kind, failing_source& source) {
    switch (kind) {
    case stream_kind::memory:
        // A memory stream of 0 bytes does not report its end (glibc); a file serves then.
        if (!content.empty()) {
            return file_ptr(
                fmemopen(const_cast<std::uint8_t*>(content.data()), content.size(), "rb"));
        }
        [[fallthrough]];
    case stream_kind::temp_file: {
        file_ptr file(std::tmpfile());
        if (file && !content.empty()) {
            std::fwrite(content.data(), 1, content.size(), file.get());
            std::rewind(file.get());
        }
        return file;
    }
    case stream_kind::failing:
        source.content = &content;
        return file_ptr(fopencookie(&source, "rb", {failing_read, nullptr, failing_seek, nullptr}));
    }
    return nullptr;
}

std::vector<stream_kind> kinds_for(long read_limit) {
    if (read_limit != no_read_limit) {
        return {stream_kind::failing};
    }
    return {stream_kind::memory, stream_kind::temp_file};
}

// Reads up to size bytes in packet-sized pieces, stopping at the end of the file, as the
// transfer does.
bytes read_image(std::FILE* file, std::uint32_t size) {
    bytes out;
    std::uint8_t chunk[127];
    while (out.size() < size) {
        const std::size_t want = std::min<std::size_t>(sizeof chunk, size - out.size());
        const std::size_t got = std::fread(chunk, 1, want, file);
        out.insert(out.end(), chunk, chunk + got);
        if (got < want) {
            break;
        }
    }
    return out;
}

template <typename Case> std::string case_name(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

class next_image_lookup : public testing::TestWithParam<lookup_case> {};

TEST_P(next_image_lookup, finds_each_image_then_stops) {
    const lookup_case& c = GetParam();
    for (const stream_kind kind : kinds_for(c.read_limit)) {
        SCOPED_TRACE(kind_name(kind));
        failing_source source{nullptr, static_cast<std::size_t>(c.read_limit)};
        const file_ptr file = open_stream(c.file, kind, source);
        ASSERT_NE(file, nullptr);
        std::uint32_t offset = c.preset_offset;
        std::uint32_t size = 0;
        long position = 0;
        for (std::size_t i = 0; i < c.images.size(); ++i) {
            SCOPED_TRACE("image " + std::to_string(i));
            const image_expect& want = c.images[i];
            ASSERT_EQ(container::next_image(file.get(), offset, size, position), 0);
            EXPECT_EQ(offset, want.offset);
            EXPECT_EQ(size, want.size);
            EXPECT_NE(position, 0);
            EXPECT_EQ(position, std::ftell(file.get()));
            EXPECT_EQ(read_image(file.get(), size), want.data);
        }
        EXPECT_EQ(container::next_image(file.get(), offset, size, position), c.end_code);
    }
}

INSTANTIATE_TEST_SUITE_P(containers, next_image_lookup, testing::ValuesIn(lookup_cases()),
                         case_name<lookup_case>);

class find_record_lookup : public testing::TestWithParam<record_case> {};

TEST_P(find_record_lookup, gives_code_length_and_position) {
    const record_case& c = GetParam();
    for (const stream_kind kind : kinds_for(c.read_limit)) {
        SCOPED_TRACE(kind_name(kind));
        failing_source source{nullptr, static_cast<std::size_t>(c.read_limit)};
        const file_ptr file = open_stream(c.file, kind, source);
        ASSERT_NE(file, nullptr);
        std::uint32_t length = 0xDEADBEEF; // must be cleared whatever the outcome
        EXPECT_EQ(container::find_record(file.get(), c.type, &length, c.search), c.code);
        EXPECT_EQ(length, c.length);
        if (c.position >= 0) {
            EXPECT_EQ(std::ftell(file.get()), c.position);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(records, find_record_lookup, testing::ValuesIn(record_cases()),
                         case_name<record_case>);

TEST(find_record, works_without_length_out) {
    const bytes content =
        records({rec(other_type, pattern(5, 1)), rec(record_image_data, pattern(7, 2), {3})});
    failing_source unused{};
    const file_ptr file = open_stream(content, stream_kind::memory, unused);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(container::find_record(file.get(), record_image_data, nullptr, true), 0);
    EXPECT_EQ(std::fgetc(file.get()), pattern(7, 2)[0]);
}

// One header read: the fields, the code and where the file is left, on each kind of stream.
struct header_case {
    const char* name;
    bytes file;
    int code;
    std::uint8_t type;
    std::uint8_t extension_length;
    std::uint32_t data_length;
    long position; // file position afterwards; -1: not checked
};

std::vector<header_case> header_cases() {
    std::vector<header_case> cases;
    cases.push_back({"sound_record", records({rec(record_image_data, pattern(9, 1), {5, 6})}), 0,
                     record_image_data, 2, 9, 17 + 2});
    cases.push_back({"declared_length_taken_as_written",
                     records({claiming(rec(other_type, {1}), 0xFFFFFFFF)}), 0, other_type, 0,
                     0xFFFFFFFF, 17});
    record bad_magic = rec(record_image_start, {1, 2, 3}, {4});
    bad_magic.magic = {0x7F, 0x00, 0x55};
    cases.push_back(
        {"bad_magic_after_11_bytes", records({bad_magic}), 3, record_image_start, 1, 0, 11});
    cases.push_back({"extension_of_29_bytes_after_11_bytes",
                     records({rec(record_flash_offset, {1}, pattern(29, 1))}), 3,
                     record_flash_offset, 29, 0, 11});
    cases.push_back(
        {"file_ends_in_first_11_bytes", cut(records({rec(other_type, {1})}), 8), 1, 0, 0, 0, -1});
    cases.push_back({"file_ends_in_data_length", cut(records({rec(other_type, {1}, {7})}), 16), 1,
                     other_type, 1, 0, -1});
    cases.push_back({"empty_file", {}, 1, 0, 0, 0, -1});
    return cases;
}

void PrintTo(const header_case& c, std::ostream* out) {
    *out << c.name;
}

class record_header_read : public testing::TestWithParam<header_case> {};

TEST_P(record_header_read, gives_fields_code_and_position) {
    const header_case& c = GetParam();
    for (const stream_kind kind : kinds_for(no_read_limit)) {
        SCOPED_TRACE(kind_name(kind));
        failing_source unused{};
        const file_ptr file = open_stream(c.file, kind, unused);
        ASSERT_NE(file, nullptr);
        container::record_header header;
        header.data_length = 0xDEADBEEF; // must be cleared whatever the outcome
        EXPECT_EQ(container::read_record_header(file.get(), header), c.code);
        EXPECT_EQ(header.type, c.type);
        EXPECT_EQ(header.extension_length, c.extension_length);
        EXPECT_EQ(header.data_length, c.data_length);
        if (c.position >= 0) {
            EXPECT_EQ(std::ftell(file.get()), c.position);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(headers, record_header_read, testing::ValuesIn(header_cases()),
                         case_name<header_case>);

} // namespace
} // namespace container_test
