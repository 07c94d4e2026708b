#include "supervision/command_file.h"

#include <cstdio>

namespace {

constexpr unsigned char kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};
constexpr int kEndOfData = 0x1A;  // Ctrl-Z: a text-mode reader sees no data after it

// The first bytes of the file, held back to test for a byte order mark, then handed out
// before the rest of the file.
struct FileStart {
    unsigned char bytes[3];
    std::size_t length;
    std::size_t next;
};

int NextByte(std::FILE* file, FileStart& start) {
    if (start.next < start.length) return start.bytes[start.next++];
    return std::getc(file);
}

}  // namespace

platform::DWORD ReadServerCommandLine(const char* path, char* line, std::size_t size) {
    if (path == nullptr) return kNoCommandFile;
    if (size == 0) return kNoCommandLine;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return kNoCommandFile;

    FileStart start = {};
    start.length = std::fread(start.bytes, 1, sizeof start.bytes, file);
    if (start.length == sizeof kByteOrderMark && start.bytes[0] == kByteOrderMark[0] &&
        start.bytes[1] == kByteOrderMark[1] && start.bytes[2] == kByteOrderMark[2]) {
        start.next = start.length;
    }

    bool anyData = false;      // a character or a line feed was read
    bool zeroSeen = false;     // the command line ended at a zero byte; the rest is not kept
    std::size_t read = 0;      // characters read, the ones after a zero byte included
    std::size_t length = 0;    // characters kept
    while (read + 1 < size) {
        const int byte = NextByte(file, start);
        if (byte == EOF || byte == kEndOfData) break;
        if (byte == '\r') continue;
        anyData = true;
        if (byte == '\n') break;
        ++read;
        if (byte == '\0') zeroSeen = true;
        if (!zeroSeen) line[length++] = static_cast<char>(byte);
    }
    const bool failed = std::ferror(file) != 0;
    (void)std::fclose(file);  // read only: closing cannot lose anything
    if (!anyData || failed) return kNoCommandLine;
    line[length] = '\0';
    return 0;
}
