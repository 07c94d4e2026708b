// Fuzzes FindSettingsPath: the settings-file path that a command line names.
//
// Input: SIZE-BYTE COMMAND-LINE "\0" CURRENT-FOLDER. The first byte picks the size of the
// path buffer (tiny ones included); the result is compared with a model of the rules in
// config/settings.h and must stay inside the buffer, terminated.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "fuzz_support.h"
#include "platform/platform.h"

namespace {

// The program's own path ends at the closing mark of a quoted path, else at a blank or tab.
std::size_t ArgumentsStart(const std::string& line) {
    if (!line.empty() && line[0] == '"') {
        const std::size_t close = line.find('"', 1);
        return close == std::string::npos ? line.size() : close + 1;
    }
    const std::size_t blank = line.find_first_of(" \t");
    return blank == std::string::npos ? line.size() : blank;
}

// The whole path the rules name, before any cut to the buffer.
std::string ModelPath(const std::string& line, const std::string& folder) {
    const std::size_t start = ArgumentsStart(line);
    const std::size_t dash = line.find('-', start);
    if (dash != std::string::npos) {
        std::string rest = line.substr(dash + 1);
        // One pair of marks: one just after the "-" or just before it (inside the
        // arguments), and the next one after the "-".
        const bool markAfter = !rest.empty() && rest[0] == '"';
        const bool markBefore = dash > start && line[dash - 1] == '"';
        if (markAfter) rest.erase(0, 1);
        if (markAfter || markBefore) {
            const std::size_t closing = rest.find('"');
            if (closing != std::string::npos) rest.erase(closing, 1);
        }
        if (!rest.empty()) return rest;
    }
    return (folder.empty() ? std::string(".") : folder) + platform::kPathSeparator +
           "Tallowmere.ini";
}

const std::size_t kSizes[] = {0, 1, 2, 3, 4, 5, 8, 15, 16, 17, 64, 260, 520};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t zero = input.find('\0');
    const std::string line(input.substr(0, zero));
    const std::string folder(zero == std::string_view::npos ? std::string_view()
                                                            : input.substr(zero + 1));
    const std::string folderText(folder.c_str());  // as a C text, up to any zero byte

    const std::string whole = ModelPath(line, folderText);
    // The size the first byte picks, then every tiny size and one just around the result.
    std::vector<std::size_t> sizes = {kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])],
                                      data[0] + 0u, whole.size(), whole.size() + 1,
                                      whole.size() + 2};
    for (std::size_t tiny = 0; tiny < 4; ++tiny) sizes.push_back(tiny);

    for (const std::size_t pathSize : sizes) {
        // Exactly pathSize bytes on the heap (at least one to look at): any write past
        // them is caught.
        std::vector<char> path(pathSize == 0 ? 1 : pathSize, 'X');
        FindSettingsPath(line.c_str(), folder.empty() ? nullptr : folder.c_str(), path.data(),
                         pathSize);
        if (pathSize == 0) {
            FUZZ_CHECK(path[0] == 'X');
            continue;
        }
        const void* end = std::memchr(path.data(), '\0', pathSize);
        FUZZ_CHECK(end != nullptr);
        const std::string got(path.data());
        FUZZ_CHECK(got == whole.substr(0, pathSize - 1));
    }
    // A null command line is an empty one.
    char path[64];
    FindSettingsPath(nullptr, folderText.c_str(), path, sizeof path);
    FUZZ_CHECK(std::string(path) == ModelPath("", folderText).substr(0, sizeof path - 1));
    return 0;
}
