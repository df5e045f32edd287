// The POSIX serial port on real pseudo-terminals: what setup_comms leaves in the
// kernel's line settings, that every byte value passes both ways, exclusive use
// of the device, the poll time-out, configuration failures, and the tool binary's
// first moves on a missing and on a silent line.
#include "platform/platform.h"
#include "platform/pty_pair.h"
#include "run/main_sequence.h"
#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <vector>

#ifndef VANTREL_BINARY
#error "VANTREL_BINARY must name the tool's executable"
#endif

namespace {

using namespace std::chrono_literals;
using test::pty_pair;
using test::unique_fd;

// The raw 8N1 line the tool needs: no line discipline, no translation, no
// software flow control, no parity handling, modem lines ignored.
void expect_raw_8n1(const termios& t, speed_t speed) {
    EXPECT_EQ(cfgetospeed(&t), speed);
    EXPECT_EQ(cfgetispeed(&t), speed);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << std::hex << t.c_lflag;
    EXPECT_EQ(t.c_oflag & OPOST, 0u) << std::hex << t.c_oflag;
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | INPCK | PARMRK), 0u)
        << std::hex << t.c_iflag;
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
}

termios settings_of(const unique_fd& fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd.get(), &t), 0);
    return t;
}

// The tool's port on the slave end of a fresh pseudo-terminal, with the link's
// globals pointing at it and at the native host.
class PtyPort : public ::testing::Test {
  protected:
    void open_port() {
        port_ = platform::native_host().open_port(pty_.slave_path().c_str());
        ASSERT_NE(port_, nullptr);
        serial::port_handle = port_.get();
        serial::host_handle = &platform::native_host();
    }
    void open_configured(std::uint32_t baud) {
        ASSERT_NO_FATAL_FAILURE(open_port());
        ASSERT_EQ(serial::setup_comms(baud), serial::comms_ok);
    }
    void TearDown() override {
        serial::port_handle = nullptr;
        serial::host_handle = nullptr;
    }

    pty_pair pty_;
    std::unique_ptr<platform::serial_port> port_;
};

// --- Line settings -----------------------------------------------------------

TEST(PortSettings, SetupCommsLeavesRaw8N1AtEachSpeed) {
    const struct {
        std::uint32_t baud;
        speed_t code;
    } speeds[] = {
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const auto& row : speeds) {
        SCOPED_TRACE(row.baud);
        pty_pair pty;
        const unique_fd own = pty.open_slave();
        ASSERT_TRUE(own);
        // Start from a cooked line at a speed that is not the one asked for.
        termios start = settings_of(own);
        ASSERT_NE(start.c_lflag & ICANON, 0u);
        ASSERT_NE(start.c_iflag & ICRNL, 0u);
        ASSERT_NE(start.c_oflag & OPOST, 0u);
        cfsetspeed(&start, B1200);
        ASSERT_EQ(tcsetattr(own.get(), TCSANOW, &start), 0);

        auto port = platform::native_host().open_port(pty.slave_path().c_str());
        ASSERT_NE(port, nullptr);
        serial::port_handle = port.get();
        serial::host_handle = &platform::native_host();
        EXPECT_EQ(serial::setup_comms(row.baud), serial::comms_ok);
        expect_raw_8n1(settings_of(own), row.code);
        serial::port_handle = nullptr;
    }
}

// --- Transparency ------------------------------------------------------------

std::string every_byte_and_control_runs() {
    std::string data;
    for (int value = 0; value < 256; ++value) {
        data.push_back(static_cast<char>(value));
    }
    // The bytes a cooked line would eat, translate or act on, in runs.
    for (unsigned char special : {0x00, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x7F, 0xFF}) {
        data.append(16, static_cast<char>(special));
    }
    data += "\r\n\n\r\x13\x11\x03\x1a\x04";
    return data;
}

