// POSIX implementation of the platform layer: termios serial ports (real UARTs,
// USB adapters, pseudo-terminals), the console, pauses and the key wait.
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <termios.h>
#include <unistd.h>

namespace platform {

const long read_aborted_error = EINTR;

namespace {

using clock = std::chrono::steady_clock;

volatile std::sig_atomic_t pending_signal = 0;

// What has to be undone on every way out, signals included: the exclusive use of
// the port (TIOCEXCL outlives the process where another holder keeps the device
// open, as a pseudo-terminal's other end does) and the console's terminal mode
// during a key wait.
volatile int exclusive_fd = -1;
volatile std::sig_atomic_t console_mode_saved = 0;
struct termios console_mode;

void release_exclusive() {
    if (exclusive_fd >= 0) {
        ioctl(exclusive_fd, TIOCNXCL);
    }
}

void restore_console() {
    if (console_mode_saved) {
        tcsetattr(STDIN_FILENO, TCSANOW, &console_mode);
    }
}

void release_at_exit() {
    restore_console();
    release_exclusive();
}

void on_signal(int signal_number) {
    // A second signal while the run is winding down ends the process at once.
    if (pending_signal != 0) {
        restore_console();
        release_exclusive();
        _exit(128 + signal_number);
    }
    pending_signal = signal_number;
    restore_console();
}

void install_handlers() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    std::atexit(release_at_exit);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked poll or read returns with EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

struct speed_entry {
    std::uint32_t baud;
    speed_t code;
};

constexpr speed_entry speeds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
};

bool speed_code(std::uint32_t baud, speed_t& code) {
    for (const auto& entry : speeds) {
        if (entry.baud == baud) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

std::uint32_t speed_baud(speed_t code) {
    for (const auto& entry : speeds) {
        if (entry.code == code) {
            return entry.baud;
        }
    }
    return 0;
}

class posix_port final : public serial_port {
  public:
    explicit posix_port(int fd) : fd_(fd) {}
    ~posix_port() override {
        ioctl(fd_, TIOCNXCL);
        if (exclusive_fd == fd_) {
            exclusive_fd = -1;
        }
        close(fd_);
    }
    posix_port(const posix_port&) = delete;
    posix_port& operator=(const posix_port&) = delete;

    bool get_state(comm_state& state) override {
        if (tcgetattr(fd_, &tio_) != 0) {
            return fail();
        }
        have_tio_ = true;
        state.baud_rate = speed_baud(cfgetospeed(&tio_));
        switch (tio_.c_cflag & CSIZE) {
        case CS5:
            state.byte_size = 5;
            break;
        case CS6:
            state.byte_size = 6;
            break;
        case CS7:
            state.byte_size = 7;
            break;
        default:
            state.byte_size = 8;
            break;
        }
        state.parity = (tio_.c_cflag & PARENB) ? ((tio_.c_cflag & PARODD) ? 1 : 2) : no_parity;
        state.stop_bits = (tio_.c_cflag & CSTOPB) ? 2 : one_stop_bit;
        state.discard_null = false; // termios has no such filter; null bytes are always delivered
        return true;
    }

    bool set_state(const comm_state& state) override {
        if (!have_tio_ && tcgetattr(fd_, &tio_) != 0) {
            return fail();
        }
        speed_t code;
        if (!speed_code(state.baud_rate, code) || state.byte_size != 8 ||
            state.parity != no_parity || state.stop_bits != one_stop_bit || state.discard_null) {
            error_ = EINVAL;
            return false;
        }
        struct termios tio = tio_;
        // A fully transparent line: every byte value passes both ways unchanged.
        // No canonical input, echo, CR/LF translation, software flow control,
        // signals from received bytes, parity checking or marking.
        tio.c_iflag &=
            ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                   IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tio.c_lflag &=
            ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        // CLOCAL: the board's three-wire line has no modem lines to wait for.
        tio.c_cflag |= CS8 | CREAD | CLOCAL;
        // Reads never block in the driver; poll() gives the time-out.
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        cfsetispeed(&tio, code);
        cfsetospeed(&tio, code);
        // TCSADRAIN: bytes still queued leave at the old speed before the switch.
        if (tcsetattr(fd_, TCSADRAIN, &tio) != 0) {
            return fail();
        }
        tio_ = tio;
        baud_ = state.baud_rate;
        return true;
    }

    bool get_timeouts(comm_timeouts& timeouts) override {
        timeouts = timeouts_;
        return true;
    }

    bool set_timeouts(const comm_timeouts& timeouts) override {
        timeouts_ = timeouts;
        return true;
    }

    bool read(std::uint8_t& byte, std::uint32_t& count) override {
        count = 0;
        if (pending_signal != 0) {
            error_ = EINTR;
            return false;
        }
        const int wait = read_wait_ms();
        struct pollfd pfd {
            fd_, POLLIN, 0
        };
        const int ready = poll(&pfd, 1, wait);
        if (ready < 0) {
            return fail();
        }
        if (ready == 0) {
            return true;
        }
        if (!(pfd.revents & POLLIN)) {
            // Hang-up or error without data: report it, but only after the
            // time-out, so that callers polling in a loop do not spin.
            if (wait > 0) {
                poll(nullptr, 0, wait);
            }
            error_ = EIO;
            return false;
        }
        const ssize_t got = ::read(fd_, &byte, 1);
        if (got == 1) {
            count = 1;
            return true;
        }
        if (got < 0 && errno == EAGAIN) {
            return true;
        }
        if (got == 0 && !(pfd.revents & (POLLHUP | POLLERR))) {
            return true;
        }
        // The other end has hung up (a pulled cable, a pseudo-terminal whose
        // master has gone): a failed read, after the time-out like a silent poll.
        if (got == 0) {
            if (wait > 0) {
                poll(nullptr, 0, wait);
            }
            error_ = EIO;
            return false;
        }
        return fail();
    }

    bool write(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written) override {
        written = 0;
        const auto start = clock::now();
        while (written < length) {
            const ssize_t put = ::write(fd_, data + written, length - written);
            if (put > 0) {
                written += static_cast<std::uint32_t>(put);
                continue;
            }
            if (put < 0 && errno == EINTR && pending_signal == 0) {
                continue;
            }
            if (put < 0 && errno == EAGAIN) {
                struct pollfd pfd {
                    fd_, POLLOUT, 0
                };
                poll(&pfd, 1, 100);
                continue;
            }
            return fail();
        }
        // The bytes leave the port one after another; remember when the last one will have gone.
        sent_by_ = std::max(sent_by_, start) + wire_time(length, baud_);
        return true;
    }

    void wait_sent() override {
        // A real UART's driver returns from tcdrain when the last bit has gone; a
        // pseudo-terminal or a USB adapter returns early, so the time on the wire
        // is also accounted from the speed.
        tcdrain(fd_);
        const auto now = clock::now();
        // Also after a signal: the final bytes of an interrupted run must have
        // left before the port changes speed.
        if (sent_by_ > now) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(sent_by_ - now);
            struct timespec ts {
                static_cast<std::time_t>(left.count() / 1'000'000'000),
                    static_cast<long>(left.count() % 1'000'000'000)
            };
            nanosleep(&ts, nullptr);
        }
    }

    void purge() override {
        tcflush(fd_, TCIOFLUSH);
        sent_by_ = clock::now();
    }

    long last_error() const override { return error_; }

  private:
    bool fail() {
        error_ = errno;
        return false;
    }

    // The one-byte read's time-out: with the Win32 meaning of the fields, no
    // time-out at all (all zero) waits for a byte without end.
    int read_wait_ms() const {
        const std::uint64_t total = static_cast<std::uint64_t>(timeouts_.read_total_multiplier) +
                                    timeouts_.read_total_constant;
        if (total == 0) {
            return timeouts_.read_interval == 0xFFFFFFFFu ? 0 : -1;
        }
        return total > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(total);
    }

    int fd_;
    long error_ = 0;
    struct termios tio_ {};
    bool have_tio_ = false;
    std::uint32_t baud_ = 0;
    comm_timeouts timeouts_{};
    clock::time_point sent_by_{};
};

// "COMn" (also written "\\.\COMn", in any case) names the n-th serial port, /dev/ttyS(n-1);
// any other name is a path used as given.
std::string device_path(const char* name) {
    const char* port = std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
    if (strncasecmp(port, "COM", 3) != 0 || port[3] < '1' || port[3] > '9') {
        return name;
    }
    unsigned long number = 0;
    for (const char* digit = port + 3; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || number > 100000) {
            return name;
        }
        number = number * 10 + static_cast<unsigned long>(*digit - '0');
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

void print_reason(const char* name, const std::string& path, int error) {
    // A port name says which device it stood for, so that the operator can check that one.
    if (path != name) {
        std::printf("Cannot open %s (%s): %s (error %d).\n", name, path.c_str(),
                    std::strerror(error), error);
    } else {
        std::printf("Cannot open %s: %s (error %d).\n", name, std::strerror(error), error);
    }
    if (error == EACCES) {
        std::printf("Ask for membership of the group that owns the device (usually dialout), "
                    "then log in again.\n");
    }
    std::fflush(stdout);
}

class posix_host final : public host {
  public:
    posix_host() {
        install_handlers();
#ifdef __linux__
        // Pauses end close to their time: the reply window of a packet opens
        // when its last byte has left, and 50 us of default slack per sleep is
        // 0.4 % of a packet at 115200 baud.
        prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
    }

    std::unique_ptr<serial_port> open_port(const char* name) override {
        const std::string path = device_path(name);
        // Non-blocking, so that the open does not wait for modem lines; CLOCAL is
        // set before the descriptor becomes blocking again.
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            print_reason(name, path, errno);
            return nullptr;
        }
        int error = 0;
        bool exclusive = false;
        struct termios tio;
        if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
            error = ENOTTY;
        } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK ? EBUSY : errno;
        } else if (ioctl(fd, TIOCEXCL) != 0) {
            error = errno;
        } else {
            exclusive = true;
            tio.c_cflag |= CLOCAL;
            if (tcsetattr(fd, TCSANOW, &tio) != 0 ||
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
                error = errno;
            }
        }
        if (error != 0) {
            // The exclusive flag belongs to the terminal, not to this
            // descriptor: clear it only where this open set it, never a
            // holder's that refused us.
            if (exclusive) {
                ioctl(fd, TIOCNXCL);
            }
            close(fd);
            print_reason(name, path, error);
            return nullptr;
        }
        exclusive_fd = fd;
        return std::make_unique<posix_port>(fd);
    }

    void console_write(const char* text, std::size_t length) override {
        while (length > 0) {
            const ssize_t put = ::write(STDOUT_FILENO, text, length);
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                return;
            }
            text += put;
            length -= static_cast<std::size_t>(put);
        }
    }

    void pause_ms(std::uint32_t milliseconds) override {
        struct timespec ts {
            static_cast<std::time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1'000'000
        };
        while (pending_signal == 0 && nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }

    void wait_key() override {
        if (pending_signal != 0) {
            return;
        }
        std::fflush(stdout);
        unsigned char key;
        if (!isatty(STDIN_FILENO)) {
            // No keyboard: one byte of the input, or its end, stands for the key.
            while (::read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR && pending_signal == 0) {
            }
            return;
        }
        if (tcgetattr(STDIN_FILENO, &console_mode) != 0) {
            return;
        }
        struct termios raw = console_mode;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        console_mode_saved = 1;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        while (::read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR && pending_signal == 0) {
        }
        restore_console();
        console_mode_saved = 0;
    }

    int interrupted() const override {
        return pending_signal;
    }
};

} // namespace

host& native_host() {
    static posix_host instance;
    return instance;
}

} // namespace platform
