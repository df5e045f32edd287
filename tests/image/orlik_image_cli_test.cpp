// orlik-image as an operator runs it: the listing and its exit status, pack's command line, and
// a packed container flashed by the tool onto the simulated board, compared byte for byte.
#include "container/container_cases.h"
#include "processes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test::random_text;
using namespace std::chrono_literals;
using container_test::bytes;

std::string text_of(const bytes& b) {
    return std::string(b.begin(), b.end());
}

class OrlikImage : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("orlik-image-") + info->name() + "-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        cwd_ = fs::current_path();
        fs::current_path(dir_); // names as an operator gives them, without a directory
    }
    void TearDown() override {
        fs::current_path(cwd_);
        if (!HasFailure()) {
            fs::remove_all(dir_);
        }
    }

    struct result {
        int code;
        std::string output;
    };
    result run(const std::string& program, const std::vector<std::string>& args,
               std::chrono::seconds limit = 30s) {
        const std::string out = (dir_ / "output.txt").string();
        test::child c(program, args, out);
        const int code = c.wait(limit);
        return {code, test::read_file(out)};
    }
    result image(const std::vector<std::string>& args) { return run(ORLIK_IMAGE, args); }

    fs::path dir_;
    fs::path cwd_;
};

TEST_F(OrlikImage, CommandLineAndListingExitStatus) {
    using namespace container_test;
    const bytes good = records(image_run({0, 0, 0x1C, 0}, pattern(300, 1)));
    test::write_file("good.bin", text_of(good));
    std::vector<record> bad = image_run({0, 0, 0x1C, 0}, pattern(300, 1));
    bad[0].magic = {0x7F, 0xF0, 0x56};
    test::write_file("bad.bin", text_of(records(bad)));
    test::write_file("cut.bin", text_of(cut(good, 162)));
    bytes short_rest = good;
    append_bytes(short_rest, cut(records(image_run({0, 0, 0x1E, 0}, pattern(40, 3))), 30));
    test::write_file("short_rest.bin", text_of(short_rest));
    fs::create_directory("v1.0");
    test::write_file("v1.0/good.bin", text_of(good));
    test::write_file("image.raw", random_text(500, 1));

    struct cli_case {
        const char* name;
        std::vector<std::string> args;
        int code;
        std::vector<std::string> says;
    };
    const std::vector<cli_case> cases = {
        {"help", {"--help"}, 0, {"usage: orlik-image list FILE", "pack -o OUT.bin"}},
        {"version", {"--version"}, 0, {"orlik-image " VANTREL_VERSION "\n"}},
        {"no_command", {}, 2, {"usage:"}},
        {"unknown_command", {"show", "good.bin"}, 2, {"usage:"}},
        {"list_without_file", {"list"}, 2, {"usage:"}},
        {"list_missing_file", {"list", "absent.bin"}, 1, {"absent.bin: No such file"}},
        {"list_sound_file",
         {"list", "good.bin"},
         0,
         {"good.bin: 364 bytes, 3 records, 1 image", "0x001C0000         300  0x001C012C",
          "vantrel finds 1 image and reads each one whole"}},
        {"list_bad_magic",
         {"list", "bad.bin"},
         1,
         {"bad.bin: byte 2: no record starts at byte 0", "finds no image"}},
        {"list_cut_image",
         {"list", "cut.bin"},
         1,
         {"cut.bin: byte 162: the file ends at byte 162 after 100 of the 300 bytes of image 1",
          "stops image 1 with a read error"}},
        {"list_rest_cut_in_its_records",
         {"list", "short_rest.bin"},
         0,
         {"warning: byte 394: the file ends at byte 394 inside the header of the record at byte "
          "386",
          "finds 1 image"}},
        {"list_name_the_tool_sends_raw",
         {"list", "v1.0/good.bin"},
         1,
         {"sends this file as one raw image"}},
        {"pack_without_output", {"pack", "0:image.raw"}, 2, {"needs -o OUT.bin"}},
        {"pack_without_input", {"pack", "-o", "x.bin"}, 2, {"at least one OFFSET:FILE"}},
        {"pack_two_outputs", {"pack", "-o", "x.bin", "-oy.bin", "0:image.raw"}, 2, {"one -o"}},
        {"pack_offset_not_a_number",
         {"pack", "-o", "x.bin", "x:image.raw"},
         2,
         {"not OFFSET:FILE"}},
        {"pack_offset_with_junk",
         {"pack", "-o", "x.bin", "0x10zz:image.raw"},
         2,
         {"not OFFSET:FILE"}},
        {"pack_without_file", {"pack", "-o", "x.bin", "0x10:"}, 2, {"not OFFSET:FILE"}},
        {"pack_overlap", {"pack", "-o", "x.bin", "0:image.raw", "256:image.raw"}, 1, {"overlap"}},
        {"pack_with_the_tools_numbers",
         {"pack", "-opacked.bin", "1M:image.raw", "010:image.raw", "0x1c0000:image.raw",
          "2k,:image.raw"},
         0,
         {"packed.bin: 2244 bytes, 4 images", "0x00100000", "0x00000008", "0x001C0000",
          "0x00000800"}},
    };
    for (const cli_case& c : cases) {
        SCOPED_TRACE(c.name);
        const result r = image(c.args);
        EXPECT_EQ(r.code, c.code) << r.output;
        for (const std::string& piece : c.says) {
            EXPECT_NE(r.output.find(piece), std::string::npos) << "missing: " << piece << "\n"
                                                               << r.output;
        }
    }
    EXPECT_FALSE(fs::exists("x.bin"));
    // What pack wrote lists as it said.
    const result listed = image({"list", "packed.bin"});
    EXPECT_EQ(listed.code, 0) << listed.output;
    EXPECT_NE(listed.output.find("12 records, 4 images"), std::string::npos) << listed.output;
}

