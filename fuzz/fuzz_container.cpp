// Feeds arbitrary bytes to the image lookup as a container file and walks every image found,
// reading each image's bytes as the transfer does. Any crash, sanitizer report, out-of-range
// result or broken promise about the file position is a finding.
#include "container/image_container.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Each image takes at least three 17-byte headers, so no input holds more; the bound only keeps
// a faulty lookup that stops advancing from looping for ever.
constexpr int max_images = 1 << 16;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct file_closer {
    std::FILE* file;
    ~file_closer() { std::fclose(file); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0; // an empty memory stream does not report its end (glibc): nothing to learn
    }
    std::vector<std::uint8_t> content(data, data + size);
    std::FILE* file = fmemopen(content.data(), content.size(), "rb");
    if (file == nullptr) {
        return 0;
    }
    const file_closer closer{file};

    std::uint32_t offset = 0;
    std::uint32_t image_size = 0;
    long position = 0;
    long previous = 0;
    for (int image = 0; image < max_images; ++image) {
        const int result = container::next_image(file, offset, image_size, position);
        check(result >= 0 && result <= 2);
        if (result != container::image_found) {
            break;
        }
        check(position > previous && position == std::ftell(file));
        check(static_cast<std::size_t>(position) <= size);
        previous = position;

        // The transfer reads the image in 127-byte packets until its size or the end of the file.
        std::uint8_t packet[127];
        std::uint32_t sent = 0;
        while (sent < image_size) {
            const std::uint32_t left = image_size - sent;
            const std::size_t chunk = left < sizeof packet ? left : sizeof packet;
            const std::size_t got = std::fread(packet, 1, chunk, file);
            sent += static_cast<std::uint32_t>(got);
            if (got < chunk) {
                break;
            }
        }
    }

    // A single record lookup with a type and mode taken from the input, from the start.
    std::rewind(file);
    std::uint32_t length = 1;
    const int code = container::find_record(file, data[0], &length, (data[size - 1] & 1) != 0);
    check(code >= 0 && code <= 3);
    check(code == container::record_found || length == 0);
    return 0;
}
