// The YMODEM sender against an independent receiver, lrzsz's rb, over the real
// platform layer: the tool's port is the slave end of a pseudo-terminal, and a
// relay passes the bytes between its master end and rb's standard input and
// output. rb must not sit on the terminal itself: its terminal settings would
// act on the tool's line.
#include "platform/platform.h"
#include "platform/pty_pair.h"
#include "serial/serial_link.h"
#include "ymodem/ymodem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using test::unique_fd;

constexpr auto watchdog_limit = 120s;
constexpr std::size_t loader_size = 41000; // 321 data blocks: the block number wraps past 255

// lrzsz's receiver under either of its names, found on PATH.
std::string find_rb() {
    const char* path = std::getenv("PATH");
    for (const char* name : {"rb", "lrb"}) {
        std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
        for (std::string dir; std::getline(dirs, dir, ':');) {
            const std::string candidate = dir + "/" + name;
            if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
    }
    return "";
}

// Every byte value first, then pseudo-random bytes.
std::string loader_content() {
    std::string data;
    for (int value = 0; value < 256; ++value) {
        data.push_back(static_cast<char>(value));
    }
    std::uint32_t state = 0x2545F491u;
    while (data.size() < loader_size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        data.push_back(static_cast<char>(state >> 24));
    }
    return data;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The native host with the console kept for the report, and a stop request
// that the watchdog can raise.
class watched_host final : public platform::host {
  public:
    std::string console;
    std::atomic<bool> expired{false};
    int key_waits = 0;

    std::unique_ptr<platform::serial_port> open_port(const char* name) override {
        return platform::native_host().open_port(name);
    }
    void console_write(const char* text, std::size_t length) override {
        console.append(text, length);
    }
    void pause_ms(std::uint32_t ms) override {
        if (!expired) {
            platform::native_host().pause_ms(ms);
        }
    }
    void wait_key() override { ++key_waits; }
    int interrupted() const override {
        return expired ? SIGALRM : platform::native_host().interrupted();
    }
};

// Passes the sender's bytes from the terminal's master end to rb and rb's
// answers back, shaped the way rb needs them:
// - nothing before the first block: the monitor command "yload ..." is not for rb;
// - after that the stream is parsed into 133-byte blocks and single EOTs. rb
//   confirms an EOT only after a second of silence and refuses one that comes
//   within it, while the sender repeats its EOT every ten polls; so once an EOT
//   has gone to rb, nothing more goes until rb has answered it: further EOTs are
//   dropped and a block is kept back. When the sender has already gone on to
//   its closing block by the time rb answers, that answer is not passed on (the
//   sender would take it for the block's), and the kept block goes to rb.
class relay {
  public:
    relay(int master, int to_rb, int from_rb)
        : master_(master), to_rb_(to_rb), from_rb_(from_rb), thread_([this] { run(); }) {}
    ~relay() { stop(); }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // What the relay saw, for after stop().
    const std::string& text_before_blocks() const { return text_before_blocks_; }
    int eots_forwarded() const { return eots_forwarded_; }
    int eots_dropped() const { return eots_dropped_; }
    int late_answers() const { return late_answers_; }

  private:
    void run() {
        while (!stop_) {
            struct pollfd fds[2] = {{master_, POLLIN, 0}, {from_rb_, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) {
                continue;
            }
            char buffer[1024];
            if (fds[0].revents & POLLIN) {
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    from_sender(buffer, static_cast<std::size_t>(n));
                }
            }
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = read(from_rb_, buffer, sizeof buffer);
                if (n > 0) {
                    from_rb(buffer, static_cast<std::size_t>(n));
                } else {
                    // rb has gone: only the sender's side is drained from now on.
                    rb_gone_ = true;
                    std::this_thread::sleep_for(5ms);
                }
            }
        }
    }

    void from_sender(const char* data, std::size_t length) {
        std::string out;
        for (std::size_t i = 0; i < length; ++i) {
            const char byte = data[i];
            std::string& to = eot_unanswered_ ? kept_ : out;
            if (block_left_ > 0) {
                --block_left_;
                to.push_back(byte);
            } else if (byte == static_cast<char>(serial::SOH)) {
                started_ = true;
                block_left_ = ymodem::block_size - 1;
                to.push_back(byte);
            } else if (!started_) {
                text_before_blocks_.push_back(byte);
            } else if (byte == static_cast<char>(serial::EOT)) {
                if (eot_unanswered_) {
                    ++eots_dropped_;
                } else {
                    eot_unanswered_ = true;
                    ++eots_forwarded_;
                    out.push_back(byte);
                }
            } else {
                to.push_back(byte);
            }
        }
        to_rb(out);
    }

    void from_rb(const char* data, std::size_t length) {
        if (eot_unanswered_) {
            // What the sender wrote before this answer came decides where it goes.
            take_waiting_sender_bytes();
            eot_unanswered_ = false;
            if (!kept_.empty()) {
                ++late_answers_;
                to_rb(kept_);
                kept_.clear();
                return;
            }
        }
        write_all(master_, data, length);
    }

    void take_waiting_sender_bytes() {
        char buffer[1024];
        struct pollfd pfd {
            master_, POLLIN, 0
        };
        while (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN)) {
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            from_sender(buffer, static_cast<std::size_t>(n));
        }
    }

    void to_rb(const std::string& bytes) {
        if (!rb_gone_) {
            write_all(to_rb_, bytes.data(), bytes.size());
        }
    }

    static void write_all(int fd, const char* data, std::size_t length) {
        while (length > 0) {
            const ssize_t n = write(fd, data, length);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            data += n;
            length -= static_cast<std::size_t>(n);
        }
    }

    int master_;
    int to_rb_;
    int from_rb_;
    std::atomic<bool> stop_{false};
    bool started_ = false;
    std::size_t block_left_ = 0;
    bool eot_unanswered_ = false;
    std::string kept_;
    bool rb_gone_ = false;
    std::string text_before_blocks_;
    int eots_forwarded_ = 0;
    int eots_dropped_ = 0;
    int late_answers_ = 0;
    std::thread thread_;
};

