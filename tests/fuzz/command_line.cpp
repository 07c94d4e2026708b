// Fuzzes the command-line splitter of POSIX process creation (SplitCommandLine) and its
// counterpart JoinArguments.
//
// Input: a command line up to the first zero byte; the whole input, cut at its zero bytes,
// also serves as a list of arguments for the round trips.
#include "platform/command_line.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

// The documented rules, stated as a scan over the line's parts: runs of separators between
// items, quoted groups and plain characters inside them.
bool ModelSplit(const std::string& line, std::vector<std::string>& items) {
    items.clear();
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && IsSeparator(line[i])) ++i;
        if (i == line.size()) break;
        std::string item;
        while (i < line.size() && !IsSeparator(line[i])) {
            const char c = line[i];
            if (c == '"' || c == '\'') {
                const std::size_t close = line.find(c, i + 1);
                if (close == std::string::npos) {
                    items.clear();
                    return false;
                }
                item += line.substr(i + 1, close - i - 1);
                i = close + 1;
            } else {
                item += c;
                ++i;
            }
        }
        items.push_back(item);
    }
    return !items.empty();
}

// Each character in marks of the other kind, so that any item, empty or not, survives a
// split as one item.
std::string QuoteFully(const std::string& item) {
    if (item.empty()) return "\"\"";
    std::string out;
    for (char c : item) {
        const char mark = c == '\'' ? '"' : '\'';
        out += mark;
        out += c;
        out += mark;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string line(input.substr(0, input.find('\0')));

    std::vector<std::string> items;
    const bool split = platform::SplitCommandLine(line.c_str(), items);
    std::vector<std::string> model;
    const bool modelSplit = ModelSplit(line, model);
    FUZZ_CHECK(split == modelSplit);
    FUZZ_CHECK(items == model);
    FUZZ_CHECK(split == !items.empty());

    if (split) {
        // An item holds a separator or a mark only when the line quoted it.
        for (const std::string& item : items) {
            if (item.find_first_of(" \t\"'") != std::string::npos) {
                FUZZ_CHECK(line.find_first_of("\"'") != std::string::npos);
            }
        }
        // Items quoted in full and joined by any run of separators split back to themselves.
        std::string joined = " \t";
        for (const std::string& item : items) joined += QuoteFully(item) + "\t  ";
        std::vector<std::string> again;
        FUZZ_CHECK(platform::SplitCommandLine(joined.c_str(), again) && again == items);
    }

    // JoinArguments: single blanks between items; an item with a blank or a tab and no
    // double quotation mark of its own enclosed in double quotation marks.
    {
        std::vector<std::string> raw;
        std::size_t from = 0;
        while (from <= input.size()) {
            std::size_t end = input.find('\0', from);
            if (end == std::string_view::npos) end = input.size();
            raw.emplace_back(input.substr(from, end - from));
            from = end + 1;
        }
        std::vector<const char*> argv;
        std::string want;
        for (const std::string& item : raw) {
            argv.push_back(item.c_str());
            if (argv.size() > 1) want += ' ';
            const bool enclose = item.find_first_of(" \t") != std::string::npos &&
                                 item.find('"') == std::string::npos;
            want += enclose ? "\"" + item + "\"" : item;
        }
        FUZZ_CHECK(platform::JoinArguments(static_cast<int>(argv.size()), argv.data()) == want);
    }

    // JoinArguments keeps items whole, blanks at their ends included, when they hold no
    // quotation mark and are not empty.
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\0', start);
        if (end == std::string_view::npos) end = input.size();
        std::string argument;
        for (char c : input.substr(start, end - start)) {
            if (c != '"' && c != '\'') argument += c;
        }
        if (!argument.empty()) arguments.push_back(argument);
        start = end + 1;
    }
    if (!arguments.empty()) {
        std::vector<const char*> argv;
        for (const std::string& argument : arguments) argv.push_back(argument.c_str());
        const std::string joined =
            platform::JoinArguments(static_cast<int>(argv.size()), argv.data());
        std::vector<std::string> again;
        FUZZ_CHECK(platform::SplitCommandLine(joined.c_str(), again));
        FUZZ_CHECK(again == arguments);
    }
    // No line at all is no item.
    FUZZ_CHECK(!platform::SplitCommandLine(nullptr, items) && items.empty());
    return 0;
}
