#include "run/command_line.h"

#include "serial/serial_link.h"

#include <cstring>

namespace run {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

// The unsigned text-to-number conversion in a fixed base, 32 bits wide: leading
// white space and one sign, base 16's own "0x" prefix, saturation at 0xFFFFFFFF
// before a '-' negates. The cursor stays where it was when no digit follows.
std::uint32_t convert_unsigned(const char*& cursor, int base) {
    const char* p = cursor;
    while (is_space(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) {
        p += 2;
    }
    if (digit_value(*p) >= base) {
        return 0;
    }
    std::uint64_t value = 0;
    bool saturated = false;
    for (; digit_value(*p) < base; ++p) {
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit_value(*p));
        if (value > 0xFFFFFFFFu) {
            saturated = true;
            value = 0xFFFFFFFFu;
        }
    }
    cursor = p;
    auto result = saturated ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
    return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

void print_help() {
    serial::print("\nTerminal for programming flash of Orlik.\n\n");
    serial::print("\t-c\tSerial port number\n");
    serial::print("\t-p\tName of loader\n");
    serial::print("\t-o\tOffset in flash (default 0x0)\n");
    serial::print("\t-d\tFile name of data\n");
    serial::print("\t-b\tBaud rate 96/19/38/56/115 (default 115)\n");
    serial::print("\t-h\tHelp\n\n");
    serial::print("Example: vantrel -c4 -p loadbios.com -d bios.bin -o 0x1C0000\n");
}

// A -c value that names a port itself rather than giving its number: a device path ("/dev/..."),
// a port name "COMn" with any number (COM12 is beyond what a single digit can select), or the
// Windows device form "\\.\COMn". The platform layer turns the name into its own device.
bool names_port(const char* value) {
    if (value[0] == '/' || std::strncmp(value, "\\\\.\\", 4) == 0) {
        return true;
    }
    if ((value[0] != 'C' && value[0] != 'c') || (value[1] != 'O' && value[1] != 'o') ||
        (value[2] != 'M' && value[2] != 'm') || value[3] < '1' || value[3] > '9') {
        return false;
    }
    for (const char* digit = value + 4; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

std::uint32_t parse_number(const char*& cursor) {
    if (*cursor == ' ') {
        ++cursor;
    }
    if (*cursor == '\0') {
        return 0;
    }
    int base = 10;
    if (*cursor == '0') {
        ++cursor;
        base = 8;
        if (*cursor == 'x' || *cursor == 'X') {
            ++cursor;
            base = 16;
        }
    }
    std::uint32_t value = convert_unsigned(cursor, base);
    switch (*cursor) {
    case 'b':
    case 'B':
        ++cursor;
        break;
    case 'k':
    case 'K':
        ++cursor;
        value <<= 10;
        break;
    case 'm':
    case 'M':
        ++cursor;
        value <<= 20;
        break;
    case 'g':
    case 'G':
        ++cursor;
        value <<= 30;
        break;
    default:
        break;
    }
    if (*cursor == ',') {
        ++cursor;
    }
    return value;
}

parse_result parse_command_line(int argc, char** argv, run_settings& settings) {
    if (argc < 1) {
        serial::print("\nprogram required parameters(1)\n\n");
        return parse_result::stop_error;
    }
    settings = run_settings{};
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            continue;
        }
        const char letter = argument[1];
        if (letter == 'h') {
            print_help();
            return parse_result::stop_success;
        }
        if (letter != 'c' && letter != 'p' && letter != 'd' && letter != 'o' && letter != 'b') {
            continue;
        }
        // The value is the rest of this argument, or else the next argument.
        const char* value = argument + 2;
        if (*value == '\0') {
            value = i + 1 < argc ? argv[++i] : nullptr;
        }
        if (letter == 'p' || letter == 'd') {
            (letter == 'p' ? settings.loader_file : settings.data_file) = value;
            continue;
        }
        if (value == nullptr) {
            serial::print("\noption -%c needs a value.\n\n", letter);
            return parse_result::stop_error;
        }
        if (letter == 'c') {
            if (names_port(value)) {
                settings.device = value;
                continue;
            }
            const std::uint32_t number = parse_number(value);
            if (number >= 1 && number <= 9) {
                settings.com_name[3] = static_cast<char>('0' + number);
                settings.device = nullptr;
            }
        } else if (letter == 'o') {
            settings.flash_offset = parse_number(value);
        } else {
            const std::uint32_t code = parse_number(value);
            int index = -1;
            for (int k = 0; k < 5; ++k) {
                if (static_cast<std::uint32_t>(speed_table[k].code) == code) {
                    index = k;
                    break;
                }
            }
            if (index < 0) {
                serial::print("\nerror baud rate.\n\n");
                return parse_result::stop_error;
            }
            settings.speed_index = index;
        }
    }
    return parse_result::go_on;
}

} // namespace run
