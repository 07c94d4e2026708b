// Fuzzes LogFormatted with hostile format texts and arguments, logging to a real file.
//
// Input: MODE NUMBER(4 bytes, little-endian) FORMAT "\0" TEXT.
//   MODE bit 0: the argument is the text (else the number); bit 1: the text is null;
//   bits 2-3: 0 or 1 the format as given, 2 one of the program's own formats (picked by
//   the number), 3 the format repeated to just under or over the 1000-character limit;
//   bit 4: the text repeated to some thousands of characters.
// Where the format is one printf itself can take with this argument (every conversion
// of the argument's type), the log file must hold snprintf's result cut at 1023
// characters, each line feed stored as CR LF; for any other format, the promises that
// hold whatever it says.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "config/log.h"
#include "config/settings.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kFormatLimit = 1000;
constexpr std::size_t kMessageSize = 1024;

// Every format text the program hands to LogFormatted, with the kind of its argument.
struct ProgramFormat {
    const char* format;
    bool text;
};
const ProgramFormat kProgramFormats[] = {
    {"Using INI file: %s\n", true},
    {"Writing to log file %s\n", true},
    {"Launching file %s\n", true},
    {"Home folder %s\n", true},
    {"Command line %s\n", true},
    {"RegisterServiceCtrlHandler failed %d\n", false},
    {"\nReturning the Main Thread \n", false},
    {"SetServiceStatus error %ld\n", false},
    {"stopped.\n", false},
    {"Error writing stop command %ld.\n", false},
    {"Unrecognized opcode %ld\n", false},
    {"Server ended with exit code %ld\n", false},
};

struct Argument {
    bool isText;
    std::int32_t number;
    const char* text;  // may be null
};

enum class Length { kNone, kLong, kLongLong, kUnset };

// True when every "%" of the format starts "%%" or a conversion that printf reads with
// this argument's own type, all of one length and one signedness, so that snprintf can
// format it with the argument repeated (16 conversions at most). The number is one
// 32-bit value: u x X o read its 32 bits as unsigned, whatever the length (as on
// Windows, where long has 32 bits).
bool PrintfCanTake(const std::string& format, const Argument& argument, Length& length,
                   bool& isUnsigned) {
    length = Length::kUnset;
    isUnsigned = false;
    bool signedSeen = false;
    int count = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (i + 1 < format.size() && format[i + 1] == '%') {
            ++i;
            continue;
        }
        const std::size_t start = i++;
        std::string flags;
        while (i < format.size() && format[i] != '\0' &&
               std::strchr("-+ #0", format[i]) != nullptr) {
            flags += format[i++];
        }
        std::size_t digits = 0;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') ++i, ++digits;
        if (digits > 4) return false;
        bool precision = false;
        if (i < format.size() && format[i] == '.') {
            precision = true;
            ++i;
            digits = 0;
            while (i < format.size() && format[i] >= '0' && format[i] <= '9') ++i, ++digits;
            if (digits > 4) return false;
        }
        if (i - start > 16) return false;  // no format of the program needs such a run
        Length here = Length::kNone;
        if (format.compare(i, 2, "ll") == 0) {
            here = Length::kLongLong;
            i += 2;
        } else if (i < format.size() && format[i] == 'l') {
            here = Length::kLong;
            ++i;
        }
        if (i >= format.size()) return false;
        const char letter = format[i];
        if (argument.isText) {
            if (letter != 's' || here != Length::kNone) return false;
            if (flags.find_first_not_of('-') != std::string::npos) return false;
        } else if (letter == 'c') {
            // A zero character would end the message inside snprintf's result.
            if (here != Length::kNone || precision || (argument.number & 0xFF) == 0) return false;
            if (flags.find_first_not_of('-') != std::string::npos) return false;
        } else if (std::strchr("diuxXo", letter) == nullptr || letter == '\0') {
            return false;
        }
        if (!argument.isText) {
            const bool unsignedHere = std::strchr("uxXo", letter) != nullptr;
            if (unsignedHere ? signedSeen : isUnsigned) return false;
            (unsignedHere ? isUnsigned : signedSeen) = true;
        }
        if (length != Length::kUnset && length != here) return false;
        length = here;
        if (++count > 16) return false;
    }
    return true;
}

