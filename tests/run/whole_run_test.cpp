// Whole runs of the tool against the simulated board: the console, the exit
// code and the simulated flash, compared byte for byte with the images.
#include "container/container_writer.h"
#include "processes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct run_result {
    int code = -1;
    std::string console;
    std::string flash;
    std::string report;
    std::string board;
};

class WholeRun : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("vantrel-run-") + info->test_suite_name() +
                                            "-" + info->name() + "-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        loader_ = pattern_text(3000, 11);
        test::write_file(dir_ / "loader.com", loader_);
    }
    void TearDown() override {
        if (!HasFailure()) {
            fs::remove_all(dir_);
        }
    }

    static std::string pattern_text(std::size_t size, unsigned seed) {
        return test::random_text(size, seed);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Starts the board, runs the tool against it, and collects what both left.
    run_result run(std::vector<std::string> board_args, std::vector<std::string> tool_args,
                   std::chrono::seconds limit = 120s) {
        const std::string link = path("orlik0");
        std::vector<std::string> args = {"--link",    link,
                                         "--flash",   path("flash.bin"),
                                         "--report",  path("report.json"),
                                         "--idle",    "8",
                                         "--timeout", std::to_string(limit.count() + 30)};
        args.insert(args.end(), board_args.begin(), board_args.end());
        test::child board(ORLIK_SIM, args, path("board.txt"));
        EXPECT_TRUE(test::wait_for_path(link, 5s)) << "the simulated board did not start";
        std::vector<std::string> tool = {"-c", link};
        tool.insert(tool.end(), tool_args.begin(), tool_args.end());
        run_result r;
        {
            test::child vantrel(VANTREL, tool, path("console.txt"));
            r.code = vantrel.wait(limit);
        }
        EXPECT_GE(board.wait(60s), 0) << "the simulated board did not end";
        r.console = test::read_file(path("console.txt"));
        r.flash = test::read_file(path("flash.bin"));
        r.report = test::read_file(path("report.json"));
        r.board = test::read_file(path("board.txt"));
        return r;
    }

    // The standard run with loader.com.
    run_result flash_file(const std::string& data_name, std::vector<std::string> board_args,
                          std::vector<std::string> extra = {}) {
        std::vector<std::string> tool = {"-p", "loader.com", "-d", data_name};
        tool.insert(tool.end(), extra.begin(), extra.end());
        const auto cwd = fs::current_path();
        fs::current_path(dir_);
        run_result r = run(std::move(board_args), tool);
        fs::current_path(cwd);
        return r;
    }

    static bool has(const std::string& text, const std::string& piece) {
        return text.find(piece) != std::string::npos;
    }

    fs::path dir_;
    std::string loader_;
};

std::string flash_at(const run_result& r, std::size_t offset, std::size_t size) {
    return r.flash.size() >= offset + size ? r.flash.substr(offset, size) : std::string();
}

TEST_F(WholeRun, RawImageOfEveryByteValueAt115200) {
    const std::string image = test::every_byte_image(1 << 20);
    test::write_file(dir_ / "image.raw", image);
    const run_result r = flash_file("image.raw", {}, {"-o", "0x100000", "-b", "115"});
    EXPECT_EQ(r.code, 0) << r.console;
    EXPECT_TRUE(flash_at(r, 0x100000, image.size()) == image) << "the flash differs from the image";
    EXPECT_EQ(r.flash.substr(0, 0x100000), std::string(0x100000, '\xFF'))
        << "nothing else is written";
    EXPECT_TRUE(has(r.console, "\r0009Kb of 1024Kb"));
    EXPECT_TRUE(has(r.console, "\r1024Kb of 1024Kb"));
    EXPECT_TRUE(has(r.console, "Flash programmed: 1 image, 1048576 bytes"));
    EXPECT_TRUE(has(r.report, "\"end\": \"closing\""));
    EXPECT_TRUE(has(r.report, "\"final_speed\": 9600"));
    EXPECT_TRUE(has(r.report, "\"duplicates\": 0"));
}

// A container with a record of another type first and three images at three offsets.
std::string three_image_container(std::vector<std::pair<std::uint32_t, std::string>>& images) {
    using namespace container_test;
    std::vector<record> list = {rec(0x10, bytes(20, 0x42))};
    for (const auto& [offset, data] : images) {
        list.push_back(rec(0x01, bytes{1, 2, 3}));
        list.push_back(rec(0xFE, bytes{static_cast<std::uint8_t>(offset),
                                       static_cast<std::uint8_t>(offset >> 8),
                                       static_cast<std::uint8_t>(offset >> 16),
                                       static_cast<std::uint8_t>(offset >> 24)}));
        list.push_back(rec(0xFF, bytes(data.begin(), data.end())));
    }
    const bytes file = records(list);
    return std::string(file.begin(), file.end());
}

