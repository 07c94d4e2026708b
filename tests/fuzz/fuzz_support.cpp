#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fuzz {

namespace {

std::string gFolder;

void RemoveFolder() {
    std::error_code ignored;
    if (!gFolder.empty()) std::filesystem::remove_all(gFolder, ignored);
}

}  // namespace

const std::string& PrivateFolder() {
    if (gFolder.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tm-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        gFolder = pattern;
        std::atexit(RemoveFolder);
    }
    return gFolder;
}

bool WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

std::string ReadWholeFile(const std::string& path, bool* exists) {
    std::ifstream in(path, std::ios::binary);
    if (exists != nullptr) *exists = in.is_open();
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace fuzz
