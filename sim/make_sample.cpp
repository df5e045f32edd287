// Writes the demo's sample files into a folder: a loader program, a ".bin"
// image container with three images (after a record of another type), and
// the flash contents the simulated board must hold after flashing them.
//   make-sample DIR
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

bytes pattern(std::size_t size, std::uint32_t seed) {
    bytes out(size);
    std::uint32_t x = seed;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

void le32(bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

// One record: magic, type, six unused bytes, extension length 0, two unused
// bytes, data length, data, two closing bytes.
void record(bytes& out, std::uint8_t type, const bytes& data) {
    const std::uint8_t head[] = {0x7F, 0xF0, 0x55, type, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    out.insert(out.end(), head, head + sizeof head);
    le32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(0);
    out.push_back(0);
}

bool save(const std::string& path, const bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-sample DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    struct image {
        std::uint32_t offset;
        bytes data;
    };
    const image images[] = {{0x1C0000, pattern(64 * 1024, 1)},
                            {0x1E0000, pattern(8 * 1024, 2)},
                            {0x000100, pattern(300, 3)}};
    bytes container;
    record(container, 0x10, bytes(16, 0x20)); // a description record the tool skips
    bytes flash(2u << 20, 0xFF);
    for (const auto& im : images) {
        record(container, 0x01, bytes{0, 0, 0});
        bytes offset;
        le32(offset, im.offset);
        record(container, 0xFE, offset);
        record(container, 0xFF, im.data);
        std::copy(im.data.begin(), im.data.end(), flash.begin() + im.offset);
    }
    const bool ok = save(dir + "/loadbios.com", pattern(4096, 42)) &&
                    save(dir + "/bios.bin", container) && save(dir + "/expected-flash.bin", flash);
    return ok ? 0 : 1;
}
