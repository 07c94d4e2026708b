// Fuzzes ReadServerCommandLine on the real file system: the first line of a command file.
//
// Input: SIZE-BYTE FILE-BYTES. The first byte picks the size of the line buffer (tiny ones
// included); the file holds the rest. The answer is compared with a model of the rules in
// supervision/command_file.h.
#include "supervision/command_file.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

namespace {

struct Answer {
    platform::DWORD result;
    std::string line;
};

// The documented rules, one at a time over the whole file.
Answer Model(std::string_view file, std::size_t size) {
    if (size == 0) return {kNoCommandLine, ""};
    if (file.substr(0, 3) == "\xEF\xBB\xBF") file.remove_prefix(3);
    // 0x1A ends the data.
    const std::size_t endOfData = file.find('\x1A');
    if (endOfData != std::string_view::npos) file = file.substr(0, endOfData);
    // Every carriage return is dropped.
    std::string text;
    for (char c : file) {
        if (c != '\r') text += c;
    }
    if (text.empty()) return {kNoCommandLine, ""};
    // The first line, without its line feed, cut after size - 1 characters; a zero byte
    // ends the command line.
    std::string line = text.substr(0, text.find('\n'));
    if (line.size() > size - 1) line.resize(size - 1);
    line = line.c_str();
    return {0, line};
}

const std::size_t kSizes[] = {0, 1, 2, 3, 4, 5, 8, 16, 100, kCommandLineSize};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::string path = fuzz::PrivateFolder() + "/command.txt";
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!fuzz::WriteWholeFile(path, file.data(), file.size())) std::abort();

    const std::size_t sizes[] = {kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])], data[0] + 0u,
                                 2, kCommandLineSize};
    for (const std::size_t lineSize : sizes) {
        // Exactly lineSize bytes on the heap (one to look at for size 0).
        std::vector<char> line(lineSize == 0 ? 1 : lineSize, 'X');
        const platform::DWORD result = ReadServerCommandLine(path.c_str(), line.data(), lineSize);
        const Answer want = Model(file, lineSize);
        if (lineSize == 1) {
            // Room for the terminator only: either no line, or the empty line; never
            // anything written beyond the one byte.
            FUZZ_CHECK(result == kNoCommandLine || (result == 0 && line[0] == '\0'));
            continue;
        }
        FUZZ_CHECK(result == want.result);
        if (result != 0) continue;
        FUZZ_CHECK(std::memchr(line.data(), '\0', lineSize) != nullptr);
        FUZZ_CHECK(std::string(line.data()) == want.line);
    }
    // A file that is not there, and no path at all.
    char line[8];
    FUZZ_CHECK(ReadServerCommandLine((path + ".missing").c_str(), line, sizeof line) == kNoCommandFile);
    FUZZ_CHECK(ReadServerCommandLine(nullptr, line, sizeof line) == kNoCommandFile);
    return 0;
}
