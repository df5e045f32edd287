// vantrel.exe under Wine against the simulated board on Linux: the exit codes, the console and
// the simulated flash, compared byte for byte, as the Linux tool gives them. The cases run
// through run-under-wine.sh, which maps COM1 to the fixed path VANTREL_WINE_PORT.
#include "processes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test::random_text;
using namespace std::chrono_literals;

struct run_result {
    int code = -1;
    std::string console; // with the C runtime's CR LF turned back into LF
    std::string flash;
};

// On a Windows console the C runtime writes "\n" as CR LF; the Linux tool writes LF.
std::string linux_line_ends(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

class WineRun : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* port = std::getenv("VANTREL_WINE_PORT");
        ASSERT_NE(port, nullptr) << "run these cases through run-under-wine.sh";
        port_ = port;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info->name(); // "ExitsAsOnLinux/declined" for a case of a table
        std::replace(name.begin(), name.end(), '/', '-');
        dir_ =
            fs::temp_directory_path() / ("vantrel-wine-" + name + "-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        test::write_file(dir_ / "loader.com", random_text(1000, 11));
        cwd_ = fs::current_path();
        fs::current_path(dir_); // file names as an operator gives them
    }
    void TearDown() override {
        fs::current_path(cwd_);
        if (!HasFailure()) {
            fs::remove_all(dir_);
        }
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    int tool(const std::vector<std::string>& tool_args, std::string& console,
             std::chrono::seconds limit) {
        std::vector<std::string> args = {VANTREL_EXE};
        args.insert(args.end(), tool_args.begin(), tool_args.end());
        test::child vantrel(WINE, args, path("console.txt"));
        const int code = vantrel.wait(limit);
        console = linux_line_ends(test::read_file(path("console.txt")));
        return code;
    }

    // Starts the board on the path COM1 stands for, runs vantrel.exe against it, and collects
    // the console and the flash the board left.
    run_result run(const std::vector<std::string>& board_args,
                   const std::vector<std::string>& tool_args, std::chrono::seconds limit = 120s) {
        std::vector<std::string> args = {
            "--link", port_, "--flash",   path("flash.bin"),
            "--idle", "8",   "--timeout", std::to_string(limit.count() + 30)};
        args.insert(args.end(), board_args.begin(), board_args.end());
        test::child board(ORLIK_SIM, args, path("board.txt"));
        EXPECT_TRUE(test::wait_for_path(port_, 5s)) << "the simulated board did not start";
        run_result r;
        r.code = tool(tool_args, r.console, limit);
        EXPECT_GE(board.wait(60s), 0) << "the simulated board did not end";
        r.flash = test::read_file(path("flash.bin"));
        return r;
    }

    static bool has(const std::string& text, const std::string& piece) {
        return text.find(piece) != std::string::npos;
    }

    std::string port_;
    fs::path dir_;
    fs::path cwd_;
};

// A raw image of every byte value through COM1 at 115200 baud: no byte lost to flow control.
TEST_F(WineRun, RawImageFlashesByteForByte) {
    const std::string image = test::every_byte_image(20000);
    test::write_file("image.raw", image);
    const run_result r =
        run({}, {"-c", "1", "-p", "loader.com", "-d", "image.raw", "-o", "0x1C0000", "-b", "115"});
    EXPECT_EQ(r.code, 0) << r.console;
    EXPECT_TRUE(has(r.console, "Serial port COM1 successfully reconfigured.\n")) << r.console;
    EXPECT_TRUE(has(r.console, ":speed 115 0\r\n")) << r.console;
    EXPECT_TRUE(has(r.console, "\nFlash programmed: 1 image, 20000 bytes in ")) << r.console;
    EXPECT_TRUE(has(r.console, "\nPress any key...")) << r.console;
    ASSERT_GE(r.flash.size(), 0x1C0000u + image.size());
    EXPECT_TRUE(r.flash.substr(0x1C0000, image.size()) == image)
        << "the simulated flash differs from the image";
    EXPECT_EQ(r.flash.find_first_not_of('\xFF'), 0x1C0000u) << "bytes written outside the image";
}

// The sample container of three images, its port named in the \\.\ form, at 57600 baud.
TEST_F(WineRun, ContainerFlashesByteForByte) {
    fs::copy_file(fs::path(SAMPLE_DIR) / "bios.bin", dir_ / "bios.bin");
    const run_result r =
        run({}, {"-c", "\\\\.\\COM1", "-p", "loader.com", "-d", "bios.bin", "-b", "56"});
    EXPECT_EQ(r.code, 0) << r.console;
    EXPECT_TRUE(has(r.console, "\nFlash programmed: 3 images, 74028 bytes in ")) << r.console;
    EXPECT_TRUE(r.flash == test::read_file(fs::path(SAMPLE_DIR) / "expected-flash.bin"))
        << "the simulated flash differs from the images";
}

struct fault_case {
    const char* name;
    std::vector<std::string> board;
    int code;
    std::vector<std::string> console; // in this order
};

class WineFault : public WineRun, public ::testing::WithParamInterface<fault_case> {};

const std::string incomplete = "Flash NOT programmed completely: ";

TEST_P(WineFault, ExitsAsOnLinux) {
    const fault_case& c = GetParam();
    const std::string image = random_text(70000, 3);
    test::write_file("image.raw", image);
    const run_result r = run(c.board, {"-c", "COM1", "-p", "loader.com", "-d", "image.raw"});
    EXPECT_EQ(r.code, c.code) << r.console;
    std::size_t at = 0;
    for (const std::string& piece : c.console) {
        const std::size_t found = r.console.find(piece, at);
        EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << piece << "\n"
                                            << r.console;
        at = found == std::string::npos ? at : found + piece.size();
    }
    if (r.code == 0) {
        EXPECT_TRUE(r.flash.substr(0, image.size()) == image) << "exit 0 with a flash that differs";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WineFault,
    ::testing::Values(
        fault_case{"naked_packets",
                   {"--nak-packets", "0.1", "--seed", "3"},
                   0,
                   {"/", "\nFlash programmed: 1 image, 70000 bytes in "}},
        fault_case{
            "failed_erase",
            {"--fail-erase", "1"},
            3,
            {"Erase block  - ok\n", "Erase block ", " - err\n", "speed   96  0  ", incomplete}},
        fault_case{"declined", {"--decline"}, 3, {"g 2000:0", incomplete + "the loader declined"}},
        fault_case{"silent_board",
                   {"--no-prompt"},
                   1,
                   {"Power up the target with the A23 jumper installed now\n",
                    "Timeout waiting for target reset string. Please try again\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs that end before the line: the help, a bad command line, a port that is not there.
TEST_F(WineRun, ExitCodesWithoutABoard) {
    struct exit_case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> console;
    };
    const std::vector<exit_case> cases = {
        {{"-h"}, 0, {"\t-c\tSerial port number\n", "Example: vantrel -c4 -p loadbios.com"}},
        {{"-b", "9600"}, 2, {"\nerror baud rate.\n\n"}},
        {{"-c", "COM200"}, 1, {"Cannot open COM200: ", "Busy COM200.\n", "press any key..."}},
    };
    for (const exit_case& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
        std::string console;
        EXPECT_EQ(tool(c.args, console, 60s), c.code) << console;
        for (const std::string& piece : c.console) {
            EXPECT_TRUE(has(console, piece)) << "missing: " << piece << "\n" << console;
        }
    }
}

} // namespace
