// Fuzzes LogFormatted with hostile format texts and arguments, logging to a real file.
//
// Input: MODE NUMBER(4 bytes, little-endian) FORMAT "\0" TEXT.
//   MODE bit 0: the argument is the text (else the number); bit 1: the text is null;
//   bits 2-3: 0 or 1 the format as given, 2 one of the program's own formats (picked by
//   the number), 3 the format repeated to just under or over the 1000-character limit;
//   bit 4: the text repeated to some thousands of characters (past 8,192 too).
// Checked: the promises that hold whatever the format says; that the form of a conversion
// does not matter, only that it is one; that a format whose conversions are all of the
// argument's own kind gives snprintf's result; and that every format text in the sources
// does; and that LogText writes any text byte for byte.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "config/log.h"
#include "config/settings.h"
#include "fuzz_support.h"
#include "support/support.h"

namespace {

constexpr std::size_t kFormatLimit = 1000;
constexpr std::size_t kMessageSize = 1024;

// Collected from the sources at build time (log_catalogue.cmake).
const char* const kProgramFormats[] = {
#include "log_catalogue.inc"
};

struct Argument {
    bool isText;
    std::int32_t number;
    const char* text;  // may be null
};

// The conversions the log writer takes, as they sit in a format.
const char* const kConversions[] = {"%s", "%d", "%ld"};

// The format with each "%%" kept and each conversion written as `with`; counts the
// conversions by kind.
std::string Normalised(const std::string& format, const char* with, int& texts, int& ints,
                       int& longs) {
    texts = ints = longs = 0;
    std::string out;
    for (std::size_t i = 0; i < format.size();) {
        if (format.compare(i, 2, "%%") == 0) {
            out += "%%";
            i += 2;
            continue;
        }
        bool converted = false;
        for (const char* conversion : kConversions) {
            const std::size_t length = std::strlen(conversion);
            if (format.compare(i, length, conversion) != 0) continue;
            (length == 3 ? longs : conversion[1] == 's' ? texts : ints) += 1;
            out += with;
            i += length;
            converted = true;
            break;
        }
        if (!converted) {
            // Any other "%" stands as written; printf must see it as "%%".
            out += format[i] == '%' ? "%%" : std::string(1, format[i]);
            ++i;
        }
    }
    return out;
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif
// printf's own result for a format of at most 16 conversions, all of one type.
template <typename Value>
std::string Snprintf(const std::string& format, Value v) {
    char out[kMessageSize];
    std::snprintf(out, sizeof out, format.c_str(), v, v, v, v, v, v, v, v, v, v, v, v, v, v, v, v);
    return out;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// What snprintf makes of a format whose conversions all read the argument's own type;
// false for any other format.
bool PrintfResult(const std::string& format, const Argument& argument, std::string& result) {
    int texts = 0;
    int ints = 0;
    int longs = 0;
    (void)Normalised(format, "", texts, ints, longs);
    if (texts + ints + longs > 16) return false;
    if (argument.isText) {
        if (ints + longs > 0) return false;
        result = Snprintf(Normalised(format, "%s", texts, ints, longs),
                          argument.text != nullptr ? argument.text : "(null)");
    } else if (texts > 0 || (ints > 0 && longs > 0)) {
        return false;
    } else if (longs > 0) {
        result = Snprintf(Normalised(format, "%ld", texts, ints, longs),
                          static_cast<long>(argument.number));
    } else {
        result = Snprintf(Normalised(format, "%d", texts, ints, longs),
                          static_cast<int>(argument.number));
    }
    return true;
}

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

// Checks one message against what the format promises; returns the log's bytes.
std::string CheckMessage(const std::string& format, const Argument& argument) {
    bool written = false;
    const std::string log = LogOnce(format, argument, written);
    if (format.size() >= kFormatLimit) {
        FUZZ_CHECK(!written);  // dropped: the file is not even created
        return log;
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

    std::string expected;
    if (PrintfResult(format, argument, expected)) {
        FUZZ_CHECK(log == support::WithCrLf(expected));
    }
    return log;
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
        while (text.size() < 3000 + static_cast<std::size_t>(number & 0x1FFF)) text += text;
    }

    Argument argument{(mode & 1) != 0, number, (mode & 2) != 0 ? nullptr : text.c_str()};

    const int formatSource = (mode >> 2) & 3;
    if (formatSource == 2) {
        // One of the program's own messages, with an argument of the kind it takes: it
        // must come out as printf writes it.
        const std::size_t count = sizeof kProgramFormats / sizeof kProgramFormats[0];
        format = kProgramFormats[static_cast<std::uint32_t>(number) % count];
        argument.isText = format.find("%s") != std::string::npos;
        std::string expected;
        FUZZ_CHECK(PrintfResult(format, argument, expected));
    } else if (formatSource == 3 && !format.empty()) {
        const std::size_t target = kFormatLimit - 4 + static_cast<std::size_t>(mode >> 5);
        std::string longer;
        while (longer.size() < target) longer += format;
        format = longer.substr(0, target);
    }

    const std::string log = CheckMessage(format, argument);
    // Which of the three conversions stands in a place does not matter: each prints the
    // argument as what it is.
    int texts = 0;
    int ints = 0;
    int longs = 0;
    for (const char* with : kConversions) {
        const std::string same = Normalised(format, with, texts, ints, longs);
        if (format.size() >= kFormatLimit || same.size() >= kFormatLimit) continue;
        bool written = false;
        FUZZ_CHECK(LogOnce(same, argument, written) == log);
    }
    // Every "%" made literal: the text comes out as written.
    const std::string literal = Replaced(format, '%', "%%");
    if (literal.size() < kFormatLimit) {
        bool written = false;
        const std::string out = LogOnce(literal, argument, written);
        FUZZ_CHECK(written && out == support::WithCrLf(format.substr(0, kMessageSize - 1)));
    }
    // The text itself through LogText: byte for byte, each LF as CR LF, however long (the
    // writer converts through a buffer of 8,194 bytes).
    if (!text.empty()) {
        unlink(LogPath().c_str());
        LogText(text.c_str());
        bool written = false;
        FUZZ_CHECK(fuzz::ReadWholeFile(LogPath(), &written) == support::WithCrLf(text) && written);
    }
    // "%n" is no conversion: it stands as written and writes nothing anywhere.
    const std::string counting = Replaced(format, '%', "%n");
    if (counting.size() < kFormatLimit) {
        bool written = false;
        const std::string out = LogOnce(counting, argument, written);
        FUZZ_CHECK(written && out == support::WithCrLf(counting.substr(0, kMessageSize - 1)));
    }
    return 0;
}
