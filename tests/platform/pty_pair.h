// Pseudo-terminals and bounded child processes for the tests that drive the
// real platform layer: the tool's port is the slave end of a pseudo-terminal and
// the test plays the board on its master end.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// An owned descriptor.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A new pseudo-terminal in the kernel's default mode (canonical input, echo,
// CR-to-LF on input, output processing): nothing about it is raw yet.
class pty_pair {
  public:
    pty_pair() {
        master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        char name[128];
        if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0 ||
            ptsname_r(master_.get(), name, sizeof name) != 0) {
            throw std::runtime_error("no pseudo-terminal available");
        }
        slave_path_ = name;
    }

    int master() const { return master_.get(); }
    const std::string& slave_path() const { return slave_path_; }
    // A descriptor of the slave end of the test's own: it shows the line
    // settings and keeps the line up while the tool's port comes and goes.
    unique_fd open_slave() const {
        return unique_fd(open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    }

  private:
    unique_fd master_;
    std::string slave_path_;
};

inline std::chrono::milliseconds left_until(steady::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    return left.count() > 0 ? left : 0ms;
}

// Reads until want bytes came, the peer closed, or the time ran out.
inline std::string read_bytes(int fd, std::size_t want, std::chrono::milliseconds limit) {
    const auto deadline = steady::now() + limit;
    std::string got;
    while (got.size() < want) {
        struct pollfd pfd {
            fd, POLLIN, 0
        };
        const int ready = poll(&pfd, 1, static_cast<int>(left_until(deadline).count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        char buffer[512];
        const std::size_t room =
            want - got.size() < sizeof buffer ? want - got.size() : sizeof buffer;
        const ssize_t n = read(fd, buffer, room);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// Reads to the end of a pipe, or until the time ran out.
inline std::string read_to_end(int fd, std::chrono::milliseconds limit) {
    return read_bytes(fd, static_cast<std::size_t>(-1), limit);
}

// Starts a program; each of in, out and err replaces the standard descriptor
// unless it is -1. cwd, when given, is the child's working directory.
inline pid_t spawn(const std::vector<std::string>& args, int in, int out, int err,
                   const char* cwd = nullptr) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if ((in >= 0 && dup2(in, STDIN_FILENO) < 0) || (out >= 0 && dup2(out, STDOUT_FILENO) < 0) ||
            (err >= 0 && dup2(err, STDERR_FILENO) < 0) || (cwd != nullptr && chdir(cwd) != 0)) {
            _exit(126);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

struct exit_status {
    bool exited = false; // ended through exit (not killed by a signal)
    int code = -1;       // its exit code, or the signal that killed it
    bool timed_out = false;
};

// Waits for a child; one that is still running when the time is up is killed.
inline exit_status reap(pid_t pid, std::chrono::milliseconds limit) {
    exit_status result;
    const auto deadline = steady::now() + limit;
    int status = 0;
    while (true) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            return result;
        }
        if (steady::now() >= deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    result.exited = WIFEXITED(status);
    result.code = WIFEXITED(status)     ? WEXITSTATUS(status)
                  : WIFSIGNALED(status) ? WTERMSIG(status)
                                        : -1;
    return result;
}

} // namespace test
