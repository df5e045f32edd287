// Child processes for the whole-run tests: the tool and the simulated board,
// each bounded in time so that a silent peer cannot hang the suite.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace test {

class child {
  public:
    // Starts program with args; stdin from /dev/null, stdout and stderr to out_file.
    child(const std::string& program, const std::vector<std::string>& args,
          const std::string& out_file) {
        std::vector<std::string> words{program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& w : words) {
            argv.push_back(w.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~child() {
        if (pid_ > 0 && !done_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    pid_t pid() const { return pid_; }

    // The exit code (128 + signal for a signal), or -1 when it did not end in time
    // (it is then killed).
    int wait(std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done_) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                done_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= until) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                done_ = true;
                code_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return code_;
    }

  private:
    pid_t pid_ = -1;
    bool done_ = false;
    int code_ = -1;
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Bytes of every value in an order fixed by seed: images and loaders for the runs.
inline std::string random_text(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string s(size, '\0');
    for (auto& c : s) {
        c = static_cast<char>(random() & 0xFF);
    }
    return s;
}

// An image of every byte value, with runs of the bytes a line discipline or
// flow control would take: NUL, ^C, LF, CR, XON, XOFF, SUB, DEL, 0xFF.
inline std::string every_byte_image(std::size_t size) {
    std::string image;
    for (int v = 0; v < 256; ++v) {
        image.push_back(static_cast<char>(v));
    }
    for (unsigned char c : {0x00, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x7F, 0xFF}) {
        image.append(300, static_cast<char>(c));
    }
    std::mt19937 random(7);
    while (image.size() < size) {
        image.push_back(static_cast<char>(random() & 0xFF));
    }
    image.resize(size);
    return image;
}

inline void write_file(const std::filesystem::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Waits until path exists (the simulator's link), at most limit.
inline bool wait_for_path(const std::filesystem::path& path, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (std::filesystem::exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace test
