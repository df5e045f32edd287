// orlik-sim from the outside: its decoders against known values, a scripted
// board dialogue by a small client of its own (not the tool), its faults, the
// speed-mismatch garbling, and its YMODEM receiver against lrzsz's sb.
#include "checks.h"
#include "processes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t SOH = 0x01, EOT = 0x04, ENQ = 0x05, ACK = 0x06, BEL = 0x07, NAK = 0x15,
                       ESC = 0x1B;

TEST(Decoders, KnownValues) {
    const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
    EXPECT_EQ(sim::crc16_xmodem(digits, 9), 0x31C3);
    EXPECT_EQ(sim::packet_check(digits, 9), 0xBEEF);
    std::uint8_t packet[132] = {0x01, 0x01, 0xFE};
    for (int i = 0; i < 127; ++i) {
        packet[3 + i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(sim::packet_check(packet, 130), 0x4C1F);
}

bytes make_packet(std::uint8_t number, const bytes& data) {
    bytes p(132, 0xFF);
    p[0] = SOH;
    p[1] = number;
    p[2] = static_cast<std::uint8_t>(255 - number);
    std::copy(data.begin(), data.end(), p.begin() + 3);
    const std::uint16_t check = sim::packet_check(p.data(), 130);
    p[130] = static_cast<std::uint8_t>(check & 0xFF);
    p[131] = static_cast<std::uint8_t>(check >> 8);
    return p;
}

bytes make_block(std::uint8_t number, const bytes& data) {
    bytes b(133, 0);
    b[0] = SOH;
    b[1] = number;
    b[2] = static_cast<std::uint8_t>(255 - number);
    std::copy(data.begin(), data.end(), b.begin() + 3);
    const std::uint16_t crc = sim::crc16_xmodem(b.data() + 3, 128);
    b[131] = static_cast<std::uint8_t>(crc >> 8);
    b[132] = static_cast<std::uint8_t>(crc & 0xFF);
    return b;
}

TEST(Decoders, BlockAndPacketChecks) {
    struct check_case {
        const char* name;
        std::size_t at; // byte to change, or 0 for none
        sim::block_status block, packet;
    };
    const bytes data(127, 0x5A);
    for (const auto& c :
         {check_case{"good", 0, sim::block_status::good, sim::block_status::good},
          check_case{"start", 1, sim::block_status::bad_start, sim::block_status::bad_start},
          check_case{"complement", 3, sim::block_status::bad_complement,
                     sim::block_status::bad_complement},
          check_case{"data", 50, sim::block_status::bad_check, sim::block_status::bad_check},
          check_case{"check", 131, sim::block_status::bad_check, sim::block_status::bad_check}}) {
        bytes block = make_block(7, data), packet = make_packet(7, data);
        if (c.at != 0) {
            block[c.at - 1] ^= 0x10;
            packet[c.at - 1] ^= 0x10;
        }
        EXPECT_EQ(sim::check_block(block.data(), 128), c.block) << c.name;
        EXPECT_EQ(sim::check_packet(packet.data()), c.packet) << c.name;
    }
}

// A small client on the simulated board's line: raw termios, timed reads.
class board_client {
  public:
    board_client(const fs::path& dir, std::vector<std::string> args) : dir_(dir) {
        std::vector<std::string> all = {"--link",       (dir / "line").string(),
                                        "--flash",      (dir / "flash.bin").string(),
                                        "--report",     (dir / "report.json").string(),
                                        "--idle",       "3",
                                        "--timeout",    "60",
                                        "--flash-size", "256k"};
        all.insert(all.end(), args.begin(), args.end());
        board_ = std::make_unique<test::child>(ORLIK_SIM, all, (dir / "board.txt").string());
        EXPECT_TRUE(test::wait_for_path(dir / "line", 5s));
        fd_ = open((dir / "line").c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd_, 0);
        set_speed(B9600);
    }
    ~board_client() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    void set_speed(speed_t speed) {
        struct termios tio {};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    void send(const bytes& b) {
        ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    void send(const std::string& s) { send(bytes(s.begin(), s.end())); }

    // The next byte, or -1 after the time-out.
    int get(std::chrono::milliseconds limit = 3000ms) {
        struct pollfd pfd {
            fd_, POLLIN, 0
        };
        if (poll(&pfd, 1, static_cast<int>(limit.count())) <= 0) {
            return -1;
        }
        std::uint8_t b;
        return ::read(fd_, &b, 1) == 1 ? b : -1;
    }
    // Reads until the text has come; everything read is kept in seen.
    bool expect(const std::string& text, std::chrono::milliseconds limit = 3000ms) {
        // Each expectation looks only at what came after the previous match.
        const auto until = std::chrono::steady_clock::now() + limit;
        std::size_t at;
        while ((at = seen.find(text, matched_)) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
            const int b = get(100ms);
            if (b >= 0) {
                seen.push_back(static_cast<char>(b));
            }
        }
        matched_ = at + text.size();
        return true;
    }
    // Skips text up to the next control byte among wanted.
    int control(const std::string& wanted, std::chrono::milliseconds limit = 3000ms) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            const int b = get(100ms);
            if (b >= 0 && wanted.find(static_cast<char>(b)) != std::string::npos) {
                return b;
            }
        }
        return -1;
    }
    void quiet(std::chrono::milliseconds gap = 150ms) {
        while (get(gap) >= 0) {
        }
    }
    int finish() {
        close(fd_);
        fd_ = -1;
        return board_->wait(30s);
    }
    std::string report() const { return test::read_file(dir_ / "report.json"); }
    std::string flash() const { return test::read_file(dir_ / "flash.bin"); }

    std::string seen;

  private:
    fs::path dir_;
    std::unique_ptr<test::child> board_;
    int fd_ = -1;
    std::size_t matched_ = 0;
};

class Board : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("orlik-sim-" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) {
            fs::remove_all(dir_);
        }
    }

    // The monitor dialogue up to a loaded program of program_size bytes.
    // ends_at: how far the batch goes (a receiver that stops hearing from the
    // sender gives up after about 10 s).
    enum class batch_end { closed, after_eot, before_eot };
    static void load_program(board_client& c, std::size_t program_size,
                             batch_end ends_at = batch_end::closed) {
        c.send("\n\r\n\r");
        ASSERT_TRUE(c.expect(":"));
        c.quiet();
        c.send("dls\n\r");
        ASSERT_TRUE(c.expect("Segment: 2000\r\n"));
        c.quiet();
        c.send("yload 2000:0\n\r");
        ASSERT_EQ(c.control("C"), 'C');
        bytes header(128, 0);
        const std::string fields = std::string("prog.com") + '\0' + std::to_string(program_size);
        std::copy(fields.begin(), fields.end(), header.begin());
        c.send(make_block(0, header));
        ASSERT_EQ(c.control("\x06\x15"), ACK);
        ASSERT_EQ(c.get(), 'C');
        for (std::size_t sent = 0, n = 1; sent < program_size; sent += 128, ++n) {
            bytes data(128, 0x1A);
            for (std::size_t i = 0; i < 128 && sent + i < program_size; ++i) {
                data[i] = static_cast<std::uint8_t>(sent + i);
            }
            c.send(make_block(static_cast<std::uint8_t>(n), data));
            ASSERT_EQ(c.control("\x06\x15"), ACK) << "block " << n;
        }
        if (ends_at == batch_end::before_eot) {
            return;
        }
        c.send(bytes{EOT});
        ASSERT_EQ(c.control("\x06\x15"), NAK) << "the first EOT is refused";
        c.send(bytes{EOT});
        ASSERT_EQ(c.control("\x06\x15"), ACK);
        ASSERT_EQ(c.get(), 'C');
        if (ends_at == batch_end::after_eot) {
            return;
        }
        c.send(make_block(0, bytes(128, 0)));
        ASSERT_EQ(c.control("\x06\x15"), ACK);
        ASSERT_TRUE(c.expect(":"));
    }

    static void to_speed_and_go(board_client& c) {
        c.send("speed 115 0\n\r\n\r");
        std::this_thread::sleep_for(100ms);
        c.set_speed(B115200);
        c.quiet();
        c.send("g 2000:0\n\r");
    }

    static bytes le32(std::uint32_t v) {
        return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    }

    // The offset and size requests and the start signal.
    static void start_image(board_client& c, std::uint32_t offset, std::uint32_t size) {
        ASSERT_EQ(c.control("\x05"), ENQ);
        c.send(le32(offset));
        ASSERT_EQ(c.control("\x06"), ACK);
        ASSERT_EQ(c.control("\x05"), ENQ);
        c.send(le32(size));
        ASSERT_EQ(c.control("\x06"), ACK);
        ASSERT_EQ(c.control("\x06"), ACK) << "start signal";
    }

    fs::path dir_;
};

