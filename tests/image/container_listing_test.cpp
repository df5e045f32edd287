// The listing against the reader's own fixtures and against cases of its own, and packed
// containers read back with the listing.
#include "container/container_cases.h"
#include "container_listing.h"
#include "container_packing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <unistd.h>

namespace container_test {
// Test output names a fixture instead of dumping its bytes (found by argument-dependent lookup).
void PrintTo(const lookup_case& c, std::ostream* out) {
    *out << c.name;
}
} // namespace container_test

namespace image_test {

using namespace container_test;
using image::verdict;

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Stands for the file's length in an expected error offset.
constexpr std::uint64_t at_end = std::numeric_limits<std::uint64_t>::max();

image::container_listing list_bytes(const bytes& content) {
    const file_ptr file(std::tmpfile());
    EXPECT_NE(file, nullptr);
    if (!file) {
        return {};
    }
    if (!content.empty()) { // an empty vector's data() may be null, which fwrite does not take
        std::fwrite(content.data(), 1, content.size(), file.get());
    }
    return image::list_container(file.get());
}

std::string describe(verdict v) {
    switch (v) {
    case verdict::flashable:
        return "flashable";
    case verdict::no_image:
        return "no_image";
    case verdict::image_cut_short:
        return "image_cut_short";
    case verdict::unreadable_rest:
        return "unreadable_rest";
    }
    return "?";
}

struct listing_expect {
    verdict result;
    std::uint64_t error_at = 0; // unless flashable
};

// What the listing says of each fixture of the reader's tests. One start record is 22 bytes and
// one flash offset record 23 in these fixtures, so the first image data record is at byte 45.
const std::map<std::string, listing_expect>& fixture_verdicts() {
    static const std::map<std::string, listing_expect> table = {
        {"one_run_then_end_of_file", {verdict::flashable}},
        {"two_runs_in_a_row", {verdict::flashable}},
        {"other_records_before_and_between_runs_skipped", {verdict::flashable}},
        {"offset_and_data_records_before_first_start_skipped", {verdict::flashable}},
        {"start_followed_by_other_type", {verdict::no_image, 22 + 3}}, // its type byte
        {"offset_followed_by_other_type", {verdict::no_image, 45 + 3}},
        {"bad_magic", {verdict::no_image, 2}}, // 7F F0 56: the third byte differs
        {"empty_file", {verdict::no_image, at_end}},
        {"short_offset_record_replaces_low_bytes", {verdict::flashable}},
        {"extension_of_28_bytes", {verdict::flashable}},
        {"extension_of_29_bytes_rejected", {verdict::no_image, 10}}, // its extension length
        {"extension_of_255_bytes_rejected", {verdict::no_image, 45 + 10}},
        {"offset_record_of_5_bytes_rejected", {verdict::no_image, 22 + 13}}, // its data length
        {"truncated_header", {verdict::no_image, at_end}},
        {"truncated_data_length", {verdict::no_image, at_end}},
        {"truncated_offset_data", {verdict::no_image, at_end}},
        {"truncated_image_data", {verdict::image_cut_short, at_end}},
        {"length_ffffffff_in_skipped_record_not_wrapped", {verdict::no_image, at_end}},
        {"length_ffffffff_in_start_record_not_wrapped", {verdict::no_image, at_end}},
        {"skip_past_end_of_file", {verdict::no_image, at_end}},
        {"image_data_without_closing_bytes", {verdict::flashable}},
    };
    return table;
}

void expect_verdict(const image::container_listing& listing, const listing_expect& want,
                    std::size_t file_size) {
    EXPECT_EQ(describe(listing.result), describe(want.result)) << listing.error;
    if (want.result != verdict::flashable) {
        EXPECT_EQ(listing.error_at, want.error_at == at_end ? file_size : want.error_at)
            << listing.error;
        EXPECT_FALSE(listing.error.empty());
    }
}

class fixture_listing : public testing::TestWithParam<lookup_case> {};

// The fixtures that a file can hold (a read error needs a failing disk).
std::vector<lookup_case> file_fixtures() {
    std::vector<lookup_case> out;
    for (const lookup_case& c : lookup_cases()) {
        if (c.read_limit == no_read_limit) {
            out.push_back(c);
        }
    }
    return out;
}

TEST_P(fixture_listing, finds_the_readers_images_and_names_the_failing_byte) {
    const lookup_case& c = GetParam();
    const auto entry = fixture_verdicts().find(c.name);
    ASSERT_NE(entry, fixture_verdicts().end()) << "no expected verdict for " << c.name;
    const image::container_listing listing = list_bytes(c.file);
    EXPECT_EQ(listing.file_size, c.file.size());
    expect_verdict(listing, entry->second, c.file.size());
    // The images are the reader's; the listing takes the tool's -o as 0, so a short flash
    // offset record gives only the low bytes of the fixture's offset.
    ASSERT_EQ(listing.images.size(), c.images.size());
    for (std::size_t i = 0; i < c.images.size(); ++i) {
        const image::listed_image& got = listing.images[i];
        const std::uint32_t mask =
            got.offset_length >= 4 ? 0xFFFFFFFFu : (1u << (8 * got.offset_length)) - 1;
        EXPECT_EQ(got.flash_offset, c.images[i].offset & mask) << "image " << i;
        EXPECT_EQ(got.size, c.images[i].size) << "image " << i;
        ASSERT_LE(got.data_at, c.file.size());
        const std::size_t present =
            std::min<std::size_t>(got.size, c.file.size() - static_cast<std::size_t>(got.data_at));
        EXPECT_EQ(bytes(c.file.begin() + static_cast<long>(got.data_at),
                        c.file.begin() + static_cast<long>(got.data_at + present)),
                  c.images[i].data)
            << "image " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(reader_fixtures, fixture_listing, testing::ValuesIn(file_fixtures()),
                         [](const testing::TestParamInfo<lookup_case>& info) {
                             return std::string(info.param.name);
                         });

// Files whose first image is sound and whose rest decides the verdict.
struct rest_case {
    const char* name;
    bytes rest;          // after one_run
    listing_expect want; // error_at counted from the start of rest
    std::size_t images;
};

void PrintTo(const rest_case& c, std::ostream* out) {
    *out << c.name;
}

std::vector<rest_case> rest_cases() {
    const bytes second = run_file({0, 0, 0x1E, 0}, pattern(40, 3));
    std::vector<rest_case> cases;
    cases.push_back({"nothing", {}, {verdict::flashable}, 1});
    cases.push_back({"second_image", second, {verdict::flashable}, 2});
    cases.push_back(
        {"other_record_only", records({rec(other_type, pattern(9, 1))}), {verdict::flashable}, 1});
    // A stray byte after the closing bytes is no record, and the tool cannot read it.
    bytes junk = pattern(12, 0x7E);
    cases.push_back({"twelve_bytes_that_are_no_record", junk, {verdict::unreadable_rest, 0}, 1});
    // Eleven bytes are read as a header and then the file has ended: the tool stops cleanly.
    cases.push_back({"eleven_bytes_that_are_no_record", cut(junk, 11), {verdict::flashable}, 1});
    cases.push_back({"start_then_image_data",
                     records({rec(record_image_start, {1}), rec(record_image_data, {2, 3})}),
                     {verdict::unreadable_rest, 20 + 3},
                     1});
    cases.push_back({"start_offset_then_other",
                     records({rec(record_image_start, {}), rec(record_flash_offset, {0, 0, 1, 0}),
                              rec(other_type, {2, 3})}),
                     {verdict::unreadable_rest, 19 + 23 + 3},
                     1});
    // A second image cut off inside its records: the tool ends the container there.
    cases.push_back({"second_image_cut_in_its_records", cut(second, 30), {verdict::flashable}, 1});
    cases.push_back({"second_image_cut_in_its_data",
                     cut(second, 19 + 23 + 17 + 10),
                     {verdict::image_cut_short, at_end},
                     2});
    return cases;
}

class rest_listing : public testing::TestWithParam<rest_case> {};

TEST_P(rest_listing, decides_as_the_transfer_does) {
    const rest_case& c = GetParam();
    bytes file = run_file({0, 0, 0x1C, 0}, pattern(300, 0x20));
    const std::uint64_t rest_at = file.size();
    append_bytes(file, c.rest);
    listing_expect want = c.want;
    if (want.error_at != at_end) {
        want.error_at += rest_at;
    }
    const image::container_listing listing = list_bytes(file);
    expect_verdict(listing, want, file.size());
    EXPECT_EQ(listing.images.size(), c.images);
}

INSTANTIATE_TEST_SUITE_P(after_one_image, rest_listing, testing::ValuesIn(rest_cases()),
                         [](const testing::TestParamInfo<rest_case>& info) {
                             return std::string(info.param.name);
                         });

TEST(record_walk, lists_every_record_and_where_it_stops) {
    bytes file = records({rec(other_type, pattern(5, 1), {9, 9})});
    append_bytes(file, run_file({1, 0, 0, 0}, pattern(6, 2)));
    record bad = rec(other_type, {1});
    bad.magic = {0x7F, 0x11, 0x55};
    append_record(file, bad);
    const image::container_listing listing = list_bytes(file);
    struct want_record {
        std::uint64_t at;
        std::uint8_t type, extension_length;
        std::uint32_t data_length;
    };
    const std::vector<want_record> want = {{0, other_type, 2, 5},
                                           {26, record_image_start, 0, 3},
                                           {48, record_flash_offset, 0, 4},
                                           {71, record_image_data, 0, 6}};
    ASSERT_EQ(listing.records.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(listing.records[i].at, want[i].at);
        EXPECT_EQ(listing.records[i].type, want[i].type);
        EXPECT_EQ(listing.records[i].extension_length, want[i].extension_length);
        EXPECT_EQ(listing.records[i].data_length, want[i].data_length);
        EXPECT_EQ(listing.records[i].data_at, want[i].at + 17 + want[i].extension_length);
    }
    ASSERT_EQ(listing.images.size(), 1u);
    EXPECT_EQ(listing.images[0].data_at, 71u + 17);
    // The bad record starts after the image's closing bytes; its second byte is the wrong one.
    EXPECT_EQ(listing.records_stop_at, 71u + 17 + 6 + 2 + 1);
    EXPECT_EQ(describe(listing.result), "unreadable_rest");
    EXPECT_EQ(listing.error_at, listing.records_stop_at);
}

TEST(record_walk, an_image_start_must_be_followed_by_its_offset_record) {
    // The tool does not search on after an image start: the second start ends the lookup.
    bytes file = records({rec(record_image_start, {7})});
    append_bytes(file, run_file({1, 0, 0, 0}, pattern(6, 2)));
    const image::container_listing listing = list_bytes(file);
    EXPECT_EQ(listing.records.size(), 4u);
    EXPECT_TRUE(listing.records_stop.empty());
    EXPECT_EQ(describe(listing.result), "no_image");
    EXPECT_EQ(listing.error_at, 20u + 3);
}

namespace fs = std::filesystem;

class packing : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("orlik-image-pack-" +
                std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const bytes& content) const {
        const fs::path path = dir_ / name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        return path.string();
    }
    static bytes read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), {});
    }

    fs::path dir_;
};

