// orlik-image: lists and packs ".bin" image containers with the tool's own container reader, so
// that an operator can check a data file before flashing it.
#include "container_listing.h"
#include "container_packing.h"
#include "flash/image_transfer.h"
#include "run/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifndef ORLIK_IMAGE_VERSION
#define ORLIK_IMAGE_VERSION "0.0.0"
#endif

namespace {

constexpr int exit_ok = 0;
constexpr int exit_rejected = 1; // list: not a container the tool flashes whole; pack: not written
constexpr int exit_usage = 2;

const char usage[] = "usage: orlik-image list FILE\n"
                     "       orlik-image pack -o OUT.bin OFFSET:FILE...\n"
                     "       orlik-image --help | --version\n"
                     "list: the records of a .bin container and the images vantrel finds in it;\n"
                     "      exit status 1 when vantrel would not program the whole file.\n"
                     "pack: a container of raw image files, each at its flash OFFSET (numbers as\n"
                     "      for vantrel -o: 0x hex, leading 0 octal, k/m/g suffixes).\n";

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

const char* type_name(std::uint8_t type) {
    switch (type) {
    case 0x01:
        return "image start";
    case 0xFE:
        return "flash offset";
    case 0xFF:
        return "image data";
    default:
        return "skipped";
    }
}

unsigned long long ull(std::uint64_t value) {
    return static_cast<unsigned long long>(value);
}

void print_images(const image::container_listing& listing) {
    std::printf("images:\n   #     data at  flash offset        size     flash end\n");
    for (std::size_t i = 0; i < listing.images.size(); ++i) {
        const image::listed_image& im = listing.images[i];
        std::printf("%4zu  %10llu    0x%08X  %10lu  0x%08llX\n", i + 1, ull(im.data_at),
                    im.flash_offset, static_cast<unsigned long>(im.size), ull(im.flash_end()));
    }
}

void print_listing(const char* path, const image::container_listing& listing) {
    std::printf("%s: %llu bytes, %zu record%s, %zu image%s\n", path, ull(listing.file_size),
                listing.records.size(), listing.records.size() == 1 ? "" : "s",
                listing.images.size(), listing.images.size() == 1 ? "" : "s");
    std::printf("records:\n          at  type  ext        data\n");
    for (const image::listed_record& r : listing.records) {
        std::printf("  %10llu  0x%02X  %3u  %10lu  %s\n", ull(r.at), r.type, r.extension_length,
                    static_cast<unsigned long>(r.data_length), type_name(r.type));
    }
    if (!listing.records_stop.empty()) {
        std::printf("  byte %llu: %s\n", ull(listing.records_stop_at),
                    listing.records_stop.c_str());
    }
    print_images(listing);
}

// Things that do not stop the tool but that an operator should know before a flash.
void print_warnings(const char* path, const image::container_listing& listing) {
    if (listing.result == image::verdict::flashable && !listing.records_stop.empty()) {
        std::fprintf(stderr,
                     "orlik-image: %s: warning: byte %llu: %s; vantrel takes this for the end of "
                     "the container and ignores what follows\n",
                     path, ull(listing.records_stop_at), listing.records_stop.c_str());
    }
    const auto& images = listing.images;
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (images[i].offset_length < 4) {
            std::fprintf(stderr,
                         "orlik-image: %s: warning: image %zu: its flash offset record holds %u "
                         "byte%s; the high bytes come from %s\n",
                         path, i + 1, images[i].offset_length,
                         images[i].offset_length == 1 ? "" : "s",
                         i == 0 ? "vantrel's -o (0 in this listing)" : "the image before it");
        }
        for (std::size_t k = 0; k < i; ++k) {
            if (images[k].flash_offset < images[i].flash_end() &&
                images[i].flash_offset < images[k].flash_end()) {
                std::fprintf(stderr,
                             "orlik-image: %s: warning: images %zu and %zu overlap in flash\n",
                             path, k + 1, i + 1);
            }
        }
    }
}

