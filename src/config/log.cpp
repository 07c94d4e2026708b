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
// the control handler write at the same moments, and each message must land whole.
std::mutex LogFileLock;

// The log is only ever a regular file: a FIFO or a device could block a write for good
// (a FIFO with no reader blocks even the open), and every thread that logs waits behind
// that write, the stop's included. The handle is never inherited: no server gets a copy.
platform::HANDLE OpenLogFile(const char* fileName, platform::DWORD access,
                             platform::DWORD disposition) {
    const platform::HANDLE file = platform::CreateFileA(
        fileName, access,
        platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
        nullptr, disposition, platform::kFileAttributeNormal, nullptr);
    if (file == platform::kInvalidHandleValue) return file;
    if (platform::GetFileType(file) != platform::kFileTypeDisk) {
        platform::CloseHandle(file);
        return platform::kInvalidHandleValue;
    }
    return file;
}

// Appends text to the file, each line feed stored as CR LF. The conversion goes into a
// buffer of our own first, so that a chunk of the server's output (4,096 bytes, 4,160 or
// so once converted) leaves in one write. False when the file cannot be opened or written.
bool AppendToLogFile(const char* fileName, const char* text) {
    std::lock_guard<std::mutex> hold(LogFileLock);
    const platform::HANDLE file =
        OpenLogFile(fileName, platform::kFileAppendData, platform::kOpenAlways);
    if (file == platform::kInvalidHandleValue) return false;
    bool written = true;
    char converted[2 * 4096 + 2];  // a whole chunk, every byte of it a line feed
    std::size_t used = 0;
    auto flush = [&] {
        platform::DWORD done = 0;
        if (used > 0 && platform::WriteFile(file, converted, static_cast<platform::DWORD>(used),
                                            &done, nullptr) == 0) {
            written = false;
        }
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
    platform::CloseHandle(file);
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

void EmptyLogFile(const char* fileName) {
    std::lock_guard<std::mutex> hold(LogFileLock);
    const platform::HANDLE file =
        OpenLogFile(fileName, platform::kGenericWrite, platform::kCreateAlways);
    if (file != platform::kInvalidHandleValue) platform::CloseHandle(file);
}

void LogFormatted(const char* format, std::int32_t argument) {
    FormatAndLog(format, Argument{false, argument, nullptr});
}

void LogFormatted(const char* format, const char* argument) {
    FormatAndLog(format, Argument{true, 0, argument});
}