TEST_F(PtyPort, EveryByteValuePassesBothWaysUnchanged) {
    ASSERT_NO_FATAL_FAILURE(open_configured(9600));
    const std::string data = every_byte_and_control_runs();

    // Tool to board.
    std::uint32_t written = 0;
    ASSERT_TRUE(port_->write(reinterpret_cast<const std::uint8_t*>(data.data()),
                             static_cast<std::uint32_t>(data.size()), written));
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(test::read_bytes(pty_.master(), data.size() + 1, 500ms), data);

    // Board to tool, one-byte polls through the port.
    ASSERT_EQ(write(pty_.master(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
    std::string received;
    for (int empty = 0; empty < 50 && received.size() <= data.size();) {
        std::uint8_t byte = 0;
        std::uint32_t count = 0;
        ASSERT_TRUE(port_->read(byte, count));
        if (count == 1) {
            received.push_back(static_cast<char>(byte));
        } else {
            ++empty;
        }
    }
    EXPECT_EQ(received, data);
    // Nothing the board sent comes back to it.
    EXPECT_EQ(test::read_bytes(pty_.master(), 1, 100ms), "");
}

// --- Poll time-out -----------------------------------------------------------

TEST_F(PtyPort, SilentLinePollReturnsEmptyAfterAboutTenMilliseconds) {
    ASSERT_NO_FATAL_FAILURE(open_configured(9600));
    constexpr int polls = 20;
    const auto start = test::steady::now();
    for (int i = 0; i < polls; ++i) {
        std::uint8_t byte = 0;
        std::uint32_t count = 1;
        ASSERT_TRUE(port_->read(byte, count));
        ASSERT_EQ(count, 0u);
    }
    const double average_ms =
        std::chrono::duration<double, std::milli>(test::steady::now() - start).count() / polls;
    EXPECT_GT(average_ms, 5.0) << "the poll does not wait";
    EXPECT_LT(average_ms, 60.0) << "the poll waits far longer than 10 ms";
}

// --- Exclusive use -----------------------------------------------------------

// Opens the device the way any other program would, without root's right to
// pass an exclusive terminal, in a child: the open's errno, 0 when it opened, or
// -1 when no such child can be made here.
int plain_open_error(const std::string& path) {
    if (geteuid() == 0) {
        // Let the unprivileged child reach the device.
        chmod(path.c_str(), 0666);
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(255);
        }
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd < 0 ? errno : 0);
    }
    const test::exit_status status = test::reap(pid, 5s);
    if (!status.exited || status.code == 255 || status.code == EACCES) {
        return -1;
    }
    return status.code;
}

class PortLock : public PtyPort {
  protected:
    void SetUp() override { probe_works_ = plain_open_error(pty_.slave_path()) == 0; }
    // EBUSY while a holder keeps the device exclusive; 0 when it is free.
    int probe() const { return probe_works_ ? plain_open_error(pty_.slave_path()) : 0; }
    void expect_busy_message(const std::string& console) const {
        EXPECT_EQ(console,
                  "Cannot open " + pty_.slave_path() + ": Device or resource busy (error 16).\n");
    }

    bool probe_works_ = false;
};

TEST_F(PortLock, DeviceLockedByAnotherDescriptorCannotBeOpened) {
    const unique_fd holder = pty_.open_slave();
    ASSERT_TRUE(holder);
    ASSERT_EQ(flock(holder.get(), LOCK_EX | LOCK_NB), 0);

    testing::internal::CaptureStdout();
    auto refused = platform::native_host().open_port(pty_.slave_path().c_str());
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(refused, nullptr);
    expect_busy_message(console);

    ASSERT_EQ(flock(holder.get(), LOCK_UN), 0);
    EXPECT_NE(platform::native_host().open_port(pty_.slave_path().c_str()), nullptr);
}

TEST_F(PortLock, SecondOpenFailsUntilTheFirstPortIsDestroyed) {
    ASSERT_NO_FATAL_FAILURE(open_port());
    testing::internal::CaptureStdout();
    auto second = platform::native_host().open_port(pty_.slave_path().c_str());
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(second, nullptr);
    expect_busy_message(console);

    serial::port_handle = nullptr;
    port_.reset();
    EXPECT_NE(platform::native_host().open_port(pty_.slave_path().c_str()), nullptr);
}

TEST_F(PortLock, OpenPortIsExclusiveUntilDestroyed) {
    if (!probe_works_) {
        GTEST_SKIP() << "no unprivileged child to probe the device with";
    }
    // The terminal keeps the flag when the descriptor that set it is closed,
    // for as long as its master end is open: only the port's release clears it.
    ASSERT_NO_FATAL_FAILURE(open_port());
    EXPECT_EQ(probe(), EBUSY) << "the open port is not exclusive";
    serial::port_handle = nullptr;
    port_.reset();
    EXPECT_EQ(probe(), 0) << "the destroyed port left the device exclusive";
}

// The exclusive flag belongs to the terminal, not to a descriptor: a refused
// second open must not clear the one the first holder set. Disabled while
// open_port's refusal path still issues TIOCNXCL on the device it failed to take.
TEST_F(PortLock, RefusedSecondOpenKeepsTheFirstHolderExclusive) {
    ASSERT_NO_FATAL_FAILURE(open_port());
    if (!probe_works_ || geteuid() != 0) {
        GTEST_SKIP() << "needs root (whose open passes the exclusive flag) and the probe";
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(platform::native_host().open_port(pty_.slave_path().c_str()), nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(probe(), EBUSY) << "the refused open cleared the first holder's exclusive use";
}

TEST_F(PortLock, DeviceIsFreeAgainAfterTheHoldingProcessExits) {
    // The master end stays open throughout, so that the exit of the holder is
    // what has to clear the exclusive flag.
    int ready[2];
    int go[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    unique_fd ready_read(ready[0]), ready_write(ready[1]), go_read(go[0]), go_write(go[1]);

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // Never destroyed: the process's exit has to give the device back.
        platform::serial_port* port =
            platform::native_host().open_port(pty_.slave_path().c_str()).release();
        const char opened = port != nullptr ? 1 : 0;
        if (write(ready[1], &opened, 1) != 1) {
            _exit(4);
        }
        char c;
        (void)!read(go[0], &c, 1); // returns at the parent's byte or when it is gone
        std::exit(port != nullptr ? 0 : 3);
    }
    ready_write.reset();
    go_read.reset();
    ASSERT_GT(pid, 0);

    EXPECT_EQ(test::read_bytes(ready_read.get(), 1, 5s), std::string(1, '\1'));
    if (probe_works_) {
        EXPECT_EQ(probe(), EBUSY) << "the child's port is not exclusive";
    }
    EXPECT_EQ(write(go_write.get(), "x", 1), 1);
    go_write.reset();
    const test::exit_status status = test::reap(pid, 5s);
    EXPECT_FALSE(status.timed_out);
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);

    EXPECT_EQ(probe(), 0) << "the exited holder left the device exclusive";
    EXPECT_NE(platform::native_host().open_port(pty_.slave_path().c_str()), nullptr);
}

// --- Configuration failures --------------------------------------------------

enum class step { none, get_state, set_state, get_timeouts, set_timeouts };

// A port whose configuration calls fail from a chosen step on; it records the
// calls made.
class failing_port final : public platform::serial_port, public platform::host {
  public:
    explicit failing_port(step fails) : fails_(fails) {}

    std::vector<step> calls;
    std::string console;
    platform::comm_state state{2400, 7, 2, 2, true};
    platform::comm_timeouts timeouts{1, 2, 3, 4, 5};

    bool get_state(platform::comm_state& s) override {
        if (!called(step::get_state)) {
            return false;
        }
        s = state;
        return true;
    }
    bool set_state(const platform::comm_state& s) override {
        if (!called(step::set_state)) {
            return false;
        }
        state = s;
        return true;
    }
    bool get_timeouts(platform::comm_timeouts& t) override {
        if (!called(step::get_timeouts)) {
            return false;
        }
        t = timeouts;
        return true;
    }
    bool set_timeouts(const platform::comm_timeouts& t) override {
        if (!called(step::set_timeouts)) {
            return false;
        }
        timeouts = t;
        return true;
    }
    bool read(std::uint8_t&, std::uint32_t& count) override {
        count = 0;
        return true;
    }
    bool write(const std::uint8_t*, std::uint32_t length, std::uint32_t& written) override {
        written = length;
        return true;
    }
    void wait_sent() override {}
    void purge() override {}
    long last_error() const override { return 31; }

    std::unique_ptr<platform::serial_port> open_port(const char*) override { return nullptr; }
    void console_write(const char* text, std::size_t length) override {
        console.append(text, length);
    }
    void pause_ms(std::uint32_t) override {}
    void wait_key() override {}
    int interrupted() const override { return 0; }

  private:
    bool called(step s) {
        calls.push_back(s);
        return s != fails_;
    }
    step fails_;
};

TEST(SetupCommsFailure, EachStepReportsItsCodeAndStopsThere) {
    const struct {
        step fails;
        int code;
        const char* message;
    } rows[] = {
        {step::get_state, serial::comms_get_state_failed, "GetCommState failed with error 31.\n"},
        {step::set_state, serial::comms_set_state_failed, "SetCommState failed with error 31.\n"},
        {step::get_timeouts, serial::comms_get_timeouts_failed,
         "Error: GetCommTimeouts reported error number 31.\n"},
        {step::set_timeouts, serial::comms_set_timeouts_failed,
         "Error: SetCommTimeouts reported error number 31.\n"},
        {step::none, serial::comms_ok, ""},
    };
    const std::vector<step> order = {step::get_state, step::set_state, step::get_timeouts,
                                     step::set_timeouts};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        failing_port port(row.fails);
        serial::port_handle = &port;
        serial::host_handle = &port;
        EXPECT_EQ(serial::setup_comms(19200), row.code);
        serial::port_handle = nullptr;
        serial::host_handle = nullptr;
        EXPECT_EQ(port.console, row.message);

        // The calls up to the failing one, in order; nothing after it.
        const std::size_t made = row.fails == step::none
                                     ? order.size()
                                     : static_cast<std::size_t>(row.fails) -
                                           static_cast<std::size_t>(step::get_state) + 1;
        EXPECT_EQ(port.calls, std::vector<step>(order.begin(), order.begin() + made));

        // The new speed stays once its step went through; the kept fields of
        // the time-outs are untouched.
        const bool speed_set = made > 2;
        EXPECT_EQ(port.state.baud_rate, speed_set ? 19200u : 2400u);
        if (speed_set) {
            EXPECT_EQ(port.state.byte_size, 8);
            EXPECT_EQ(port.state.parity, platform::no_parity);
            EXPECT_EQ(port.state.stop_bits, platform::one_stop_bit);
            EXPECT_FALSE(port.state.discard_null);
        }
        if (row.fails == step::none) {
            EXPECT_EQ(port.timeouts.read_interval, 10u);
            EXPECT_EQ(port.timeouts.read_total_multiplier, 10u);
            EXPECT_EQ(port.timeouts.read_total_constant, 3u);
            EXPECT_EQ(port.timeouts.write_total_multiplier, 4u);
            EXPECT_EQ(port.timeouts.write_total_constant, 5u);
        }
    }
}

// --- The tool binary ---------------------------------------------------------

TEST(ToolBinary, MissingDeviceIsReportedBusyWithExitCodeOne) {
    const unique_fd null_in(open("/dev/null", O_RDONLY | O_CLOEXEC));
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    unique_fd out_read(out[0]), out_write(out[1]);
    const pid_t pid =
        test::spawn({VANTREL_BINARY, "-c", "/nonexistent/tty"}, null_in.get(), out[1], -1);
    ASSERT_GT(pid, 0);
    out_write.reset();
    const std::string console = test::read_to_end(out_read.get(), 10s);
    const test::exit_status status = test::reap(pid, 5s);
    EXPECT_FALSE(status.timed_out);
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 1);
    EXPECT_EQ(console, "Cannot open /nonexistent/tty: No such file or directory (error 2).\n"
                       "Busy /nonexistent/tty.\npress any key...");
}

