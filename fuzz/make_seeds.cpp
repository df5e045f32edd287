// Writes the container test cases, one file each, as the seed corpus of fuzz_container.
#include "container/container_cases.h"

#include <cstdio>
#include <string>

namespace {

bool write_seed(const std::string& folder, const char* name, const container_test::bytes& b) {
    const std::string path = folder + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool written = std::fwrite(b.data(), 1, b.size(), file) == b.size();
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    int written = 0;
    bool ok = true;
    for (const auto& c : container_test::lookup_cases()) {
        ok = write_seed(argv[1], (std::string("lookup_") + c.name).c_str(), c.file) && ok;
        ++written;
    }
    for (const auto& c : container_test::record_cases()) {
        ok = write_seed(argv[1], (std::string("record_") + c.name).c_str(), c.file) && ok;
        ++written;
    }
    std::printf("%d seeds written to %s\n", written, argv[1]);
    return ok ? 0 : 1;
}
