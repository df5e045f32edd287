#include "flash/image_transfer.h"

#include "container/image_container.h"
#include "flash/packet.h"
#include "serial/frame_number.h"
#include "serial/serial_link.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace flash {

using serial::print;

namespace {

constexpr int start_signal_waits = 101;
constexpr int end_tries = 10;
constexpr int end_polls = 10;
constexpr std::uint32_t next_image_pause_ms = 100;

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The loader asks with ENQ and confirms the four value bytes with ACK; any other
// answer makes the tool wait for the next ENQ and send the value again.
void answer_request(std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    int last = 0;
    while (last != serial::ACK && !serial::interrupted()) {
        last = serial::wait_control(serial::long_budget);
        if (last == serial::ENQ) {
            serial::write_all(bytes, sizeof bytes);
            last = serial::wait_control(serial::long_budget);
        }
    }
}

void show_progress(std::uint32_t sent, std::uint32_t size) {
    print("\r                            ");
    print("\r%04uKb of %uKb", sent / 1024 + 1, size / 1024);
}

// Streams one image from the file's current position; true when every packet
// went through and nothing was missing from the file.
bool send_image(std::FILE* file, const char* path, std::uint32_t size, int& errors,
                transfer_report& report) {
    std::uint8_t packet[packet_size];
    std::uint8_t* const data = packet + 3;
    std::uint32_t sent = 0;
    std::uint32_t last_progress = 0;
    bool all_acknowledged = true;
    errors = 0;
    for (bool more = true; more && !serial::interrupted();) {
        const std::uint32_t left = size - sent;
        const std::uint32_t chunk = left < packet_data_size ? left : packet_data_size;
        if (chunk < packet_data_size) {
            std::memset(data + chunk, 0xFF, packet_data_size - chunk);
        }
        more = chunk == packet_data_size;
        // A file shorter than the size it declares has nothing sound to send
        // for the missing bytes: that is a read error, the image stops here.
        if (chunk > 0 && std::fread(data, 1, chunk, file) != chunk) {
            print("Error reading file %s\n", path);
            all_acknowledged = false;
            more = false;
        } else {
            const std::int32_t result = sp_send_packet(packet);
            if (result < 0) {
                ++errors;
            }
            if (result != packet_acknowledged) {
                all_acknowledged = false;
                more = false;
            } else {
                report.bytes += chunk;
            }
        }
        sent += chunk;
        if (sent - last_progress >= 1024) {
            show_progress(sent, size);
            last_progress = sent;
        }
    }
    return all_acknowledged && !serial::interrupted();
}

} // namespace

bool is_container_name(const char* path) {
    const char* dot = std::strchr(path, '.');
    if (dot == nullptr) {
        return false;
    }
    static const char ending[] = ".bin";
    for (std::size_t i = 0; i < sizeof ending; ++i) {
        if (lower(dot[i]) != ending[i]) {
            return false;
        }
    }
    return true;
}

int sp_send_end() {
    return serial::send_until_acknowledged(end_marker, sizeof end_marker, end_tries, end_polls);
}

int sp_send_file(const char* path, std::uint32_t& offset, transfer_report* report_out) {
    transfer_report local;
    transfer_report& report = report_out != nullptr ? *report_out : local;
    report = transfer_report{};

    // 1. The data file, in byte mode.
    file_ptr file(path != nullptr ? std::fopen(path, "rb") : nullptr);
    if (!file) {
        print("Error opening file %s: process aborted\n", path != nullptr ? path : "(null)");
        return 1;
    }

    // 2. The first image: the whole file, or the first one of the container.
    const bool container = is_container_name(path);
    std::uint32_t size = 0;
    long position = 0;
    bool have_image = true;
    if (container) {
        if (container::next_image(file.get(), offset, size, position) != 0) {
            // Nothing to program: the loader is not asked to wait for an image
            // that never comes, it gets the final ESC at once.
            print("%s holds no flash image: nothing is programmed.\n", path);
            report.no_image = true;
            have_image = false;
        }
    } else {
        std::fseek(file.get(), 0, SEEK_END);
        size = static_cast<std::uint32_t>(std::ftell(file.get()));
        std::fseek(file.get(), 0, SEEK_SET);
    }

    // 3. Each image.
    while (have_image && !serial::interrupted()) {
        ++report.images;
        // 3.1, 3.2: the loader's requests, answered for as long as it asks.
        answer_request(offset);
        answer_request(size);
        // 3.3, 3.4: the start signal.
        serial::drain_echo(nullptr, 0);
        serial::frame_number = 0;
        for (int wait = 0; wait < start_signal_waits && !serial::interrupted(); ++wait) {
            if (serial::wait_control(serial::short_budget) == serial::ACK) {
                break;
            }
        }
        print("\n");
        // 3.5: the data phase; 3.6: the end marker unless the loader aborted.
        int errors = 0;
        const bool data_done = send_image(file.get(), path, size, errors, report);
        const bool ended = errors == 0 && sp_send_end() != 0;
        if (data_done && ended) {
            ++report.images_complete;
        }
        if (!container) {
            break;
        }
        // 3.7: the next image of the container, announced with the ENQ exchange.
        // After a data phase that stopped early the rest of the image's data is
        // stepped over, so that image bytes are never taken for records.
        if (!data_done) {
            std::fseek(file.get(), position + static_cast<long>(size), SEEK_SET);
        }
        if (container::next_image(file.get(), offset, size, position) != 0) {
            // A container ends cleanly at the end of its file; records that
            // cannot be read may hide images that are then never programmed.
            if (std::fgetc(file.get()) != EOF) {
                print("\n%s: the records after image %d cannot be read.\n", path, report.images);
                report.unreadable = true;
            }
            break;
        }
        int last = 0;
        while (last != serial::ACK && !serial::interrupted()) {
            last = serial::wait_control(serial::long_budget);
            if (last == serial::ENQ) {
                serial::pause_ms(next_image_pause_ms);
                const std::uint8_t enq = serial::ENQ;
                serial::write_all(&enq, 1);
                last = serial::wait_control(serial::long_budget);
            }
        }
        serial::drain_echo(nullptr, 0);
    }

    // 4. The end of the whole transfer.
    serial::drain_echo(nullptr, 0);
    const std::uint8_t esc = serial::ESC;
    serial::write_all(&esc, 1);
    return 0;
}

} // namespace flash