// Port names stand for /dev/ttyS(n-1), and the message names the device tried. Numbers far above
// any real port keep the devices missing on every machine.
TEST(ToolBinary, PortNamesOpenTheirTtySDevice) {
    struct name_case {
        const char* name;
        const char* device;
    };
    for (const name_case c :
         {name_case{"COM200", "/dev/ttyS199"}, name_case{"\\\\.\\COM201", "/dev/ttyS200"},
          name_case{"com1000", "/dev/ttyS999"}}) {
        SCOPED_TRACE(c.name);
        const unique_fd null_in(open("/dev/null", O_RDONLY | O_CLOEXEC));
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        unique_fd out_read(out[0]), out_write(out[1]);
        const pid_t pid = test::spawn({VANTREL_BINARY, "-c", c.name}, null_in.get(), out[1], -1);
        ASSERT_GT(pid, 0);
        out_write.reset();
        const std::string console = test::read_to_end(out_read.get(), 10s);
        const test::exit_status status = test::reap(pid, 5s);
        EXPECT_TRUE(status.exited);
        EXPECT_EQ(status.code, 1);
        EXPECT_EQ(console, std::string("Cannot open ") + c.name + " (" + c.device +
                               "): No such file or directory (error 2).\nBusy " + c.name +
                               ".\npress any key...");
    }
}

