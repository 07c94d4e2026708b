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

// Length of the conversion at p ("%s", "%d" or "%ld"), or 0 when p starts none.
std::size_t ConversionLength(const char* p) {
    if (p[0] != '%') return 0;
    if (p[1] == 's' || p[1] == 'd') return 2;
    if (p[1] == 'l' && p[2] == 'd') return 3;
    return 0;
}

// Writes the format into message, cut at its last byte. Every conversion takes the one
// argument, printed as what it is (a number in decimal, a missing text as "(null)"),
// "%%" is one "%", and anything else stands as written: a stray "%" in a message must
// never read memory that was not handed over.
void FormatMessageText(const char* format, const Argument& argument,
                       char (&message)[kMessageSize]) {
    char number[16];
    const char* value = argument.text != nullptr ? argument.text : "(null)";
    if (!argument.isText) {
        (void)std::snprintf(number, sizeof number, "%ld", static_cast<long>(argument.number));
        value = number;
    }
    std::size_t used = 0;
    message[0] = '\0';
    for (const char* p = format; *p != '\0' && used + 1 < kMessageSize;) {
        if (const std::size_t length = ConversionLength(p); length > 0) {
            used = AppendCut(message, used, kMessageSize, value);
            p += length;
        } else {
            message[used++] = *p;
            p += p[0] == '%' && p[1] == '%' ? 2 : 1;
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
