// The image transfer: answers the loader's offset and size requests, streams
// each image in packets with a progress line, and ends each image with the end
// marker and the whole transfer with ESC. A data file named *.bin is an image
// container with one or more images; any other file is one raw image.
#pragma once

#include <cstdint>

namespace flash {

// What reached the loader, for the exit code and the closing summary.
struct transfer_report {
    int images = 0;          // images whose requests were answered
    int images_complete = 0; // every packet and the end marker acknowledged
    std::uint64_t bytes = 0; // image bytes in acknowledged packets
    bool no_image = false;   // a container that holds no image at all
    bool unreadable = false; // a container whose records after the last image could not be read

    bool complete() const {
        return images > 0 && images_complete == images && !no_image && !unreadable;
    }
};

inline constexpr std::uint8_t end_marker[3] = {0x04, 0x01, 0xFE};

// True when the name's ending from its first '.' is ".bin", ignoring case.
bool is_container_name(const char* path);

// 1 when the data file cannot be opened (nothing is sent), 0 otherwise. The
// offset is the caller's: a container overwrites it with each image's offset.
int sp_send_file(const char* path, std::uint32_t& offset, transfer_report* report = nullptr);

// The end-marker exchange; 1 when the loader acknowledged it.
int sp_send_end();

} // namespace flash
