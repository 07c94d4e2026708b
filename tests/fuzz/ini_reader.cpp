// Fuzzes the POSIX settings reader: IniFindValue and IniParseInt over arbitrary file
// bytes, and GetPrivateProfileStringA / GetPrivateProfileIntA over the same bytes in a
// real file, as the program reads its settings.
//
// Input: the file's bytes, asked for the program's own keys in [Tallowmere]; or, when
// the first byte is 0x01, "\x01" SECTION "\0" KEY "\0" FILE-BYTES, asked for that key.
#include "platform/ini_reader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"

namespace {

struct Query {
    std::string section;
    std::string key;
};

const char* const kProgramKeys[] = {
    "UseLog",      "AppendToExistingLog", "ServiceName",
    "LogFileName", "CommandFile",         "LaunchFolder",
    "QuitCommand", "StartHint",           "ServerStartupTimeoutInSeconds",
    "Key",
};

bool IsBlank(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20; }

bool StartsLikeUtf16(std::string_view bytes) {
    return bytes.size() >= 2 && ((static_cast<unsigned char>(bytes[0]) == 0xFF &&
                                  static_cast<unsigned char>(bytes[1]) == 0xFE) ||
                                 (static_cast<unsigned char>(bytes[0]) == 0xFE &&
                                  static_cast<unsigned char>(bytes[1]) == 0xFF));
}

// A first byte that could begin a byte order mark: text put before it changes the encoding.
bool MayStartMark(std::string_view bytes) {
    if (bytes.empty()) return false;
    const unsigned char c = static_cast<unsigned char>(bytes[0]);
    return c == 0xEF || c == 0xFF || c == 0xFE;
}

bool Find(std::string_view file, const Query& query, std::string& value) {
    // A heap copy of exactly the file's size: a read past its end is caught.
    std::vector<char> copy(file.begin(), file.end());
    return platform::IniFindValue(copy.empty() ? "" : copy.data(), copy.size(),
                                  query.section.c_str(), query.key.c_str(), value);
}

std::string SwapCase(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool Contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

std::string Utf16(std::string_view ascii, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        if (bigEndian) out += '\0';
        out += c;
        if (!bigEndian) out += '\0';
    }
    return out;
}

bool AllAscii(std::string_view bytes) {
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// --- A model of the reader's rules ---------------------------------------------------

// The file's text: UTF-16 after its byte order mark (a lone surrogate as U+FFFD, an odd
// last byte dropped) turned into UTF-8; otherwise the bytes, after any UTF-8 mark.
std::string ModelText(std::string_view file) {
    const auto byte = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(file[i]));
    };
    if (file.substr(0, 3) == "\xEF\xBB\xBF") return std::string(file.substr(3));
    if (!StartsLikeUtf16(file)) return std::string(file);
    const bool big = byte(0) == 0xFE;
    std::vector<std::uint32_t> codePoints;
    std::uint32_t high = 0;  // a high surrogate waiting for its partner
    for (std::size_t i = 2; i + 1 < file.size(); i += 2) {
        const std::uint32_t unit =
            big ? (byte(i) << 8 | byte(i + 1)) : (byte(i + 1) << 8 | byte(i));
        const bool isHigh = unit >= 0xD800 && unit < 0xDC00;
        const bool isLow = unit >= 0xDC00 && unit < 0xE000;
        if (high != 0 && isLow) {
            codePoints.push_back(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
            high = 0;
            continue;
        }
        if (high != 0) codePoints.push_back(0xFFFD);
        high = 0;
        if (isHigh) {
            high = unit;
        } else {
            codePoints.push_back(isLow ? 0xFFFD : unit);
        }
    }
    if (high != 0) codePoints.push_back(0xFFFD);
    std::string out;
    for (const std::uint32_t c : codePoints) {
        const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        static const unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
        out += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k)
            out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
    return out;
}

std::string ModelTrim(std::string text) {
    const auto blank = [](char c) { return IsBlank(static_cast<unsigned char>(c)); };
    while (!text.empty() && blank(text.back())) text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && blank(text[first])) ++first;
    return text.substr(first);
}

std::string ModelLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return text;
}

// One meaningful line of the file.
struct ModelLine {
    bool header;
    std::string name;   // section or key name, trimmed, cut at a zero byte
    bool hasValue;      // a key line with "="
    std::string value;  // trimmed, cut at a zero byte, one pair of marks removed
};

std::vector<ModelLine> ModelLines(const std::string& text) {
    std::vector<ModelLine> lines;
    std::string raw;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\r' && text[i] != '\n') {
            raw += text[i];
            continue;
        }
        const std::string line = ModelTrim(raw);
        raw.clear();
        if (line.empty()) continue;
        const std::size_t close = line.rfind(']');
        if (line[0] == '[' && close != std::string::npos) {
            lines.push_back({true, ModelTrim(line.substr(1, close - 1)).c_str(), false, ""});
            continue;
        }
        const std::size_t equals = line.find('=');
        ModelLine key{false, ModelTrim(line.substr(0, equals)).c_str(), equals != std::string::npos,
                      ""};
        if (key.hasValue) {
            std::string value = ModelTrim(line.substr(equals + 1)).c_str();
            if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
                value.back() == value[0]) {
                value = value.substr(1, value.size() - 2);
            }
            key.value = value;
        }
        lines.push_back(key);
    }
    return lines;
}

