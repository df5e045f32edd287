// Win32 implementation of the platform layer: the communications API for the
// serial port (CreateFileA, Get/SetCommState, Get/SetCommTimeouts, ReadFile,
// WriteFile, PurgeComm, GetLastError), Sleep-like pauses that Ctrl-C cuts
// short, the console and its key wait.
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <conio.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <windows.h>
// After windows.h, which it builds on.
#include <mmsystem.h>

namespace platform {

const long read_aborted_error = ERROR_OPERATION_ABORTED; // 995

namespace {

using clock = std::chrono::steady_clock;

// The signal number of a console event, as the exit code reports it: Ctrl-C and
// Ctrl-Break as SIGINT (130), closing the console window, logging off and
// shutting down as SIGTERM (143).
constexpr int sigint_number = 2;
constexpr int sigterm_number = 15;

volatile LONG pending_signal = 0;
HANDLE stop_event = nullptr; // set with the first console event: pauses end at once

BOOL WINAPI on_console_event(DWORD event) {
    const int number =
        event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? sigint_number : sigterm_number;
    // A second event while the run is winding down ends the process at once.
    if (InterlockedCompareExchange(&pending_signal, number, 0) != 0) {
        ExitProcess(128 + static_cast<UINT>(number));
    }
    SetEvent(stop_event);
    if (number == sigterm_number) {
        // The system ends the process when this handler returns; give the run
        // the time to send the final ESC and the closing command first (the
        // main thread's exit ends this wait).
        Sleep(4500);
    }
    return TRUE;
}

// COMn (any n) is opened as \\.\COMn, the form that also reaches ports above 9;
// other names (\\.\COM12, a device path) are used as given.
std::string device_path(const char* name) {
    if ((name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm') && name[3] >= '1' && name[3] <= '9') {
        return std::string("\\\\.\\") + name;
    }
    return name;
}

void print_reason(const char* name, DWORD error) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    // The system's text ends with CR LF; the line gets its own ending.
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    std::printf("Cannot open %s: %s (error %lu).\n", name, text, static_cast<unsigned long>(error));
    std::fflush(stdout);
}

class win32_port final : public serial_port {
  public:
    explicit win32_port(HANDLE handle) : handle_(handle) {}
    ~win32_port() override { CloseHandle(handle_); }
    win32_port(const win32_port&) = delete;
    win32_port& operator=(const win32_port&) = delete;

    bool get_state(comm_state& state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_, &dcb)) {
            return fail();
        }
        dcb_ = dcb;
        have_dcb_ = true;
        state.baud_rate = dcb.BaudRate;
        state.byte_size = dcb.ByteSize;
        state.parity = dcb.Parity;
        state.stop_bits = dcb.StopBits;
        state.discard_null = dcb.fNull != 0;
        return true;
    }

    bool set_state(const comm_state& state) override {
        if (!have_dcb_) {
            comm_state ignored;
            if (!get_state(ignored)) {
                return false;
            }
        }
        DCB dcb = dcb_;
        dcb.BaudRate = state.baud_rate;
        dcb.ByteSize = state.byte_size;
        dcb.Parity = state.parity;
        dcb.StopBits = state.stop_bits;
        dcb.fNull = state.discard_null ? TRUE : FALSE;
        // Every byte value must pass: a port left with XON/XOFF on by an earlier
        // program would swallow the 0x11 and 0x13 of the loader and the images.
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fBinary = TRUE; // the only mode Win32 supports
        if (!SetCommState(handle_, &dcb)) {
            return fail();
        }
        dcb_ = dcb;
        baud_ = state.baud_rate;
        return true;
    }

