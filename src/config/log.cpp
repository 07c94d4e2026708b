// The log writer's messages: what each one says. Where they go is log_file.cpp's.
#include "config/log.h"

#include <cstdio>
#include <cstring>

#include "config/log_file.h"
#include "config/text.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kMessageSize = 1024;  // formatted message, terminator included
constexpr std::size_t kFormatLimit = 1000;  // format texts this long or longer are dropped

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
    AppendToLog(text, std::strlen(text), LogSource::kMessage);
}

void LogOutput(const char* text, std::size_t length) {
    AppendToLog(text, length, LogSource::kOutput);
}

void LogFormatted(const char* format, std::int32_t argument) {
    FormatAndLog(format, Argument{false, argument, nullptr});
}

void LogFormatted(const char* format, const char* argument) {
    FormatAndLog(format, Argument{true, 0, argument});
}