// The first section of the wanted name (before any header: the empty name), and in it
// the first line of the wanted key, which must hold "=".
bool ModelFind(std::string_view file, const Query& query, std::string& value) {
    value.clear();
    const std::string section = ModelLower(ModelTrim(query.section));
    const std::string key = ModelLower(ModelTrim(query.key));
    bool inside = section.empty();
    for (const ModelLine& line : ModelLines(ModelText(file))) {
        if (line.header) {
            if (inside) return false;
            inside = ModelLower(line.name) == section;
            continue;
        }
        if (!inside || ModelLower(line.name) != key) continue;
        if (!line.hasValue) return false;
        value = line.value;
        return true;
    }
    return false;
}

// What any answer looks like.
bool CheckShape(std::string_view file, const Query& query, std::string& value) {
    const bool found = Find(file, query, value);
    if (!found) FUZZ_CHECK(value.empty());
    std::string modelValue;
    FUZZ_CHECK(ModelFind(file, query, modelValue) == found);
    FUZZ_CHECK(modelValue == value);

    // A value is one line's text up to any zero byte.
    FUZZ_CHECK(value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);

    const bool eightBit = !StartsLikeUtf16(file);
    if (found && eightBit) {
        // The value stands in the file as it is, or inside the quotation marks that were
        // removed; only then can it begin with a blank. Blanks are trimmed before a zero
        // byte cuts the value, so it may also end in one that a zero byte follows.
        const bool quoted =
            Contains(file, "\"" + value + "\"") || Contains(file, "'" + value + "'");
        FUZZ_CHECK(Contains(file, value) || quoted);
        if (!value.empty() && IsBlank(static_cast<unsigned char>(value.front()))) {
            FUZZ_CHECK(quoted);
        }
        if (!value.empty() && IsBlank(static_cast<unsigned char>(value.back()))) {
            FUZZ_CHECK(quoted || Contains(file, value + std::string(1, '\0')));
        }
    }
    return found;
}

// The promises of one lookup, each checked against a changed file or query.
void CheckLookup(std::string_view file, const Query& query) {
    std::string value;
    const bool found = CheckShape(file, query, value);
    const bool eightBit = !StartsLikeUtf16(file);

    // Names ignore letter case and the blanks around them.
    std::string other;
    FUZZ_CHECK(Find(file, {SwapCase(query.section), SwapCase(query.key)}, other) == found);
    FUZZ_CHECK(other == value);
    FUZZ_CHECK(Find(file, {" \t" + query.section + " ", "  " + query.key + "\t"}, other) == found);
    FUZZ_CHECK(other == value);

    if (!eightBit) return;
    // The first line of the key wins: whatever follows a found line changes nothing.
    if (found) {
        std::string longer(file);
        longer += "\n[";
        longer += query.section;
        longer += "]\n";
        longer += query.key;
        longer += "=other\r\n";
        longer.append(file.rbegin(), file.rend());
        FUZZ_CHECK(Find(longer, query, other) && other == value);
    }
    // Empty lines before the text change nothing.
    if (!MayStartMark(file)) {
        const std::string later = "\r\n\n" + std::string(file);
        FUZZ_CHECK(Find(later, query, other) == found && other == value);
    }
    // A UTF-8 byte order mark, or the same ASCII text as UTF-16, gives the same answer.
    if (!MayStartMark(file)) {
        FUZZ_CHECK(Find("\xEF\xBB\xBF" + std::string(file), query, other) == found &&
                   other == value);
    }
    if (AllAscii(file)) {
        FUZZ_CHECK(Find(Utf16(file, false), query, other) == found && other == value);
        FUZZ_CHECK(Find(Utf16(file, true), query, other) == found && other == value);
    }
}

// A key written after any text, in a section of its own, is found with its value.
void CheckAppendedKey(std::string_view file, std::string_view material) {
    if (StartsLikeUtf16(file)) return;
    // A section name that the file cannot already hold (in any letter case).
    std::string section = "Zq";
    for (std::size_t i = 0; i < 8; ++i) {
        section += static_cast<char>('0' + (file.size() * 7 + i * 13 + material.size()) % 10);
    }
    std::string lower(file);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::string lowerSection = section;
    lowerSection[0] = 'z';
    if (Contains(lower, lowerSection)) return;

    // The value: the material without line ends and zero bytes, blanks trimmed.
    std::string value;
    for (char c : material) {
        if (c != '\r' && c != '\n' && c != '\0') value += c;
    }
    while (!value.empty() && IsBlank(static_cast<unsigned char>(value.front()))) value.erase(0, 1);
    while (!value.empty() && IsBlank(static_cast<unsigned char>(value.back()))) value.pop_back();
    const bool wrapped = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                         value.back() == value.front();

    std::string found;
    const Query query{section, "Fuzz Key"};
    if (!wrapped) {
        std::string bytes(file);
        bytes += "\n[" + section + "]\nFuzz Key = " + value + " \r\n";
        FUZZ_CHECK(Find(bytes, query, found) && found == value);
    }
    // Inside quotation marks, blanks at both ends are kept.
    const std::string padded = " " + value + "\t";
    std::string bytes(file);
    bytes += "\r\n[ " + section + " ]\r\n\tfuzz key=\"" + padded + "\"\n";
    FUZZ_CHECK(Find(bytes, query, found) && found == padded);
}

