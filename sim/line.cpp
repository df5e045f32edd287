#include "line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sim {

volatile int stop_signal = 0;

namespace {

std::uint32_t baud_of(speed_t code) {
    switch (code) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 0;
    }
}

// A mismatched receiver sees framing garbage: a faster sender's bytes merge
// into few bytes with high bits set, a slower sender's start bits read as runs
// of 0x00 or 0x80. None of these is a control byte of the protocols.
constexpr std::uint8_t merged[] = {0xFF, 0xFE, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0, 0x80};

} // namespace

line::~line() {
    if (!link_path_.empty()) {
        unlink(link_path_.c_str());
    }
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

void line::open(const std::string& link_path) {
    struct termios tio {};
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    char name[256];
    if (openpty(&master_, &slave_, name, &tio, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slave_path_ = name;
    if (!link_path.empty()) {
        unlink(link_path.c_str());
        if (symlink(slave_path_.c_str(), link_path.c_str()) != 0) {
            throw std::runtime_error("symlink " + link_path + ": " + std::strerror(errno));
        }
        link_path_ = link_path;
    }
}

std::uint32_t line::tool_baud() const {
    struct termios tio {};
    if (tcgetattr(slave_, &tio) != 0) {
        return 0;
    }
    return baud_of(cfgetospeed(&tio));
}

clock::duration line::byte_time(std::uint32_t baud) const {
    return std::chrono::nanoseconds(baud ? 10'000'000'000ull / baud : 0);
}

bool line::chance(double fraction) {
    if (fraction <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0, 1)(random_) < fraction;
}

void line::check_end() {
    if (stop_signal != 0) {
        throw run_over("signal");
    }
    if (clock::now() >= deadline_) {
        throw run_over("timeout");
    }
}

void line::read_available(int wait_ms) {
    struct pollfd pfd {
        master_, POLLIN, 0
    };
    if (poll(&pfd, 1, wait_ms) <= 0 || !(pfd.revents & POLLIN)) {
        if (pfd.revents & (POLLHUP | POLLERR)) {
            // The tool has closed its end; the slave descriptor we keep makes
            // this rare, but never spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms > 0 ? wait_ms : 1));
        }
        return;
    }
    std::uint8_t buffer[4096];
    const ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got <= 0) {
        return;
    }
    const auto now = clock::now();
    const std::uint32_t speed = tool_baud();
    for (ssize_t i = 0; i < got; ++i) {
        // With --wire a byte is there 10 bit times after the previous one.
        clock::time_point arrival = now;
        if (wire_) {
            arrival = std::max(now, last_arrival_) + byte_time(speed);
        }
        last_arrival_ = arrival;
        queue_.push_back({buffer[i], speed, arrival});
    }
}

int line::get(int timeout_ms) {
    const auto until = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        check_end();
        if (!garbage_.empty()) {
            const std::uint8_t b = garbage_.front();
            garbage_.pop_front();
            return b;
        }
        const auto now = clock::now();
        if (!queue_.empty() && queue_.front().arrival <= now) {
            const incoming in = queue_.front();
            queue_.pop_front();
            last_activity_ = now;
            ++counters.bytes_in;
            if (in.sent_at_baud != board_baud_ && in.sent_at_baud != 0) {
                ++counters.garbled;
                if (in.sent_at_baud > board_baud_) {
                    const unsigned ratio = in.sent_at_baud / board_baud_;
                    if (fast_sender_count_++ % ratio != 0) {
                        continue;
                    }
                    return merged[in.value % 8];
                }
                const unsigned run = std::min(12u, board_baud_ / in.sent_at_baud);
                for (unsigned k = 1; k < run; ++k) {
                    garbage_.push_back((in.value >> (k % 8)) & 1 ? 0x80 : 0x00);
                }
                return in.value & 1 ? 0x80 : 0x00;
            }
            if (armed_ && chance(faults_.drop_in)) {
                ++counters.faults;
                continue;
            }
            if (armed_ && chance(faults_.corrupt_in)) {
                ++counters.faults;
                return in.value ^ static_cast<std::uint8_t>(1u << (random_() % 8));
            }
            return in.value;
        }
        if (now - last_activity_ >= idle_) {
            throw line_idle();
        }
        if (now >= until) {
            return -1;
        }
        auto wait = until - now;
        if (!queue_.empty()) {
            wait = std::min<clock::duration>(wait, queue_.front().arrival - now);
        }
        wait = std::min<clock::duration>(wait, std::chrono::milliseconds(200));
        if (!queue_.empty() && queue_.front().arrival > now) {
            // The byte is read already; it only has to finish its way down the line.
            std::this_thread::sleep_for(queue_.front().arrival - now);
            continue;
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
        read_available(static_cast<int>(ms > 0 ? ms : 1));
    }
}

void line::flush_input() {
    read_available(0);
    queue_.clear();
    garbage_.clear();
}

void line::put(const void* data, std::size_t length) {
    check_end();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::string out;
    const std::uint32_t speed = tool_baud();
    unsigned fast_count = 0;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t b = bytes[i];
        if (speed != board_baud_ && speed != 0) {
            ++counters.garbled;
            if (board_baud_ > speed) {
                if (fast_count++ % (board_baud_ / speed) == 0) {
                    out.push_back(static_cast<char>(merged[b % 8]));
                }
            } else {
                const unsigned run = std::min(12u, speed / board_baud_);
                for (unsigned k = 0; k < run; ++k) {
                    out.push_back(static_cast<char>((b >> (k % 8)) & 1 ? 0x80 : 0x00));
                }
            }
            continue;
        }
        if (armed_ && chance(faults_.drop_out)) {
            ++counters.faults;
            continue;
        }
        if (armed_ && chance(faults_.corrupt_out)) {
            ++counters.faults;
            b ^= static_cast<std::uint8_t>(1u << (random_() % 8));
        }
        out.push_back(static_cast<char>(b));
    }
    if (wire_) {
        // The bytes reach the tool when their last bit has crossed the line.
        const auto done = std::max(clock::now(), tx_free_) + byte_time(board_baud_) * length;
        std::this_thread::sleep_until(done);
        tx_free_ = done;
    }
    std::size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::write(master_, out.data() + sent, out.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            // The tool is not reading: its input buffer is full. Wait, and
            // keep taking its bytes meanwhile so that neither side blocks.
            read_available(5);
            check_end();
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
    counters.bytes_out += out.size();
}

void line::wait_released(int milliseconds) {
    // The board's own descriptor of the terminal only kept the line up between the tool's opens;
    // once it is closed, the master hangs up when the tool closes its port. The tool's exclusive
    // flag would not tell: a port opened through Wine's serial layer does not set it, and closing
    // the terminal under such a tool fails the last speed switch it makes.
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
    const auto until = clock::now() + std::chrono::milliseconds(milliseconds);
    while (clock::now() < until && stop_signal == 0) {
        struct pollfd pfd {
            master_, POLLIN, 0
        };
        if (poll(&pfd, 1, 20) < 0 || (pfd.revents & (POLLHUP | POLLERR)) != 0) {
            return;
        }
        if ((pfd.revents & POLLIN) != 0) {
            std::uint8_t buffer[4096];
            if (::read(master_, buffer, sizeof buffer) <= 0) {
                return;
            }
        }
    }
}

void line::pause(int milliseconds) {
    const auto until = clock::now() + std::chrono::milliseconds(milliseconds);
    while (clock::now() < until) {
        check_end();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now());
        read_available(static_cast<int>(std::max<long>(1, std::min<long>(left.count(), 50))));
    }
}

} // namespace sim