class ContainerRun : public WholeRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(ContainerRun, ThreeImagesAtTheirOffsets) {
    std::vector<std::pair<std::uint32_t, std::string>> images = {
        {0x1C0000, pattern_text(3000, 1)},
        {0x000100, pattern_text(127 * 4, 2)},
        {0x0F0000, pattern_text(1, 3)}};
    test::write_file(dir_ / "BIOS.BIN", three_image_container(images));
    const run_result r = flash_file("BIOS.BIN", {}, {"-b", GetParam(), "-o", "0x5000"});
    EXPECT_EQ(r.code, 0) << r.console;
    std::string expected(2 << 20, '\xFF');
    for (const auto& [offset, data] : images) {
        expected.replace(offset, data.size(), data);
    }
    EXPECT_TRUE(r.flash == expected) << "the flash differs from the images";
    EXPECT_TRUE(has(r.console, "Flash programmed: 3 images, 3509 bytes"));
    std::size_t ended = 0;
    for (auto at = r.report.find("\"ended\": true"); at != std::string::npos;
         at = r.report.find("\"ended\": true", at + 1)) {
        ++ended;
    }
    EXPECT_EQ(ended, 3u) << "three end markers";
    EXPECT_TRUE(has(r.report, "\"offset\": 1835008, \"size\": 3000, \"packets\": 24"));
    EXPECT_TRUE(has(r.report, "\"offset\": 256, \"size\": 508, \"packets\": 5"));
    EXPECT_TRUE(has(r.report, "\"loader_end\": \"final-esc\""));
}

INSTANTIATE_TEST_SUITE_P(Speeds, ContainerRun, ::testing::Values("96", "115"));

TEST_F(WholeRun, DialogueAt38400) {
    test::write_file(dir_ / "image.raw", pattern_text(500, 5));
    const run_result r = flash_file("image.raw", {"--segment", "1f00"}, {"-b", "38"});
    EXPECT_EQ(r.code, 0) << r.console;
    // The monitor echoes the commands the tool typed.
    EXPECT_TRUE(has(r.console, "dls\r\nSegment: 1F00"));
    EXPECT_TRUE(has(r.console, "yload 1f00:0\r\n"));
    EXPECT_TRUE(has(r.console, "speed 38 0\r\n"));
    EXPECT_TRUE(has(r.console, "g 1f00:0\r\n"));
    EXPECT_TRUE(has(r.console, "speed   96  0  \r\n"));
    EXPECT_TRUE(has(r.report, "\"program_length\": 3000"));
    EXPECT_TRUE(has(r.report, "\"final_speed\": 9600"));
    EXPECT_TRUE(flash_at(r, 0, 500) == pattern_text(500, 5));
}

struct failure_case {
    const char* name;
    std::vector<std::string> board_args;
    int code;
    std::vector<std::string> console; // pieces, in this order
};

void PrintTo(const failure_case& c, std::ostream* os) {
    *os << c.name;
}

class FailedRun : public WholeRun, public ::testing::WithParamInterface<failure_case> {};

TEST_P(FailedRun, ExitCodeAndMessages) {
    const auto& c = GetParam();
    const std::string image = pattern_text(127 * 20, 9);
    test::write_file(dir_ / "image.raw", image);
    const run_result r = flash_file("image.raw", c.board_args, {"-b", "115"});
    EXPECT_EQ(r.code, c.code) << r.console;
    std::size_t at = 0;
    for (const auto& piece : c.console) {
        const auto found = r.console.find(piece, at);
        EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << piece << "\n"
                                            << r.console;
        at = found == std::string::npos ? at : found + piece.size();
    }
    if (r.code == 0) {
        EXPECT_TRUE(flash_at(r, 0, image.size()) == image) << "exit 0 with a flash that differs";
    }
}