// The integer reader: only the first 29 characters count, a sign and blanks before the
// number work as printf's readers do, and plain numbers read as strtoul reads them.
void CheckParseInt(const std::string& text) {
    std::uint32_t number = 7;
    const bool present = platform::IniParseInt(text, number);
    FUZZ_CHECK(present == !text.empty());
    if (!present) {
        FUZZ_CHECK(number == 0);
        return;
    }
    // Past the 29th character nothing counts; before it, a character that is no digit
    // ends the number.
    std::uint32_t other = 0;
    if (text.size() >= 29) {
        FUZZ_CHECK(platform::IniParseInt(text.substr(0, 29) + "7", other) && other == number);
    } else {
        FUZZ_CHECK(platform::IniParseInt(text + "\x01", other) && other == number);
    }

    if (text.size() <= 28 && text[0] >= '0' && text[0] <= '9') {
        FUZZ_CHECK(platform::IniParseInt("-" + text, other) && other == 0u - number);
        FUZZ_CHECK(platform::IniParseInt("+" + text, other) && other == number);
        FUZZ_CHECK(platform::IniParseInt(" " + text, other) && other == number);
    }
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits > 0 && digits <= 9 &&
        !(text[0] == '0' && digits == 1 && text.size() > 1 &&
          (text[1] == 'x' || text[1] == 'o' || text[1] == 'b'))) {
        FUZZ_CHECK(number == std::strtoul(text.substr(0, digits).c_str(), nullptr, 10));
    }
    if (text.size() >= 3 && text.size() <= 10 && text[0] == '0' && text[1] == 'x' &&
        text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
        FUZZ_CHECK(number == std::strtoul(text.c_str() + 2, nullptr, 16));
    }
}

// The settings reader over a real file: the answer cut to the buffer, always terminated,
// never written past it; the integer or the default.
void CheckProfileCalls(std::string_view file, const Query& query) {
    static const std::string path = fuzz::PrivateFolder() + "/settings.ini";
    if (!fuzz::WriteWholeFile(path, file.data(), file.size())) std::abort();

    std::string value;
    const bool found = Find(file, query, value);
    const std::string expected = found ? std::string(value.c_str()) : std::string("DEF");
    for (const platform::DWORD size : {0u, 1u, 2u, 3u, 5u, 64u, 4096u}) {
        std::vector<char> buffer(size == 0 ? 1 : size, 'X');
        const platform::DWORD length = platform::GetPrivateProfileStringA(
            query.section.c_str(), query.key.c_str(), "DEF   ", buffer.data(), size, path.c_str());
        if (size == 0) {
            FUZZ_CHECK(length == 0 && buffer[0] == 'X');
            continue;
        }
        const std::size_t want = std::min<std::size_t>(expected.size(), size - 1);
        FUZZ_CHECK(length == want);
        FUZZ_CHECK(std::memcmp(buffer.data(), expected.data(), want) == 0);
        FUZZ_CHECK(buffer[want] == '\0');
    }

    std::uint32_t number = 0;
    const bool present = found && platform::IniParseInt(value, number);
    const platform::DWORD got = platform::GetPrivateProfileIntA(
        query.section.c_str(), query.key.c_str(), -12345, path.c_str());
    FUZZ_CHECK(got == (present ? number : static_cast<platform::DWORD>(-12345)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<Query> queries;
    std::string_view file = input;
    if (!input.empty() && input[0] == '\x01') {
        const std::size_t sectionEnd = input.find('\0', 1);
        if (sectionEnd == std::string_view::npos) return 0;
        const std::size_t keyEnd = input.find('\0', sectionEnd + 1);
        if (keyEnd == std::string_view::npos) return 0;
        queries.push_back({std::string(input.substr(1, sectionEnd - 1)),
                           std::string(input.substr(sectionEnd + 1, keyEnd - sectionEnd - 1))});
        file = input.substr(keyEnd + 1);
    } else {
        for (const char* key : kProgramKeys) queries.push_back({"Tallowmere", key});
        queries.push_back({"", "Key"});
    }

    for (const Query& query : queries) {
        std::string value;
        if (CheckShape(file, query, value)) CheckParseInt(value);
    }
    // The costly checks for one of the keys.
    const Query& chosen = queries[input.size() % queries.size()];
    CheckLookup(file, chosen);
    CheckProfileCalls(file, chosen);
    CheckAppendedKey(file, input.substr(0, 40));
    CheckParseInt(std::string(input.substr(0, 40)));
    return 0;
}