    bool get_timeouts(comm_timeouts& timeouts) override {
        COMMTIMEOUTS t{};
        if (!GetCommTimeouts(handle_, &t)) {
            return fail();
        }
        timeouts.read_interval = t.ReadIntervalTimeout;
        timeouts.read_total_multiplier = t.ReadTotalTimeoutMultiplier;
        timeouts.read_total_constant = t.ReadTotalTimeoutConstant;
        timeouts.write_total_multiplier = t.WriteTotalTimeoutMultiplier;
        timeouts.write_total_constant = t.WriteTotalTimeoutConstant;
        return true;
    }

    bool set_timeouts(const comm_timeouts& timeouts) override {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = timeouts.read_interval;
        t.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
        t.ReadTotalTimeoutConstant = timeouts.read_total_constant;
        t.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
        t.WriteTotalTimeoutConstant = timeouts.write_total_constant;
        return SetCommTimeouts(handle_, &t) ? true : fail();
    }

    bool read(std::uint8_t& byte, std::uint32_t& count) override {
        count = 0;
        if (pending_signal != 0) {
            error_ = ERROR_OPERATION_ABORTED;
            return false;
        }
        DWORD got = 0;
        if (!ReadFile(handle_, &byte, 1, &got, nullptr)) {
            return fail();
        }
        count = got;
        return true;
    }

    bool write(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written) override {
        written = 0;
        const auto start = clock::now();
        DWORD put = 0;
        if (!WriteFile(handle_, data, length, &put, nullptr)) {
            written = put;
            return fail();
        }
        written = put;
        // The bytes leave the port one after another; remember when the last one will have gone.
        sent_by_ = std::max(sent_by_, start) + wire_time(put, baud_);
        return true;
    }

    void wait_sent() override {
        // FlushFileBuffers returns when the driver's transmit queue is empty; a
        // USB adapter's driver may return early, so the time on the wire is also
        // accounted from the speed.
        FlushFileBuffers(handle_);
        const auto now = clock::now();
        if (sent_by_ > now) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(sent_by_ - now).count();
            Sleep(static_cast<DWORD>(left + 1));
        }
    }

    void purge() override {
        PurgeComm(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR);
        sent_by_ = clock::now();
    }

    long last_error() const override { return error_; }

  private:
    bool fail() {
        error_ = static_cast<long>(GetLastError());
        return false;
    }

    HANDLE handle_;
    long error_ = 0;
    DCB dcb_{};
    bool have_dcb_ = false;
    std::uint32_t baud_ = 0;
    clock::time_point sent_by_{};
};

class win32_host final : public host {
  public:
    win32_host() {
        stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(on_console_event, TRUE);
        // Pauses of a few milliseconds must not become the default 15.6 ms tick:
        // the reply windows of the protocols are counted in milliseconds.
        timeBeginPeriod(1);
    }

    std::unique_ptr<serial_port> open_port(const char* name) override {
        // No sharing: a port that another program holds cannot be opened.
        const std::string path = device_path(name);
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            print_reason(name, GetLastError());
            return nullptr;
        }
        return std::make_unique<win32_port>(handle);
    }

    void console_write(const char* text, std::size_t length) override {
        // Text mode: the C runtime writes "\n" as CR LF, as Windows consoles expect.
        std::fwrite(text, 1, length, stdout);
        std::fflush(stdout);
    }

    void pause_ms(std::uint32_t milliseconds) override {
        if (pending_signal == 0) {
            WaitForSingleObject(stop_event, milliseconds);
        }
    }

    void wait_key() override {
        if (pending_signal != 0) {
            return;
        }
        std::fflush(stdout);
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode = 0;
        if (input == nullptr || input == INVALID_HANDLE_VALUE) {
            return;
        }
        if (GetConsoleMode(input, &mode)) {
            _getch(); // one key, not echoed
            return;
        }
        // No console: one byte of the input, or its end, stands for the key.
        char key;
        DWORD got = 0;
        ReadFile(input, &key, 1, &got, nullptr);
    }

    int interrupted() const override { return static_cast<int>(pending_signal); }
};

} // namespace

host& native_host() {
    static win32_host instance;
    return instance;
}

} // namespace platform
