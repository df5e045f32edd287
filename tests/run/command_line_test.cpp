// The command line: the number syntax and the options, as tables of cases.
#include "run/command_line.h"
#include "scripted_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct number_case {
    const char* text;
    std::uint32_t value;
    std::size_t consumed; // characters the cursor moved over
};

void PrintTo(const number_case& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class ParseNumber : public ::testing::TestWithParam<number_case> {};

TEST_P(ParseNumber, ValueAndCursor) {
    const char* cursor = GetParam().text;
    EXPECT_EQ(run::parse_number(cursor), GetParam().value);
    EXPECT_EQ(static_cast<std::size_t>(cursor - GetParam().text), GetParam().consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ParseNumber,
    ::testing::Values(
        // bases
        number_case{"0x1C0000", 0x1C0000, 8}, number_case{"0X1c0000", 0x1C0000, 8},
        number_case{"010", 8, 3}, number_case{"08", 0, 1}, number_case{"0", 0, 1},
        number_case{"115", 115, 3}, number_case{"0x73", 115, 4}, number_case{"1C0000", 1, 1},
        number_case{"0x", 0, 2}, number_case{"0x0x5", 5, 5}, number_case{"0xg", 0, 3},
        number_case{"0xz", 0, 2},
        // suffixes shift, dropping the bits shifted out
        number_case{"2M", 0x200000, 2}, number_case{"1k", 1024, 2}, number_case{"3b", 3, 2},
        number_case{"4G", 0, 2}, number_case{"1g", 0x40000000, 2}, number_case{"0x10K", 0x4000, 5},
        number_case{"5,", 5, 2}, number_case{"5k,9", 5120, 3}, number_case{"5x", 5, 1},
        // saturation before negation
        number_case{"99999999999", 0xFFFFFFFF, 11}, number_case{"-99999999999", 1, 12},
        number_case{"4294967295", 0xFFFFFFFF, 10}, number_case{"4294967296", 0xFFFFFFFF, 10},
        number_case{"-1", 0xFFFFFFFF, 2}, number_case{"+7", 7, 2},
        // one blank before, white space inside the conversion
        number_case{" 12", 12, 3}, number_case{"  12", 12, 4}, number_case{"", 0, 0},
        number_case{" ", 0, 1}, number_case{"abc", 0, 0}, number_case{"-", 0, 0},
        number_case{"0-5", 0xFFFFFFFB, 3}));

// Runs the parser on a command line; the console text goes to the link. The
// settings point into the words, so both stay together in one object that is
// filled in place.
struct parsed {
    std::vector<std::string> words;
    run::parse_result result;
    run::run_settings settings;
    std::string console;
};

void parse(std::vector<std::string> words, parsed& p) {
    test::scripted_link link;
    p.words = std::move(words);
    std::vector<char*> argv;
    for (auto& w : p.words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    p.settings.flash_offset = 0xDEAD; // the parser sets the defaults itself
    p.result = run::parse_command_line(static_cast<int>(p.words.size()), argv.data(), p.settings);
    p.console = link.console;
}

const std::string help_text = "\nTerminal for programming flash of Orlik.\n\n"
                              "\t-c\tSerial port number\n"
                              "\t-p\tName of loader\n"
                              "\t-o\tOffset in flash (default 0x0)\n"
                              "\t-d\tFile name of data\n"
                              "\t-b\tBaud rate 96/19/38/56/115 (default 115)\n"
                              "\t-h\tHelp\n\n"
                              "Example: vantrel -c4 -p loadbios.com -d bios.bin -o 0x1C0000\n";

struct line_case {
    std::vector<std::string> words;
    run::parse_result result;
    std::string port;
    std::string loader; // "-" for none
    std::string data;   // "-" for none
    std::uint32_t offset;
    int speed_index;
    std::string console;
};

void PrintTo(const line_case& c, std::ostream* os) {
    for (const auto& w : c.words) {
        *os << w << ' ';
    }
}

class ParseCommandLine : public ::testing::TestWithParam<line_case> {};

TEST_P(ParseCommandLine, Settings) {
    const auto& c = GetParam();
    parsed p;
    parse(c.words, p);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.console, c.console);
    if (c.result != run::parse_result::go_on) {
        return;
    }
    EXPECT_EQ(std::string(p.settings.port_name()), c.port);
    EXPECT_EQ(p.settings.loader_file ? std::string(p.settings.loader_file) : "-", c.loader);
    EXPECT_EQ(p.settings.data_file ? std::string(p.settings.data_file) : "-", c.data);
    EXPECT_EQ(p.settings.flash_offset, c.offset);
    EXPECT_EQ(p.settings.speed_index, c.speed_index);
}

using R = run::parse_result;
const std::string bad_speed = "\nerror baud rate.\n\n";

INSTANTIATE_TEST_SUITE_P(
    Options, ParseCommandLine,
    ::testing::Values(
        line_case{{"vantrel"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c4", "-p", "loadbios.com", "-d", "bios.bin", "-o", "0x1C0000"},
                  R::go_on,
                  "COM4",
                  "loadbios.com",
                  "bios.bin",
                  0x1C0000,
                  4,
                  ""},
        line_case{{"vantrel", "-o0x1C0000", "-ploader", "-dimage"},
                  R::go_on,
                  "COM1",
                  "loader",
                  "image",
                  0x1C0000,
                  4,
                  ""},
        line_case{{"vantrel", "-c", "0"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "12"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "9", "-c", "12"}, R::go_on, "COM9", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "/dev/ttyUSB0"}, R::go_on, "/dev/ttyUSB0", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c/dev/pts/5"}, R::go_on, "/dev/pts/5", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "/tmp/orlik0", "-c3"}, R::go_on, "COM3", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "tty"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "COM12"}, R::go_on, "COM12", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-ccom3"}, R::go_on, "com3", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "\\\\.\\COM12"}, R::go_on, "\\\\.\\COM12", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "COM12", "-c", "12"}, R::go_on, "COM12", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "COM12", "-c", "2"}, R::go_on, "COM2", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "COM0"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "COM"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-c", "COM1x"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-b", "115"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-b115"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-b", "0x73"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-b96"}, R::go_on, "COM1", "-", "-", 0, 0, ""},
        line_case{{"vantrel", "-b", "19"}, R::go_on, "COM1", "-", "-", 0, 1, ""},
        line_case{{"vantrel", "-b", "38"}, R::go_on, "COM1", "-", "-", 0, 2, ""},
        line_case{{"vantrel", "-b", "56", "-b", "38"}, R::go_on, "COM1", "-", "-", 0, 2, ""},
        line_case{{"vantrel", "-x", "-o", "5", "stray", "-"}, R::go_on, "COM1", "-", "-", 5, 4, ""},
        line_case{{"vantrel", "-p", "-h"}, R::go_on, "COM1", "-h", "-", 0, 4, ""},
        line_case{{"vantrel", "-d", "-h"}, R::go_on, "COM1", "-", "-h", 0, 4, ""},
        line_case{{"vantrel", "-p"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-O", "5", "-C4"}, R::go_on, "COM1", "-", "-", 0, 4, ""},
        line_case{{"vantrel", "-h"}, R::stop_success, "", "", "", 0, 0, help_text},
        line_case{{"vantrel", "-h", "-b", "9600"}, R::stop_success, "", "", "", 0, 0, help_text},
        line_case{{"vantrel", "-help"}, R::stop_success, "", "", "", 0, 0, help_text},
        line_case{{"vantrel", "-b", "9600"}, R::stop_error, "", "", "", 0, 0, bad_speed},
        line_case{{"vantrel", "-b", "9600", "-h"}, R::stop_error, "", "", "", 0, 0, bad_speed},
        line_case{{"vantrel", "-b", "0"}, R::stop_error, "", "", "", 0, 0, bad_speed},
        line_case{
            {"vantrel", "-b"}, R::stop_error, "", "", "", 0, 0, "\noption -b needs a value.\n\n"},
        line_case{
            {"vantrel", "-o"}, R::stop_error, "", "", "", 0, 0, "\noption -o needs a value.\n\n"},
        line_case{
            {"vantrel", "-c"}, R::stop_error, "", "", "", 0, 0, "\noption -c needs a value.\n\n"}));

TEST(ParseCommandLineEmpty, NoProgramNameIsAnError) {
    parsed p;
    parse({}, p);
    EXPECT_EQ(p.result, R::stop_error);
    EXPECT_EQ(p.console, "\nprogram required parameters(1)\n\n");
}

} // namespace