int list(const char* path) {
    const std::unique_ptr<std::FILE, file_closer> file(std::fopen(path, "rb"));
    if (!file) {
        std::fprintf(stderr, "orlik-image: %s: %s\n", path, std::strerror(errno));
        return exit_rejected;
    }
    const image::container_listing listing = image::list_container(file.get());
    print_listing(path, listing);
    print_warnings(path, listing);
    int code = exit_ok;
    if (listing.result != image::verdict::flashable) {
        if (!listing.error.empty()) {
            std::fprintf(stderr, "orlik-image: %s: byte %llu: %s\n", path, ull(listing.error_at),
                         listing.error.c_str());
        }
        code = exit_rejected;
    }
    std::fprintf(code == exit_ok ? stdout : stderr, "%s%s: %s\n",
                 code == exit_ok ? "" : "orlik-image: ", path,
                 image::verdict_text(listing).c_str());
    if (!flash::is_container_name(path)) {
        std::fprintf(stderr,
                     "orlik-image: %s: vantrel -d %s sends this file as one raw image: it takes a "
                     "data file for a container only when the name from its first '.' is "
                     "\".bin\"\n",
                     path, path);
        code = exit_rejected;
    }
    return code;
}

// OFFSET:FILE with the tool's number syntax for OFFSET; false for anything else.
bool parse_input(const char* argument, image::pack_input& out) {
    const char* colon = std::strchr(argument, ':');
    if (colon == nullptr || colon == argument || colon[1] == '\0' || argument[0] < '0' ||
        argument[0] > '9') {
        return false;
    }
    const std::string number(argument, colon);
    const char* cursor = number.c_str();
    out.flash_offset = run::parse_number(cursor);
    out.path = colon + 1;
    return *cursor == '\0';
}

int pack(int argc, char** argv) {
    const char* out_path = nullptr;
    std::vector<image::pack_input> inputs;
    for (int i = 2; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strncmp(argument, "-o", 2) == 0) {
            const char* value =
                argument[2] != '\0' ? argument + 2 : (i + 1 < argc ? argv[++i] : nullptr);
            if (value == nullptr || out_path != nullptr) {
                std::fprintf(stderr, "orlik-image: pack takes one -o OUT.bin\n%s", usage);
                return exit_usage;
            }
            out_path = value;
            continue;
        }
        image::pack_input input;
        if (!parse_input(argument, input)) {
            std::fprintf(stderr, "orlik-image: %s: not OFFSET:FILE\n%s", argument, usage);
            return exit_usage;
        }
        inputs.push_back(input);
    }
    if (out_path == nullptr || inputs.empty()) {
        std::fprintf(stderr, "orlik-image: pack needs -o OUT.bin and at least one OFFSET:FILE\n%s",
                     usage);
        return exit_usage;
    }
    if (const std::string error = image::pack_container(inputs, out_path); !error.empty()) {
        std::fprintf(stderr, "orlik-image: %s\n", error.c_str());
        return exit_rejected;
    }
    // The written file, read back as the tool reads it.
    const std::unique_ptr<std::FILE, file_closer> file(std::fopen(out_path, "rb"));
    const image::container_listing listing =
        file ? image::list_container(file.get()) : image::container_listing{};
    bool same =
        listing.result == image::verdict::flashable && listing.images.size() == inputs.size();
    for (std::size_t i = 0; same && i < inputs.size(); ++i) {
        same = listing.images[i].flash_offset == inputs[i].flash_offset;
    }
    if (!same) {
        std::fprintf(stderr, "orlik-image: %s: the written file does not read back as packed\n",
                     out_path);
        return exit_rejected;
    }
    std::printf("%s: %llu bytes, %zu image%s\n", out_path, ull(listing.file_size),
                listing.images.size(), listing.images.size() == 1 ? "" : "s");
    print_images(listing);
    if (!flash::is_container_name(out_path)) {
        std::fprintf(stderr,
                     "orlik-image: %s: warning: vantrel takes a data file for a container only "
                     "when the name from its first '.' is \".bin\"\n",
                     out_path);
    }
    return exit_ok;
}

} // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        std::fputs(usage, stdout);
        return exit_ok;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("orlik-image %s\n", ORLIK_IMAGE_VERSION);
        return exit_ok;
    }
    if (std::strcmp(command, "list") == 0 && argc == 3) {
        return list(argv[2]);
    }
    if (std::strcmp(command, "pack") == 0) {
        return pack(argc, argv);
    }
    std::fputs(usage, stderr);
    return exit_usage;
}
