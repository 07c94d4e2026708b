#include "platform/ini_reader.h"

#include <string_view>

namespace platform {

namespace {

// The Windows reader's notion of a blank: the C white-space characters and 0x1A, the
// DOS end-of-file mark, which it trims like a blank rather than ending the file there.
bool IsIniBlank(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsIniBlank(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsIniBlank(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

// Names and values are kept as zero-terminated texts there, so a zero byte inside a
// line cuts the name or value that holds it.
std::string_view UpToZero(std::string_view text) {
    const std::size_t zero = text.find('\0');
    return zero == std::string_view::npos ? text : text.substr(0, zero);
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Section and key names match without regard to letter case (ASCII only here; Windows
// folds other letters of its code page too).
bool NamesEqual(std::string_view stored, std::string_view query) {
    stored = UpToZero(stored);
    if (stored.size() != query.size()) return false;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (AsciiLower(stored[i]) != AsciiLower(query[i])) return false;
    }
    return true;
}

void AppendUtf8(std::string& out, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// UTF-16 text after its byte order mark, as UTF-8 (the POSIX build's 8-bit text). An odd
// last byte is dropped; a surrogate without its partner becomes U+FFFD.
std::string Utf16ToUtf8(const unsigned char* bytes, std::size_t size, bool bigEndian) {
    std::string out;
    out.reserve(size / 2);
    const std::size_t units = size / 2;
    auto unitAt = [&](std::size_t i) -> std::uint32_t {
        const std::uint32_t a = bytes[2 * i];
        const std::uint32_t b = bytes[2 * i + 1];
        return bigEndian ? ((a << 8) | b) : ((b << 8) | a);
    };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const std::uint32_t low = unitAt(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

}  // namespace

bool IniFindValue(const char* data, std::size_t size, const char* section, const char* key,
                  std::string& value) {
    value.clear();
    if (section == nullptr || key == nullptr) return false;
    if (data == nullptr) size = 0;

    // The byte order mark decides the encoding; without one the bytes are 8-bit text.
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::string converted;
    std::string_view text(data != nullptr ? data : "", size);
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        text.remove_prefix(3);
    } else if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        converted = Utf16ToUtf8(bytes + 2, size - 2, false);
        text = converted;
    } else if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        converted = Utf16ToUtf8(bytes + 2, size - 2, true);
        text = converted;
    }

    const std::string_view wantedSection = Trim(section);
    const std::string_view wantedKey = Trim(key);

    // Lines before the first section header belong to a section with the empty name.
    // Only the first section of the wanted name is searched, and in it only the first
    // line of the wanted key name counts, with or without "=".
    bool inWanted = wantedSection.empty();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
        std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end;
        while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
        if (line.empty()) continue;

        if (line.front() == '[') {
            // The name ends at the line's last "]"; a "[" line without one is read as an
            // ordinary key line instead.
            const std::size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                if (inWanted) return false;
                inWanted = NamesEqual(Trim(line.substr(1, close - 1)), wantedSection);
                continue;
            }
        }
        // A comment line (";...") needs no case of its own: it is a key line whose name
        // begins with ";", which no wanted key name matches.
        if (!inWanted) continue;

        const std::size_t equals = line.find('=');
        const std::string_view name =
            Trim(equals == std::string_view::npos ? line : line.substr(0, equals));
        if (!NamesEqual(name, wantedKey)) continue;
        if (equals == std::string_view::npos) return false;  // a name without a value

        std::string_view found = UpToZero(Trim(line.substr(equals + 1)));
        if (found.size() >= 2 && (found.front() == '"' || found.front() == '\'') &&
            found.back() == found.front()) {
            found = found.substr(1, found.size() - 2);
        }
        value.assign(found);
        return true;
    }
    return false;
}

bool IniParseInt(const std::string& value, std::uint32_t& number) {
    number = 0;
    if (value.empty()) return false;

    // Windows reads the value into a buffer of 30 characters before converting it.
    const std::string_view text = std::string_view(value).substr(0, 29);
    std::size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t base = 10;
    if (i + 1 < text.size() && text[i] == '0') {
        if (text[i + 1] == 'x') {
            base = 16;
        } else if (text[i + 1] == 'o') {
            base = 8;
        } else if (text[i + 1] == 'b') {
            base = 2;
        }
        if (base != 10) i += 2;
    }
    // Digits up to the first character that is not one; the sum wraps at 32 bits.
    std::uint32_t total = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        std::uint32_t digit = 99;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'z') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'Z') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        }
        if (digit >= base) break;
        total = total * base + digit;
    }
    number = negative ? 0u - total : total;
    return true;
}

}  // namespace platform