// Fails the run after the time limit: raises the host's stop request, which
// every loop of the sender looks at, and kills rb.
class watchdog {
  public:
    watchdog(watched_host& host, pid_t rb)
        : thread_([this, &host, rb] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_cv_.wait_for(lock, watchdog_limit, [this] { return done_; })) {
                  host.expired = true;
                  kill(rb, SIGKILL);
              }
          }) {}
    ~watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

// Temporary folders for the sent and the received file; the test works in the
// sending one, so that the loader's name in block 0 is relative (rb refuses
// absolute paths) and lower case (rb lower-cases names written all upper case).
class RbInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        rb_ = find_rb();
        if (rb_.empty()) {
            GTEST_SKIP() << "lrzsz's rb is not installed";
        }
        signal(SIGPIPE, SIG_IGN);
        char root[] = "/tmp/vantrel-rb-XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        root_ = root;
        ASSERT_EQ(mkdir((root_ + "/send").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root_ + "/recv").c_str(), 0700), 0);
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd_ = cwd;
        ASSERT_EQ(chdir((root_ + "/send").c_str()), 0);
    }
    void TearDown() override {
        serial::port_handle = nullptr;
        serial::host_handle = nullptr;
        if (!old_cwd_.empty()) {
            EXPECT_EQ(chdir(old_cwd_.c_str()), 0);
        }
        if (!root_.empty() && !HasFailure()) {
            std::filesystem::remove_all(root_);
        }
    }

    std::string rb_;
    std::string root_;
    std::string old_cwd_;
};

TEST_F(RbInterop, ReceivesALoaderOfMoreThan255BlocksByteForByte) {
    SCOPED_TRACE("files kept in " + root_);
    const std::string loader = loader_content();
    {
        std::ofstream out("loader.img", std::ios::binary);
        out.write(loader.data(), static_cast<std::streamsize>(loader.size()));
        ASSERT_TRUE(out.good());
    }

    // The tool's port, configured as the main sequence does.
    test::pty_pair pty;
    watched_host host;
    auto port = host.open_port(pty.slave_path().c_str());
    ASSERT_NE(port, nullptr);
    serial::port_handle = port.get();
    serial::host_handle = &host;
    ASSERT_EQ(serial::setup_comms(9600), serial::comms_ok);

    // rb on pipes, in the receiving folder.
    int to_rb[2];
    int from_rb[2];
    ASSERT_EQ(pipe2(to_rb, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(from_rb, O_CLOEXEC), 0);
    unique_fd to_rb_read(to_rb[0]), to_rb_write(to_rb[1]);
    unique_fd from_rb_read(from_rb[0]), from_rb_write(from_rb[1]);
    const std::string log_path = root_ + "/rb.log";
    const unique_fd log(open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const pid_t rb =
        test::spawn({rb_, "-vv"}, to_rb[0], from_rb[1], log.get(), (root_ + "/recv").c_str());
    ASSERT_GT(rb, 0);
    to_rb_read.reset();
    from_rb_write.reset();

    int result = -1;
    test::exit_status rb_status;
    std::string text_before_blocks;
    int eots_forwarded = 0;
    int eots_dropped = 0;
    int late_answers = 0;
    {
        watchdog guard(host, rb);
        relay link(pty.master(), to_rb_write.get(), from_rb_read.get());
        result = ymodem::ymodem_send_file("loader.img", 0x2000);
        rb_status = test::reap(rb, 15s);
        link.stop();
        eots_forwarded = link.eots_forwarded();
        eots_dropped = link.eots_dropped();
        late_answers = link.late_answers();
        text_before_blocks = link.text_before_blocks();
    }
    const std::string rb_log = read_file(log_path);

    ASSERT_FALSE(host.expired) << "the transfer did not end within the time limit\n"
                               << host.console << "\n--- rb:\n"
                               << rb_log;
    EXPECT_EQ(result, 1) << host.console;
    EXPECT_FALSE(rb_status.timed_out) << rb_log;
    EXPECT_TRUE(rb_status.exited);
    EXPECT_EQ(rb_status.code, 0) << rb_log;
    EXPECT_EQ(text_before_blocks, "yload 2000:0\n\r");
    EXPECT_GE(eots_forwarded, 1);
    EXPECT_EQ(host.key_waits, 0);

    const std::string received = read_file(root_ + "/recv/loader.img");
    EXPECT_EQ(received.size(), loader.size()) << rb_log;
    EXPECT_TRUE(received == loader) << "the received file differs from the loader";
    EXPECT_EQ(host.console.find("retry count exceeded"), std::string::npos) << host.console;
    EXPECT_EQ(host.console.find("Error sending final null pkt"), std::string::npos) << host.console;
    RecordProperty("eots_forwarded", eots_forwarded);
    RecordProperty("eots_dropped", eots_dropped);
    RecordProperty("late_answers", late_answers);
}

} // namespace
