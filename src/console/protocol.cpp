#include "console/protocol.h"

#include <cstring>

LineCheck CheckLine(const char* line, std::size_t& length) {
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length > kLongestConsoleLine) return LineCheck::kTooLong;
    if (std::memchr(line, '\0', length) != nullptr) return LineCheck::kZeroByte;
    if (std::memchr(line, '\r', length) != nullptr) return LineCheck::kBareCr;
    return LineCheck::kGood;
}

const char* LineRefusal(LineCheck check) {
    switch (check) {
        case LineCheck::kGood:
            break;
        case LineCheck::kTooLong:
            return "refused the line is longer than 4096 bytes";
        case LineCheck::kZeroByte:
            return "refused the line holds a zero byte";
        case LineCheck::kBareCr:
            return "refused the line holds a CR";
    }
    return "refused";
}

std::size_t LineIn(const char* bytes, std::size_t length, bool& complete) {
    const void* end = std::memchr(bytes, '\n', length);
    complete = end != nullptr;
    return complete ? static_cast<std::size_t>(static_cast<const char*>(end) - bytes) : length;
}
