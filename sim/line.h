// The simulated board's end of the serial line: a pseudo-terminal whose slave
// the tool opens. It models what a UART and a cable do to the bytes: the time
// each byte takes at the line's speed (with --wire), garbling when the tool's
// port and the board run at different speeds, and injected byte faults.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <stdexcept>
#include <string>

namespace sim {

using clock = std::chrono::steady_clock;

// Thrown by the line when a session or the whole run has to end.
struct line_idle : std::runtime_error {
    line_idle() : std::runtime_error("idle") {}
};
struct run_over : std::runtime_error {
    explicit run_over(const char* why) : std::runtime_error(why) {}
};

struct byte_faults {
    double corrupt_in = 0, drop_in = 0;   // bytes from the tool
    double corrupt_out = 0, drop_out = 0; // bytes to the tool
};

struct line_counters {
    std::uint64_t garbled = 0;
    std::uint64_t faults = 0;
    std::uint64_t bytes_in = 0;
    std::uint64_t bytes_out = 0;
};

class line {
  public:
    line(bool wire, std::uint64_t seed) : wire_(wire), random_(seed) {}
    ~line();
    line(const line&) = delete;
    line& operator=(const line&) = delete;

    // Opens the pseudo-terminal (raw, 9600 8N1) and links PATH to its slave.
    void open(const std::string& link_path);
    const std::string& slave_path() const { return slave_path_; }

    void set_board_baud(std::uint32_t baud) { board_baud_ = baud; }
    std::uint32_t board_baud() const { return board_baud_; }
    // The speed the tool set on its port, as the slave's settings show it.
    std::uint32_t tool_baud() const;

    // Faults apply only while armed (the binary phases, not the monitor's text).
    void set_faults(const byte_faults& faults) { faults_ = faults; }
    void arm_faults(bool on) { armed_ = on; }

    // The next byte from the tool, or -1 after timeout_ms without one. Throws
    // line_idle after the idle time of silence, run_over at the run's end.
    int get(int timeout_ms);
    // Everything that has arrived so far is discarded.
    void flush_input();
    // Sends bytes to the tool (at the line's pace with --wire).
    void put(const void* data, std::size_t length);
    void put(const std::string& text) { put(text.data(), text.size()); }
    void pause(int milliseconds);
    // Waits (answering nothing) until the tool has closed its port, at most
    // the given time, so that the tool's last steps still find the line.
    void wait_released(int milliseconds);

    void set_idle(double seconds) { idle_ = std::chrono::duration<double>(seconds); }
    void set_deadline(clock::time_point deadline) { deadline_ = deadline; }
    void reset_activity() { last_activity_ = clock::now(); }

    line_counters counters;
    bool chance(double fraction);

  private:
    struct incoming {
        std::uint8_t value;
        std::uint32_t sent_at_baud; // the tool's speed when it sent the byte
        clock::time_point arrival;
    };
    void read_available(int wait_ms);
    clock::duration byte_time(std::uint32_t baud) const;
    void check_end();

    bool wire_;
    std::mt19937_64 random_;
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    std::string link_path_;
    std::uint32_t board_baud_ = 9600;
    byte_faults faults_;
    bool armed_ = false;
    std::deque<incoming> queue_;
    std::deque<std::uint8_t> garbage_;
    unsigned fast_sender_count_ = 0;
    clock::time_point last_arrival_{};
    clock::time_point tx_free_{};
    clock::time_point last_activity_ = clock::now();
    clock::time_point deadline_ = clock::time_point::max();
    std::chrono::duration<double> idle_{30.0};
};

// Set by the signal handler: the run ends at the next line operation.
extern volatile int stop_signal;

} // namespace sim
