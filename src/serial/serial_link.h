// The serial link: the one port of the process, its configuration, and the
// receive primitives that poll the line byte by byte and echo it on the console.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace serial {

// The open port of the process and the host services (console, pauses, key
// wait). Set once by the main sequence; the tests put a scripted link here.
extern platform::serial_port* port_handle;
extern platform::host* host_handle;

// Control bytes of the YMODEM sender and of the packet protocol.
inline constexpr std::uint8_t SOH = 0x01;
inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t ENQ = 0x05;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t BEL = 0x07;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t SUB = 0x1A;
inline constexpr std::uint8_t ESC = 0x1B;

// Budgets of empty polls used with the primitives.
inline constexpr int short_budget = 100;
inline constexpr int prompt_budget = 1500;
inline constexpr int long_budget = 3000;

// setup_comms results.
inline constexpr int comms_ok = 0;
inline constexpr int comms_get_state_failed = 2;
inline constexpr int comms_set_state_failed = 3;
inline constexpr int comms_get_timeouts_failed = 4;
inline constexpr int comms_set_timeouts_failed = 5;

// Configures the port for 8N1 at the given speed with ~10 ms one-byte polls.
int setup_comms(std::uint32_t baud);

// Reads until the line is quiet, echoing in display form; keeps the first max
// bytes in capture when it is given, and stops reading once max are kept.
std::int32_t drain_echo(std::uint8_t* capture, int max);
// 1 when ':' arrived; 0 when the budget of empty polls ran out before any byte.
int wait_prompt(int budget);
// ENQ, ACK, NAK or ESC as received, or 0 when the budget ran out.
int wait_control(int budget);

// printf-style console output, on the console when the call returns.
void print(const char* format, ...) __attribute__((format(VANTREL_PRINTF_FORMAT, 1, 2)));
void pause_ms(std::uint32_t milliseconds);
void wait_key();
// Non-zero once a signal has asked the run to stop.
int interrupted();

// Writes a whole buffer to the port; true when every byte went.
bool write_all(const void* data, std::uint32_t length);
// Writes a monitor command (text without its terminator).
void write_text(const char* text);

// The end exchange of both protocols (YMODEM's EOT, the packet protocol's end
// marker): up to tries writes of the bytes, each followed by at most polls
// one-byte reads without pause; an ACK shows "E" and ends it, any other byte
// shows "F". 1 when an ACK came.
int send_until_acknowledged(const void* data, std::uint32_t length, int tries, int polls);

} // namespace serial