TEST(ToolBinary, RunStartsWithResetLinesOnRaw9600Line) {
    pty_pair pty;
    const unique_fd own = pty.open_slave();
    ASSERT_TRUE(own);
    termios start = settings_of(own);
    cfsetspeed(&start, B115200);
    ASSERT_EQ(tcsetattr(own.get(), TCSANOW, &start), 0);

    const unique_fd null_in(open("/dev/null", O_RDONLY | O_CLOEXEC));
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    unique_fd out_read(out[0]), out_write(out[1]);
    const pid_t pid = test::spawn({VANTREL_BINARY, "-c", pty.slave_path(), "-p", "x", "-d", "y"},
                                  null_in.get(), out[1], -1);
    ASSERT_GT(pid, 0);
    out_write.reset();

    const std::string first = test::read_bytes(pty.master(), 4, 10s);
    const termios at_first_bytes = settings_of(own);
    const int while_running = plain_open_error(pty.slave_path());
    kill(pid, SIGTERM);
    const test::exit_status status = test::reap(pid, 10s);
    const std::string console = test::read_to_end(out_read.get(), 1s);

    EXPECT_EQ(first, "\n\r\n\r");
    expect_raw_8n1(at_first_bytes, B9600);
    EXPECT_FALSE(status.timed_out) << console;
    EXPECT_TRUE(status.exited) << "the stop request did not end the run by itself";
    EXPECT_EQ(status.code, run::exit_signal_base + SIGTERM);
    EXPECT_NE(console.find("Serial port " + pty.slave_path() + " successfully reconfigured."),
              std::string::npos)
        << console;
    // The run held the device exclusive and the stopped run gave it back.
    if (while_running != -1) {
        EXPECT_EQ(while_running, EBUSY);
        EXPECT_EQ(plain_open_error(pty.slave_path()), 0);
    }
}

} // namespace