TEST_F(Board, WholeDialogueProgramsTheFlash) {
    board_client c(dir_, {});
    load_program(c, 300);
    to_speed_and_go(c);
    ASSERT_EQ(c.control("\x06\x15", 5000ms), ACK) << "ready";
    bytes image(200);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 3);
    }
    start_image(c, 0x10000, 200);
    c.send(make_packet(1, bytes(image.begin(), image.begin() + 127)));
    EXPECT_EQ(c.control("\x06\x07\x15\x1b"), BEL) << "the first write erases its block";
    EXPECT_EQ(c.control("\x06\x15"), ACK) << "erase done";
    EXPECT_EQ(c.control("\x06\x15\x1b"), ACK) << "packet 1";
    c.send(make_packet(1, bytes(image.begin(), image.begin() + 127)));
    EXPECT_EQ(c.control("\x06\x15\x1b"), ACK) << "a repeat is acknowledged again";
    c.send(make_packet(2, bytes(image.begin() + 127, image.end())));
    EXPECT_EQ(c.control("\x06\x15\x1b"), ACK) << "packet 2 (with filler)";
    c.send(bytes{EOT, 0x01, 0xFE});
    EXPECT_EQ(c.control("\x06\x15"), ACK) << "end marker";
    // Another image follows.
    EXPECT_EQ(c.control("\x05"), ENQ);
    std::this_thread::sleep_for(100ms);
    c.send(bytes{ENQ});
    EXPECT_EQ(c.control("\x06"), ACK);
    start_image(c, 0x100, 1);
    c.send(make_packet(1, bytes{0x42}));
    EXPECT_EQ(c.control("\x06\x07\x15\x1b"), BEL);
    EXPECT_EQ(c.control("\x06\x15"), ACK);
    EXPECT_EQ(c.control("\x06\x15\x1b"), ACK);
    c.send(bytes{EOT, 0x01, 0xFE});
    EXPECT_EQ(c.control("\x06\x15"), ACK);
    c.send(bytes{ESC});
    EXPECT_TRUE(c.expect(":"));
    c.send("speed   96  0  \n\r\n\r");
    EXPECT_EQ(c.finish(), 0);

    const std::string flash = c.flash();
    ASSERT_EQ(flash.size(), 256u * 1024);
    EXPECT_EQ(flash.substr(0x10000, 200), std::string(image.begin(), image.end()));
    EXPECT_EQ(flash[0x10000 + 200], '\xFF') << "the filler is not written";
    EXPECT_EQ(flash[0x100], 0x42);
    const std::string report = c.report();
    for (const char* piece :
         {"\"program_name\": \"prog.com\"", "\"program_length\": 300", "\"ready\": \"ack\"",
          "{\"offset\": 65536, \"size\": 200, \"packets\": 2, \"written\": 200, \"ended\": true}",
          "\"duplicates\": 1", "\"erases\": 2", "\"end\": \"closing\"",
          "\"loader_end\": \"final-esc\"", "\"final_speed\": 9600"}) {
        EXPECT_NE(report.find(piece), std::string::npos) << piece << "\n" << report;
    }
}

