#include "platform/command_line.h"

#include <cstring>

namespace platform {

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string JoinArguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        const char* item = argv[i] != nullptr ? argv[i] : "";
        if (i > 0) line += ' ';
        // Quoted only when that keeps the item whole for a reader that splits at blanks;
        // an item with a quotation mark of its own is left as it is, since no quoting
        // could show it unchanged.
        const bool hasBlank = std::strpbrk(item, " \t") != nullptr;
        const bool hasQuote = std::strchr(item, '"') != nullptr;
        if (hasBlank && !hasQuote) {
            line += '"';
            line += item;
            line += '"';
        } else {
            line += item;
        }
    }
    return line;
}

bool SplitCommandLine(const char* commandLine, std::vector<std::string>& items) {
    items.clear();
    if (commandLine == nullptr) return false;

    std::string item;
    bool inItem = false;  // an item has begun, possibly with an empty quoted part ("")
    char quote = '\0';    // the mark that opened the group we are in, or none
    for (const char* p = commandLine; *p != '\0'; ++p) {
        const char c = *p;
        if (quote != '\0') {
            if (c == quote) {
                quote = '\0';
            } else {
                item += c;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
            inItem = true;
        } else if (IsSeparator(c)) {
            if (inItem) {
                items.push_back(item);
                item.clear();
                inItem = false;
            }
        } else {
            item += c;
            inItem = true;
        }
    }
    if (quote != '\0') {
        items.clear();
        return false;
    }
    if (inItem) items.push_back(item);
    return !items.empty();
}

}  // namespace platform