std::string WithCarriageReturns(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif
// printf's own result, the argument handed once for each conversion.
std::string Snprintf(const std::string& format, const Argument& argument, Length length,
                     bool isUnsigned) {
    char out[kMessageSize];
    const char* f = format.c_str();
    if (argument.isText) {
        const char* t = argument.text != nullptr ? argument.text : "(null)";
        std::snprintf(out, sizeof out, f, t, t, t, t, t, t, t, t, t, t, t, t, t, t, t, t);
    } else if (isUnsigned) {
        const std::uint32_t bits = static_cast<std::uint32_t>(argument.number);
        if (length == Length::kLongLong) {
            const unsigned long long n = bits;
            std::snprintf(out, sizeof out, f, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n);
        } else if (length == Length::kLong) {
            const unsigned long n = bits;
            std::snprintf(out, sizeof out, f, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n);
        } else {
            const unsigned n = bits;
            std::snprintf(out, sizeof out, f, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n);
        }
    } else if (length == Length::kLongLong) {
        const long long n = argument.number;
        std::snprintf(out, sizeof out, f, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n);
    } else if (length == Length::kLong) {
        const long n = argument.number;
        std::snprintf(out, sizeof out, f, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n);
    } else {
        const int n = argument.number;
        std::snprintf(out, sizeof out, f, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n);
    }
    return out;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

const std::string& LogPath() {
    static const std::string path = fuzz::PrivateFolder() + "/service.log";
    return path;
}

// Logs one message into a file that does not exist yet; returns the file's bytes.
std::string LogOnce(const std::string& format, const Argument& argument, bool& written) {
    unlink(LogPath().c_str());
    if (argument.isText) {
        LogFormatted(format.c_str(), argument.text);
    } else {
        LogFormatted(format.c_str(), argument.number);
    }
    return fuzz::ReadWholeFile(LogPath(), &written);
}

// Checks one message against what the format promises.
void CheckMessage(const std::string& format, const Argument& argument) {
    bool written = false;
    const std::string log = LogOnce(format, argument, written);
    if (format.size() >= kFormatLimit) {
        FUZZ_CHECK(!written);  // dropped: the file is not even created
        return;
    }
    FUZZ_CHECK(written);

    // Whatever the format: LF only as CR LF, no zero byte, at most 1023 characters.
    std::string message;
    for (std::size_t i = 0; i < log.size(); ++i) {
        FUZZ_CHECK(log[i] != '\0');
        if (log[i] == '\n') {
            FUZZ_CHECK(i > 0 && log[i - 1] == '\r');
            message.pop_back();
        }
        message += log[i];
    }
    FUZZ_CHECK(message.size() <= kMessageSize - 1);
    // The text before the first "%" stands as written.
    const std::string head = format.substr(0, format.find('%')).substr(0, kMessageSize - 1);
    FUZZ_CHECK(message.compare(0, head.size(), head) == 0);

    Length length = Length::kUnset;
    bool isUnsigned = false;
    if (PrintfCanTake(format, argument, length, isUnsigned)) {
        FUZZ_CHECK(log == WithCarriageReturns(Snprintf(format, argument, length, isUnsigned)));
    }
}

std::string Replaced(const std::string& text, char what, const char* with) {
    std::string out;
    for (char c : text) {
        if (c == what) {
            out += with;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static char* const logName = [] {
        static std::string name = LogPath();
        return name.data();
    }();
    Settings.UseLog = 1;
    Settings.LogFileName = logName;

    if (size < 5) return 0;
    const std::uint8_t mode = data[0];
    const std::int32_t number = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
        static_cast<std::uint32_t>(data[3]) << 16 | static_cast<std::uint32_t>(data[4]) << 24);
    const std::string_view rest(reinterpret_cast<const char*>(data) + 5, size - 5);
    const std::size_t zero = rest.find('\0');
    std::string format(rest.substr(0, zero));
    std::string text(zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1));
    text = text.c_str();
    if ((mode & 0x10) != 0 && !text.empty()) {
        while (text.size() < 3000 + static_cast<std::size_t>(number & 0x7FF)) text += text;
    }

    Argument argument{(mode & 1) != 0, number, (mode & 2) != 0 ? nullptr : text.c_str()};

    const int formatSource = (mode >> 2) & 3;
    if (formatSource == 2) {
        const std::size_t count = sizeof kProgramFormats / sizeof kProgramFormats[0];
        const ProgramFormat& chosen = kProgramFormats[static_cast<std::uint32_t>(number) % count];
        format = chosen.format;
        argument.isText = chosen.text;
    } else if (formatSource == 3 && !format.empty()) {
        const std::size_t target = kFormatLimit - 4 + static_cast<std::size_t>(mode >> 5);
        std::string longer;
        while (longer.size() < target) longer += format;
        format = longer.substr(0, target);
    }

    CheckMessage(format, argument);
    // Every "%" made literal: the text comes out as written.
    const std::string literal = Replaced(format, '%', "%%");
    if (literal.size() < kFormatLimit) {
        bool written = false;
        const std::string log = LogOnce(literal, argument, written);
        FUZZ_CHECK(written && log == WithCarriageReturns(format.substr(0, kMessageSize - 1)));
    }
    // "%n" is no conversion: it stands as written and writes nothing anywhere.
    const std::string counting = Replaced(format, '%', "%n");
    if (counting.size() < kFormatLimit) {
        bool written = false;
        const std::string log = LogOnce(counting, argument, written);
        FUZZ_CHECK(written && log == WithCarriageReturns(counting.substr(0, kMessageSize - 1)));
    }
    return 0;
}
