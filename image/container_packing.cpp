#include "container_packing.h"

#include "container/image_container.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace image {
namespace {

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

struct sized_input {
    const pack_input* input;
    std::uint32_t size;
};

void append_le32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// A record header: magic, type, six zero bytes, no extension, two zero bytes, data length.
std::vector<std::uint8_t> header(std::uint8_t type, std::uint32_t data_length) {
    std::vector<std::uint8_t> out(container::record_magic, container::record_magic + 3);
    out.push_back(type);
    out.insert(out.end(), 6 + 1 + 2, 0);
    append_le32(out, data_length);
    return out;
}

bool put(std::FILE* out, const std::vector<std::uint8_t>& bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string measure(const pack_input& input, std::uint32_t& size_out) {
    struct stat info {};
    if (stat(input.path.c_str(), &info) != 0) {
        return input.path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return input.path + ": not a regular file";
    }
    if (info.st_size == 0) {
        return input.path + ": the image is empty";
    }
    if (static_cast<std::uint64_t>(info.st_size) > 0xFFFFFFFFull) {
        return input.path + ": an image holds at most 0xFFFFFFFF bytes";
    }
    size_out = static_cast<std::uint32_t>(info.st_size);
    if (std::uint64_t{input.flash_offset} + size_out > 0x100000000ull) {
        return input.path + ": " + std::to_string(size_out) + " bytes at flash offset " +
               hex(input.flash_offset) + " run past the 32-bit flash address space";
    }
    return {};
}

std::string write_all(const std::vector<sized_input>& images, std::FILE* out) {
    std::vector<std::uint8_t> closing(2, 0);
    for (const sized_input& image : images) {
        std::vector<std::uint8_t> offset = header(container::record_flash_offset, 4);
        append_le32(offset, image.input->flash_offset);
        offset.insert(offset.end(), closing.begin(), closing.end());
        std::vector<std::uint8_t> start = header(container::record_image_start, 0);
        start.insert(start.end(), closing.begin(), closing.end());
        if (!put(out, start) || !put(out, offset) ||
            !put(out, header(container::record_image_data, image.size))) {
            return std::string("write error: ") + std::strerror(errno);
        }
        file_ptr in(std::fopen(image.input->path.c_str(), "rb"));
        if (!in) {
            return image.input->path + ": " + std::strerror(errno);
        }
        std::uint8_t buffer[1 << 16];
        std::uint64_t left = image.size;
        while (left > 0) {
            const std::size_t want =
                left < sizeof buffer ? static_cast<std::size_t>(left) : sizeof buffer;
            if (std::fread(buffer, 1, want, in.get()) != want) {
                return image.input->path + ": changed while it was read";
            }
            if (std::fwrite(buffer, 1, want, out) != want) {
                return std::string("write error: ") + std::strerror(errno);
            }
            left -= want;
        }
        if (!put(out, closing)) {
            return std::string("write error: ") + std::strerror(errno);
        }
    }
    return {};
}

} // namespace

std::string pack_container(const std::vector<pack_input>& inputs, const std::string& out_path) {
    if (inputs.empty()) {
        return "no image to pack";
    }
    std::vector<sized_input> images;
    for (const pack_input& input : inputs) {
        sized_input image{&input, 0};
        if (std::string error = measure(input, image.size); !error.empty()) {
            return error;
        }
        images.push_back(image);
    }
    // Overlapping images would overwrite each other in the order they are sent.
    std::vector<const sized_input*> by_offset;
    for (const sized_input& image : images) {
        by_offset.push_back(&image);
    }
    std::sort(by_offset.begin(), by_offset.end(), [](const sized_input* a, const sized_input* b) {
        return a->input->flash_offset < b->input->flash_offset;
    });
    for (std::size_t i = 1; i < by_offset.size(); ++i) {
        const sized_input& low = *by_offset[i - 1];
        const sized_input& high = *by_offset[i];
        if (std::uint64_t{low.input->flash_offset} + low.size > high.input->flash_offset) {
            return low.input->path + " (" + hex(low.input->flash_offset) + ".." +
                   hex(std::uint64_t{low.input->flash_offset} + low.size - 1) + ") and " +
                   high.input->path + " (from " + hex(high.input->flash_offset) +
                   ") overlap in flash";
        }
    }

    const std::string temporary = out_path + ".part";
    file_ptr out(std::fopen(temporary.c_str(), "wb"));
    if (!out) {
        return temporary + ": " + std::strerror(errno);
    }
    std::string error = write_all(images, out.get());
    if (std::fclose(out.release()) != 0 && error.empty()) {
        error = std::string("write error: ") + std::strerror(errno);
    }
    if (error.empty() && std::rename(temporary.c_str(), out_path.c_str()) != 0) {
        error = out_path + ": " + std::strerror(errno);
    }
    if (!error.empty()) {
        std::remove(temporary.c_str());
    }
    return error;
}

} // namespace image