// Three raw images packed with orlik-image, flashed by vantrel onto orlik-sim at 115200 baud.
TEST_F(OrlikImage, PackedContainerFlashesByteForByte) {
    const std::vector<std::pair<std::uint32_t, std::string>> images = {
        {0x1C0000, random_text(65536 + 77, 2)},
        {0x10, random_text(1, 3)},
        {0x100000, random_text(127 * 40, 4)}};
    std::vector<std::string> pack = {"pack", "-o", "bios.bin"};
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::string name = "part" + std::to_string(i) + ".raw";
        test::write_file(name, images[i].second);
        char offset[16];
        std::snprintf(offset, sizeof offset, "0x%X:", images[i].first);
        pack.push_back(offset + name);
    }
    const result packed = image(pack);
    ASSERT_EQ(packed.code, 0) << packed.output;
    const result listed = image({"list", "bios.bin"});
    ASSERT_EQ(listed.code, 0) << listed.output;
    test::write_file("loader.com", random_text(3000, 5));

    const std::string link = (dir_ / "orlik0").string();
    test::child board(ORLIK_SIM,
                      {"--link", link, "--flash", "flash.bin", "--idle", "8", "--timeout", "150"},
                      (dir_ / "board.txt").string());
    ASSERT_TRUE(test::wait_for_path(link, 5s)) << "the simulated board did not start";
    const result flashed =
        run(VANTREL, {"-c", link, "-p", "loader.com", "-d", "bios.bin", "-b", "115"}, 120s);
    EXPECT_GE(board.wait(60s), 0) << "the simulated board did not end";
    EXPECT_EQ(flashed.code, 0) << flashed.output;
    EXPECT_NE(flashed.output.find("Flash programmed: 3 images"), std::string::npos)
        << flashed.output;

    std::string expected(2u << 20, '\xFF');
    for (const auto& [offset, data] : images) {
        expected.replace(offset, data.size(), data);
    }
    const std::string flash = test::read_file("flash.bin");
    ASSERT_EQ(flash.size(), expected.size());
    EXPECT_TRUE(flash == expected) << "the simulated flash differs from the packed images";
}

} // namespace
