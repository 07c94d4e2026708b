// The log writer: every message goes to the log file or to the debugger output.
#include "config/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/settings.h"
#include "config/text.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kMessageSize = 1024;  // formatted message, terminator included
constexpr std::size_t kFormatLimit = 1000;  // format texts this long or longer are dropped

// Guards each open-append-close of the log file: the start routine, the output reader and
// the control handler write at the same moments, and each message must land whole. (The
// Windows C runtime appends by seeking to the end before each write, which is not atomic.)
std::mutex LogFileLock;

// Appends text to the file, each line feed stored as CR LF. The file is opened in binary
// mode and the conversion done here, so that both systems write the same bytes. The
// stream is unbuffered and the text converted into a buffer of our own first, so that a
// chunk of the server's output (4,096 bytes, 4,160 or so once converted) leaves in one
// write: the stream's own buffer is 4,096 bytes, which split it in two and cost a status
// call on every open to size it. False when the file cannot be opened or written.
bool AppendToLogFile(const char* fileName, const char* text) {
    std::lock_guard<std::mutex> hold(LogFileLock);
    std::FILE* file = std::fopen(fileName, "ab");
    if (file == nullptr) return false;
    // Refused, the stream stays buffered: the text still lands, perhaps in two writes.
    (void)std::setvbuf(file, nullptr, _IONBF, 0);
    bool written = true;
    char converted[2 * 4096 + 2];  // a whole chunk, every byte of it a line feed
    std::size_t used = 0;
    auto flush = [&] {
        // cppcheck-suppress legacyUninitvar ; only the `used` bytes copied in are written
        if (used > 0 && std::fwrite(converted, 1, used, file) != used) written = false;
        used = 0;
    };
    for (const char* piece = text;;) {
        const char* lineFeed = std::strchr(piece, '\n');
        std::size_t length =
            lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - piece) : std::strlen(piece);
        while (length > 0) {
            if (used == sizeof converted) flush();
            const std::size_t take = std::min(length, sizeof converted - used);
            std::memcpy(converted + used, piece, take);
            used += take;
            piece += take;
            length -= take;
        }
        if (lineFeed == nullptr) break;
        if (used + 2 > sizeof converted) flush();
        converted[used++] = '\r';
        converted[used++] = '\n';
        piece = lineFeed + 1;
    }
    flush();
    if (std::fclose(file) != 0) written = false;
    return written;
}

// The one argument of a message, as the caller declared it.
struct Argument {
    bool isText;
    std::int32_t number;
    const char* text;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One conversion for snprintf: at most 16 bytes of flags, width and precision, then the
// length modifiers and the letter.
constexpr std::size_t kConversionSize = 32;

// Appends up to `count` bytes of text to a conversion, cut to fit.
void AppendToConversion(char (&conversion)[kConversionSize], const char* text,
                        std::size_t count = kConversionSize) {
    std::size_t used = std::strlen(conversion);
    for (std::size_t i = 0; i < count && text[i] != '\0' && used + 1 < kConversionSize; ++i) {
        conversion[used++] = text[i];
    }
    conversion[used] = '\0';
}

// snprintf with exactly one conversion; a value the C library refuses to format leaves an
// empty piece rather than an undefined one.
template <typename Value>
void FormatPiece(char (&piece)[kMessageSize], const char* conversion, Value value) {
    if (std::snprintf(piece, sizeof piece, conversion, value) < 0) piece[0] = '\0';
}

// Skips up to four digits; false when more follow (a width that large is taken literally,
// keeping every number handed to snprintf far from int's limits).
bool SkipDigits(const char*& p) {
    int count = 0;
    while (IsDigit(*p)) {
        if (++count > 4) return false;
        ++p;
    }
    return true;
}

// Formats one conversion (from its '%' through its letter) with the argument into piece;
// false when the conversion is not one of d i u x X o c s, which then stands literally.
// snprintf sees exactly one conversion and an argument of the very type it reads, so a
// 32-bit number meets "%ld" as a long and a text that holds none prints "(null)" on both
// systems. An argument of the other kind is printed as what it is: a number as a decimal
// number, a text as a text.
bool FormatConversion(const char* start, const char** end, const Argument& argument,
                      char (&piece)[kMessageSize]) {
    const char* p = start + 1;
    bool leftAlign = false;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
        if (*p == '-') leftAlign = true;
        ++p;
    }
    const char* widthStart = p;
    if (!SkipDigits(p)) return false;
    if (*p == '.') {
        ++p;
        if (!SkipDigits(p)) return false;
    }
    const char* modifiers = p;
    int longs = 0;
    while (*p == 'l' && longs < 2) {
        ++longs;
        ++p;
    }
    while (*p == 'h' && longs == 0 && p - modifiers < 2) ++p;  // int, as printf promotes it
    const char letter = *p;
    if (letter == '\0' || std::strchr("diuxXocs", letter) == nullptr) return false;
    if (modifiers - start > 16) return false;  // a run of flags no format needs
    *end = p + 1;