TEST_F(Board, ReceiverThatGivesUpKeepsAProgramOnlyAfterItsEot) {
    // The file is whole once its EOT is confirmed; a closing block that never
    // comes through does not undo that, a missing EOT does.
    struct give_up_case {
        const char* name;
        batch_end ends_at;
        const char* shows;
    };
    for (const auto& g :
         {give_up_case{"after_eot", batch_end::after_eot, "Loaded prog.com, 300 bytes\r\n:"},
          give_up_case{"before_eot", batch_end::before_eot, "Load failed\r\n:"}}) {
        const fs::path dir = dir_ / g.name;
        fs::create_directories(dir);
        board_client c(dir, {"--idle", "20"});
        load_program(c, 300, g.ends_at);
        EXPECT_TRUE(c.expect(g.shows, 15s)) << g.name << ": " << c.seen;
    }
}

TEST_F(Board, BadPacketsAreRefusedAndGapsAbort) {
    board_client c(dir_, {});
    load_program(c, 10);
    to_speed_and_go(c);
    ASSERT_EQ(c.control("\x06\x15", 5000ms), ACK);
    start_image(c, 0, 300);
    bytes bad = make_packet(1, bytes(127, 1));
    bad[60] ^= 1;
    c.send(bad);
    EXPECT_EQ(c.control("\x06\x15\x1b\x07"), NAK) << "bad check value";
    c.send(bytes(100, 0x01)); // a packet cut short: refused after the gap
    EXPECT_EQ(c.control("\x06\x15\x1b\x07", 1000ms), NAK);
    c.send(make_packet(3, bytes(127, 1)));
    EXPECT_EQ(c.control("\x06\x15\x1b\x07"), ESC) << "a sequence gap aborts";
}