TEST_F(packing, round_trips_through_the_listing_with_zeros_in_uninterpreted_fields) {
    const std::vector<std::pair<std::uint32_t, bytes>> images = {
        {0x1C0000, pattern(1000, 1)}, {0x10, pattern(1, 2)}, {0xFFFFFF00, pattern(256, 3)}};
    std::vector<image::pack_input> inputs;
    for (std::size_t i = 0; i < images.size(); ++i) {
        inputs.push_back({images[i].first, write("in" + std::to_string(i), images[i].second)});
    }
    const std::string out = (dir_ / "packed.bin").string();
    ASSERT_EQ(image::pack_container(inputs, out), "");
    EXPECT_FALSE(fs::exists(out + ".part"));

    // The same bytes as the reader's fixtures write with zeros for every free field.
    bytes expected;
    for (const auto& [offset, data] : images) {
        for (record r : {rec(record_image_start, {}),
                         rec(record_flash_offset, {static_cast<std::uint8_t>(offset),
                                                   static_cast<std::uint8_t>(offset >> 8),
                                                   static_cast<std::uint8_t>(offset >> 16),
                                                   static_cast<std::uint8_t>(offset >> 24)}),
                         rec(record_image_data, data)}) {
            r.reserved = {};
            r.gap = {};
            r.closing = {};
            append_record(expected, r);
        }
    }
    const bytes written = read(out);
    EXPECT_EQ(written, expected);

    const image::container_listing listing = list_bytes(written);
    EXPECT_EQ(describe(listing.result), "flashable") << listing.error;
    EXPECT_TRUE(listing.records_stop.empty());
    EXPECT_EQ(listing.records.size(), 3 * images.size());
    ASSERT_EQ(listing.images.size(), images.size());
    std::uint64_t data_at = image::start_record_size + image::offset_record_size + 17;
    for (std::size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        const image::listed_image& got = listing.images[i];
        EXPECT_EQ(got.flash_offset, images[i].first);
        EXPECT_EQ(got.size, images[i].second.size());
        EXPECT_EQ(got.offset_length, 4u);
        EXPECT_EQ(got.data_at, data_at);
        EXPECT_EQ(bytes(written.begin() + static_cast<long>(got.data_at),
                        written.begin() + static_cast<long>(got.data_at + got.size)),
                  images[i].second);
        data_at += got.size + 2 + image::start_record_size + image::offset_record_size + 17;
    }
    EXPECT_EQ(listing.images.back().flash_end(), 0x100000000ull);
}