    // Flags, width and precision as written; the modifiers follow from the argument's type.
    char conversion[kConversionSize];
    const std::size_t head = static_cast<std::size_t>(modifiers - start);
    std::memcpy(conversion, start, head);
    conversion[head] = '\0';
    // Only "-", width and precision are defined for a text.
    char textConversion[kConversionSize] = "%";
    if (leftAlign) AppendToConversion(textConversion, "-");
    AppendToConversion(textConversion, widthStart, static_cast<std::size_t>(modifiers - widthStart));
    AppendToConversion(textConversion, "s");

    if (argument.isText) {
        const char* text = argument.text != nullptr ? argument.text : "(null)";
        FormatPiece(piece, textConversion, text);
        return true;
    }
    const std::int32_t number = argument.number;
    if (letter == 's') {
        textConversion[std::strlen(textConversion) - 1] = '\0';
        AppendToConversion(textConversion, "ld");
        FormatPiece(piece, textConversion, static_cast<long>(number));
    } else if (letter == 'c') {
        AppendToConversion(conversion, "c");
        FormatPiece(piece, conversion, static_cast<int>(number));
    } else if (letter == 'd' || letter == 'i') {
        AppendToConversion(conversion, longs == 2 ? "ll" : longs == 1 ? "l" : "");
        AppendToConversion(conversion, &letter, 1);
        if (longs == 2) {
            FormatPiece(piece, conversion, static_cast<long long>(number));
        } else if (longs == 1) {
            FormatPiece(piece, conversion, static_cast<long>(number));
        } else {
            FormatPiece(piece, conversion, static_cast<int>(number));
        }
    } else {
        // u x X o read the 32 bits as unsigned.
        const std::uint32_t bits = static_cast<std::uint32_t>(number);
        AppendToConversion(conversion, longs == 2 ? "ll" : longs == 1 ? "l" : "");
        AppendToConversion(conversion, &letter, 1);
        if (longs == 2) {
            FormatPiece(piece, conversion, static_cast<unsigned long long>(bits));
        } else if (longs == 1) {
            FormatPiece(piece, conversion, static_cast<unsigned long>(bits));
        } else {
            FormatPiece(piece, conversion, static_cast<unsigned>(bits));
        }
    }
    return true;
}

// Formats by printf's rules into message, cut at its last byte. Every conversion takes the
// one argument; "%%" is one "%"; anything that is not a conversion stands as written.
void FormatMessageText(const char* format, const Argument& argument,
                       char (&message)[kMessageSize]) {
    std::size_t used = 0;
    message[0] = '\0';
    char piece[kMessageSize];
    for (const char* p = format; *p != '\0' && used + 1 < kMessageSize;) {
        if (*p != '%') {
            message[used++] = *p++;
            continue;
        }
        if (p[1] == '%') {
            message[used++] = '%';
            p += 2;
            continue;
        }
        const char* end = nullptr;
        if (FormatConversion(p, &end, argument, piece)) {
            used = AppendCut(message, used, kMessageSize, piece);
            p = end;
        } else {
            message[used++] = *p++;
        }
    }
    message[used] = '\0';
}

void FormatAndLog(const char* format, const Argument& argument) {
    if (format == nullptr) return;
    std::size_t length = 0;
    while (length < kFormatLimit && format[length] != '\0') ++length;
    if (length >= kFormatLimit) return;
    char message[kMessageSize];
    FormatMessageText(format, argument, message);
    LogText(message);
}

}  // namespace

void LogText(const char* text) {
    if (text == nullptr) text = "(null)";
    // No file name yet (memory ran out for it) or a file that cannot be opened: the
    // message goes to the debugger output, and the next one tries the file again.
    if (Settings.UseLog == 0 || Settings.LogFileName == nullptr ||
        !AppendToLogFile(Settings.LogFileName, text)) {
        platform::OutputDebugStringA(text);
    }
}

void LogFormatted(const char* format, std::int32_t argument) {
    FormatAndLog(format, Argument{false, argument, nullptr});
}

void LogFormatted(const char* format, const char* argument) {
    FormatAndLog(format, Argument{true, 0, argument});
}
