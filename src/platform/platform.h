// The thin layer between the tool's logic and the operating system: the serial
// port, the console, pauses and the key wait. The logic under src/serial,
// src/ymodem, src/flash, src/container and src/run sees only these interfaces;
// the POSIX implementation (posix_platform.cpp) or the Win32 one sits behind them,
// chosen in one place by the build, and the tests put a scripted link here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

// The format checking of printf-style functions. MinGW's C++ runtime formats as C99 does (%zu
// included), so the format is checked as GNU printf there, not as the older Microsoft one.
#ifdef __MINGW32__
#define VANTREL_PRINTF_FORMAT gnu_printf
#else
#define VANTREL_PRINTF_FORMAT printf
#endif

namespace platform {

// The time that bytes take on the line at 8N1: 10 bit times each. Ports whose write and
// drain calls return before the bytes have left (pseudo-terminals, USB adapters) account
// the time on the wire with it.
inline std::chrono::microseconds wire_time(std::uint64_t bytes, std::uint32_t baud) {
    return std::chrono::microseconds(baud != 0 ? bytes * 10'000'000u / baud : 0);
}

// The line settings the tool changes. Everything the port has besides these
// (flow control, handshake lines, special characters) is kept by the
// implementation from the last get_state() call.
struct comm_state {
    std::uint32_t baud_rate = 0;
    std::uint8_t byte_size = 8;
    std::uint8_t parity = 0;    // 0: none
    std::uint8_t stop_bits = 0; // 0: one stop bit
    bool discard_null = false;  // drop received 0x00 bytes
};

inline constexpr std::uint8_t no_parity = 0;
inline constexpr std::uint8_t one_stop_bit = 0;

// Read and write time-outs in milliseconds, with the meaning of the Win32 fields:
// a one-byte read returns empty after read_total_multiplier + read_total_constant
// ms of silence.
struct comm_timeouts {
    std::uint32_t read_interval = 0;
    std::uint32_t read_total_multiplier = 0;
    std::uint32_t read_total_constant = 0;
    std::uint32_t write_total_multiplier = 0;
    std::uint32_t write_total_constant = 0;
};

class serial_port {
  public:
    virtual ~serial_port() = default;

    virtual bool get_state(comm_state& state) = 0;
    virtual bool set_state(const comm_state& state) = 0;
    virtual bool get_timeouts(comm_timeouts& timeouts) = 0;
    virtual bool set_timeouts(const comm_timeouts& timeouts) = 0;

    // Polls one byte: false when the call failed; otherwise count is 1 with the
    // byte, or 0 when the read time-out passed with nothing received.
    virtual bool read(std::uint8_t& byte, std::uint32_t& count) = 0;
    // Sends the whole buffer; false when the call failed, written tells how many went.
    virtual bool write(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written) = 0;
    // Returns when everything written so far has left the port (at the line's
    // speed), so that a reply window can be counted from the last byte sent.
    virtual void wait_sent() = 0;
    // Discards both the transmit and the receive buffers.
    virtual void purge() = 0;
    // The system error number of the last failed call.
    virtual long last_error() const = 0;
};

// The system error number that marks an aborted read (the call was interrupted
// before any byte came); the packet exchange treats it apart from other failures.
extern const long read_aborted_error;

class host {
  public:
    virtual ~host() = default;

    // Opens the port exclusively; nullptr when it is missing, in use or not a
    // serial port, after one line on the console that gives the system's reason.
    virtual std::unique_ptr<serial_port> open_port(const char* name) = 0;
    // Console output: each call's bytes are on the console when it returns.
    virtual void console_write(const char* text, std::size_t length) = 0;
    virtual void pause_ms(std::uint32_t milliseconds) = 0;
    // Waits for one key press without echo; returns at once without a console.
    virtual void wait_key() = 0;
    // The number of the signal (Ctrl-C, termination) that asked the run to stop, or 0.
    // Once it is set, reads fail as aborted and pauses return early, so every loop
    // of the protocol comes back to its caller promptly.
    virtual int interrupted() const = 0;
};

// The implementation for the platform the tool was built for.
host& native_host();

} // namespace platform