TEST_F(packing, refuses_inputs_it_cannot_pack_and_leaves_the_output_alone) {
    const std::string small = write("small", pattern(100, 1));
    const std::string empty = write("empty", {});
    struct refusal {
        const char* name;
        std::vector<image::pack_input> inputs;
        const char* says;
    };
    const std::vector<refusal> cases = {
        {"no_input", {}, "no image"},
        {"missing_file", {{0, (dir_ / "absent").string()}}, "absent"},
        {"directory", {{0, dir_.string()}}, "not a regular file"},
        {"empty_image", {{0, empty}}, "empty"},
        {"past_the_address_space", {{0xFFFFFFA0, small}}, "32-bit"},
        {"overlap", {{0x1000, small}, {0x1063, small}}, "overlap"},
        {"overlap_in_either_order", {{0x1063, small}, {0x1000, small}}, "overlap"},
    };
    const std::string out = write("kept.bin", {1, 2, 3});
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string error = image::pack_container(c.inputs, out);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(read(out), (bytes{1, 2, 3}));
        EXPECT_FALSE(fs::exists(out + ".part"));
    }
    // Images that touch without overlapping are packed.
    EXPECT_EQ(image::pack_container({{0x1064, small}, {0x1000, small}}, out), "");
}

} // namespace image_test