const std::string incomplete = "Flash NOT programmed completely: ";

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedRun,
    ::testing::Values(
        failure_case{
            "declined", {"--decline"}, 3, {"g 2000:0", incomplete + "the loader declined"}},
        failure_case{
            "naked_packets", {"--nak-packets", "0.2", "--seed", "3"}, 0, {"/", "Flash programmed"}},
        failure_case{
            "naked_blocks", {"--nak-blocks", "0.2", "--seed", "4"}, 0, {"/", "Flash programmed"}},
        failure_case{
            "failed_erase", {"--fail-erase", "0"}, 3, {"\nErase block ", " - err\n", incomplete}},
        failure_case{"loader_escape", {"--esc-at", "3"}, 3, {"**|\nFrame: 3h\n", incomplete}},
        failure_case{"silent_loader", {"--silent-after", "4"}, 3, {"****", incomplete}},
        failure_case{
            "corrupted_in", {"--corrupt-in", "0.002", "--seed", "5"}, 0, {"Flash programmed"}},
        failure_case{
            "corrupted_out", {"--corrupt-out", "0.01", "--seed", "6"}, 0, {"Flash programmed"}},
        failure_case{"dls_without_number",
                     {"--dls-no-number"},
                     3,
                     {"Unable to convert Havrel dls address:  ----\r\n:\n",
                      "Error getting download address\n", "speed   96  0  ",
                      incomplete + "no download address"}},
        failure_case{"silent_board",
                     {"--no-prompt"},
                     1,
                     {"Power up the target with the A23 jumper installed now\n",
                      "Timeout waiting for target reset string. Please try again\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WholeRun, MissingLoaderStillReturnsTheBoardTo9600) {
    const auto cwd = fs::current_path();
    fs::current_path(dir_);
    const run_result r = run({}, {"-p", "nothere.com", "-d", "image.raw", "-b", "115"});
    fs::current_path(cwd);
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(has(r.console, "Error opening file: nothere.com process aborted\n"));
    EXPECT_TRUE(has(r.console, "speed   96  0  "));
    EXPECT_TRUE(has(r.console, "\nPress any key..."));
    EXPECT_TRUE(has(r.report, "\"end\": \"closing\""));
    EXPECT_TRUE(has(r.report, "\"loader_started\": false"));
}

TEST_F(WholeRun, MissingDataFileEndsWithoutClosingSteps) {
    const run_result r = flash_file("nothere.raw", {"--idle", "3"});
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(has(r.console, "Error opening file nothere.raw: process aborted\n"));
    EXPECT_FALSE(has(r.console, "speed   96"));
}

TEST_F(WholeRun, ContainerWithoutImageSendsOnlyTheFinalEscape) {
    using namespace container_test;
    const bytes file = records({rec(0x10, bytes(10, 1)), rec(0x01, bytes{1}), rec(0x10, bytes{2})});
    test::write_file(dir_ / "empty.bin", std::string(file.begin(), file.end()));
    const run_result r = flash_file("empty.bin", {});
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(has(r.console, "empty.bin holds no flash image: nothing is programmed.\n"));
    EXPECT_TRUE(has(r.report, "\"loader_end\": \"final-esc\""));
    EXPECT_TRUE(has(r.report, "\"images\": []"));
    EXPECT_TRUE(has(r.report, "\"end\": \"closing\""));
}

class InterruptedRun : public WholeRun, public ::testing::WithParamInterface<int> {};

TEST_P(InterruptedRun, LeavesTheBoardAtTheMonitorSpeed) {
    test::write_file(dir_ / "image.raw", pattern_text(300000, 4));
    const std::string link = path("orlik0");
    test::child board(
        ORLIK_SIM,
        {"--link", link, "--report", path("report.json"), "--idle", "5", "--timeout", "90"},
        path("board.txt"));
    ASSERT_TRUE(test::wait_for_path(link, 5s));
    const auto cwd = fs::current_path();
    fs::current_path(dir_);
    test::child vantrel(VANTREL, {"-c", link, "-p", "loader.com", "-d", "image.raw"},
                        path("console.txt"));
    fs::current_path(cwd);
    // Signalled in the middle of the transfer, once the progress line shows.
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (!has(test::read_file(path("console.txt")), "Kb of 292Kb") &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(50ms);
    }
    kill(vantrel.pid(), GetParam());
    EXPECT_EQ(vantrel.wait(30s), 128 + GetParam());
    EXPECT_GE(board.wait(60s), 0);
    const std::string console = test::read_file(path("console.txt"));
    const std::string report = test::read_file(path("report.json"));
    EXPECT_TRUE(has(console, "\nInterrupted: the flash is incomplete.\n")) << console;
    EXPECT_FALSE(has(console, "Flash programmed"));
    EXPECT_TRUE(has(report, "\"loader_end\": \"final-esc\"")) << report;
    EXPECT_TRUE(has(report, "\"end\": \"closing\""));
    EXPECT_TRUE(has(report, "\"final_speed\": 9600"));
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedRun, ::testing::Values(SIGINT, SIGTERM));

} // namespace