struct fault_case {
    const char* name;
    std::vector<std::string> args;
    int ready;        // the loader's first control byte
    int first_answer; // to the first packet: first control byte (BEL for erase)
};

void PrintTo(const fault_case& c, std::ostream* os) {
    *os << c.name;
}

class BoardFault : public Board, public ::testing::WithParamInterface<fault_case> {};

TEST_P(BoardFault, LoaderReaction) {
    const auto& f = GetParam();
    board_client c(dir_, f.args);
    load_program(c, 10);
    to_speed_and_go(c);
    ASSERT_EQ(c.control("\x06\x15", 5000ms), f.ready);
    if (f.ready != ACK) {
        return;
    }
    start_image(c, 0, 127);
    c.send(make_packet(1, bytes(127, 7)));
    int answer = c.control("\x06\x07\x15\x1b", 1000ms);
    if (answer == BEL && f.first_answer != BEL) {
        answer = c.control("\x06\x15") == ACK ? c.control("\x06\x15\x1b", 1000ms) : -2;
    }
    EXPECT_EQ(answer, f.first_answer);
    if (f.first_answer == BEL) {
        EXPECT_EQ(c.control("\x06\x15"), NAK) << "failed erase";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BoardFault,
    ::testing::Values(fault_case{"none", {}, ACK, ACK},
                      fault_case{"decline", {"--decline"}, NAK, 0},
                      fault_case{"nak_packets", {"--nak-packets", "1"}, ACK, NAK},
                      fault_case{"esc_at", {"--esc-at", "1"}, ACK, ESC},
                      fault_case{"fail_erase", {"--fail-erase", "0"}, ACK, BEL},
                      fault_case{"silent_after", {"--silent-after", "0"}, ACK, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Board, MonitorFaults) {
    struct monitor_case {
        const char* name;
        std::vector<std::string> args;
        std::string shows;   // text after the first Enter
        std::string no_text; // text that must not come
    };
    for (const auto& m :
         {monitor_case{"no_prompt", {"--no-prompt"}, "", "Orlik"},
          monitor_case{"no_colon", {"--no-colon"}, "starting\r\n", ":"},
          monitor_case{"dls_no_number", {"--dls-no-number"}, "Segment: ----", "2000"}}) {
        const fs::path dir = dir_ / m.name;
        fs::create_directories(dir);
        board_client c(dir, m.args);
        c.send("\n\r");
        if (m.name == std::string("dls_no_number")) {
            ASSERT_TRUE(c.expect(":"));
            c.send("dls\n\r");
        }
        if (!m.shows.empty()) {
            EXPECT_TRUE(c.expect(m.shows)) << m.name << ": " << c.seen;
        }
        c.quiet(500ms);
        EXPECT_EQ(c.seen.find(m.no_text, c.seen.find(m.shows) + m.shows.size()), std::string::npos)
            << m.name << ": " << c.seen;
    }
}

TEST_F(Board, SpeedMismatchGarblesBothWays) {
    board_client c(dir_, {});
    c.send("\n\r");
    ASSERT_TRUE(c.expect(":"));
    c.quiet();
    // The board is at 9600; a command sent at 19200 arrives as garbage.
    c.set_speed(B19200);
    c.send("dls\n\r");
    c.quiet(500ms);
    c.set_speed(B9600);
    c.send("\n\r");
    ASSERT_TRUE(c.expect(":"));
    EXPECT_EQ(c.seen.find("Segment"), std::string::npos) << "no command was understood";
    // The board at 115200 answers a 9600 client with garbage, never a control byte.
    c.send("speed 115 0\n\r");
    std::this_thread::sleep_for(100ms);
    c.send("\n\r\n\r"); // arrives garbled at the board: ignored
    c.quiet(300ms);
    c.set_speed(B115200);
    c.send("\n\r");
    EXPECT_TRUE(c.expect(":"));
    c.send("speed   96  0  \n\r");
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.report().find("\"garbled\": 0"), std::string::npos);
}

TEST_F(Board, YmodemReceiverTakesAFileFromSb) {
    const char* sb = "/usr/bin/sb";
    if (!fs::exists(sb)) {
        GTEST_SKIP() << "lrzsz's sb is not installed";
    }
    std::string program(41000, '\0');
    for (std::size_t i = 0; i < program.size(); ++i) {
        program[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
    }
    test::write_file(dir_ / "loader.com", program);
    board_client c(dir_, {"--save-program", (dir_ / "received.bin").string()});
    c.send("\n\r");
    ASSERT_TRUE(c.expect(":"));
    c.send("yload 2000:0\n\r");
    ASSERT_TRUE(c.expect("yload 2000:0\r\n"));
    // sb talks on its standard input and output; the test relays them to the
    // board's line so that sb's own terminal settings never touch the line.
    int to_sb[2], from_sb[2];
    ASSERT_EQ(pipe(to_sb), 0);
    ASSERT_EQ(pipe(from_sb), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(to_sb[0], 0);
        dup2(from_sb[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        chdir(dir_.c_str());
        execl(sb, "sb", "loader.com", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_sb[0]);
    close(from_sb[1]);
    bool ended = false;
    const auto until = std::chrono::steady_clock::now() + 120s;
    while (!ended && std::chrono::steady_clock::now() < until) {
        struct pollfd fds[2] = {{from_sb[0], POLLIN, 0}, {-1, POLLIN, 0}};
        // The line is read through the client: one byte at a time keeps it simple.
        if (poll(fds, 1, 5) > 0) {
            char buf[512];
            const ssize_t n = ::read(from_sb[0], buf, sizeof buf);
            if (n <= 0) {
                ended = true;
                break;
            }
            c.send(std::string(buf, static_cast<std::size_t>(n)));
        }
        for (int b; (b = c.get(0ms)) >= 0;) {
            const char ch = static_cast<char>(b);
            c.seen.push_back(ch);
            if (::write(to_sb[1], &ch, 1) != 1) {
                break;
            }
        }
    }
    int status = 0;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(to_sb[1]);
    close(from_sb[0]);
    EXPECT_TRUE(ended) << "sb did not finish";
    EXPECT_TRUE(c.expect("Loaded loader.com, 41000 bytes"));
    c.send("speed   96  0  \n\r");
    EXPECT_EQ(c.finish(), 0);
    EXPECT_TRUE(test::read_file(dir_ / "received.bin") == program) << "the program differs";
}

} // namespace
