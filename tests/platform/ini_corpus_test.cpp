// The settings-file corpus (tests/data/ini/corpus.txt) against the platform layer's INI
// calls: the real Windows reader on the Windows build, our own reader on POSIX. Both
// builds run the same cases and must give the same answers, apart from the two marked
// differences.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/support.h"

namespace {

struct IniCase {
    std::string id;
    std::string what;
    int line = 0;
    bool writeFile = true;
    std::string file;
    std::string where = "folder";
    bool isInt = false;
    std::optional<std::string> section;
    std::optional<std::string> key;
    std::optional<std::string> defaultText;
    std::int32_t defaultNumber = 0;
    platform::DWORD size = 0;
    std::optional<std::string> want;
    std::optional<std::string> wantPosix;
    std::optional<std::string> wantWindows;
};

struct Corpus {
    std::vector<IniCase> cases;
    std::vector<std::string> errors;  // one line for each directive that could not be read
};

std::string Letters(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads escaped text from `pos` up to `stop` (a quotation mark) or the end of the text.
bool Unescape(const std::string& text, std::size_t& pos, char stop, std::string& out) {
    out.clear();
    while (pos < text.size()) {
        const char c = text[pos++];
        if (stop != '\0' && c == stop) return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= text.size()) return false;
        const char e = text[pos++];
        switch (e) {
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case '0': out += '\0'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'x': {
                if (pos + 2 > text.size()) return false;
                const int high = HexDigit(text[pos]);
                const int low = HexDigit(text[pos + 1]);
                if (high < 0 || low < 0) return false;
                out += static_cast<char>(high * 16 + low);
                pos += 2;
                break;
            }
            case '{': {
                const std::size_t close = text.find('}', pos);
                if (close == std::string::npos) return false;
                out += Letters(std::strtoul(text.substr(pos, close - pos).c_str(), nullptr, 10));
                pos = close + 1;
                break;
            }
            default:
                return false;
        }
    }
    return stop == '\0';
}

void SkipBlanks(const std::string& text, std::size_t& pos) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
}

// A quoted text, or NULL for none.
bool ReadText(const std::string& text, std::size_t& pos, std::optional<std::string>& out) {
    SkipBlanks(text, pos);
    if (text.compare(pos, 4, "NULL") == 0) {
        pos += 4;
        out.reset();
        return true;
    }
    if (pos >= text.size() || text[pos] != '"') return false;
    ++pos;
    std::string value;
    if (!Unescape(text, pos, '"', value)) return false;
    out = value;
    return true;
}

bool ReadNumber(const std::string& text, std::size_t& pos, long long& number) {
    SkipBlanks(text, pos);
    const char* begin = text.c_str() + pos;
    char* end = nullptr;
    number = std::strtoll(begin, &end, 10);
    pos += static_cast<std::size_t>(end - begin);
    return end != begin;
}

bool ReadDirective(const std::string& name, const std::string& rest, IniCase& c) {
    std::size_t pos = 0;
    long long number = 0;
    if (name == "file") return Unescape(rest, pos, '\0', c.file);
    if (name == "nofile") {
        c.writeFile = false;
        return true;
    }
    if (name == "where") {
        c.where = rest;
        return !rest.empty();
    }
    if (name == "str" || name == "int") {
        c.isInt = name == "int";
        if (!ReadText(rest, pos, c.section) || !ReadText(rest, pos, c.key)) return false;
        if (c.isInt) {
            if (!ReadNumber(rest, pos, number)) return false;
            c.defaultNumber = static_cast<std::int32_t>(number);
            return true;
        }
        if (!ReadText(rest, pos, c.defaultText) || !ReadNumber(rest, pos, number)) return false;
        c.size = static_cast<platform::DWORD>(number);
        return true;
    }
    std::optional<std::string>* target = nullptr;
    if (name == "want") target = &c.want;
    if (name == "want-posix") target = &c.wantPosix;
    if (name == "want-windows") target = &c.wantWindows;
    if (target == nullptr) return false;
    SkipBlanks(rest, pos);
    if (pos < rest.size() && rest[pos] == '"') return ReadText(rest, pos, *target) && *target;
    if (!ReadNumber(rest, pos, number)) return false;
    *target = std::to_string(number);
    return true;
}

Corpus LoadCorpus() {
    Corpus corpus;
    bool found = false;
    const std::string text =
        support::ReadWholeFile(std::string(TALLOWMERE_TEST_DATA) + "/ini/corpus.txt", &found);
    if (!found) {
        corpus.errors.push_back("cannot open the corpus under " TALLOWMERE_TEST_DATA);
        return corpus;
    }
    std::size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t blank = line.find(' ');
        const std::string name = line.substr(0, blank);
        const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (name == "case") {
            IniCase c;
            const std::size_t idEnd = rest.find(' ');
            c.id = rest.substr(0, idEnd);
            c.what = idEnd == std::string::npos ? "" : rest.substr(idEnd + 1);
            c.line = lineNumber;
            corpus.cases.push_back(c);
        } else if (corpus.cases.empty() || !ReadDirective(name, rest, corpus.cases.back())) {
            corpus.errors.push_back("line " + std::to_string(lineNumber) + ": " + line);
        }
    }
    return corpus;
}

const Corpus& TheCorpus() {
    static const Corpus corpus = LoadCorpus();
    return corpus;
}

std::string Expected(const IniCase& c) {
#ifdef _WIN32
    if (c.wantWindows) return *c.wantWindows;
#else
    if (c.wantPosix) return *c.wantPosix;
#endif
    return c.want.value_or("(no answer given)");
}

std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\') {
            out += c;
        } else {
            const char* digits = "0123456789ABCDEF";
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
    }
    return out.size() > 200 ? out.substr(0, 200) + "..." : out;
}

const char* OrNull(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
}

// Where the call finds the file, as the case asks; may make `folder` current.
std::string PathFor(const IniCase& c, const std::string& folder) {
    const std::string name = "case.ini";
    const std::string separator(1, platform::kPathSeparator);
    if (c.where == "bare") return name;
    if (c.where == "dot") return "." + separator + name;
    if (c.where == "sub") return "sub" + separator + name;
    if (c.where == "missing-folder") return support::Join(support::Join(folder, "missing"), name);
    if (c.where == "folder-itself") return folder;
    if (c.where == "empty") return "";
    if (c.where == "quoted") return "\"" + support::Join(folder, name) + "\"";
    std::string path = support::Join(folder, name);
    if (c.where == "slash") {
        for (char& ch : path) {
            if (ch == '\\') ch = '/';
        }
    }
    return path;
}

TEST(IniCorpus, IsReadWholeAndLargeEnough) {
    const Corpus& corpus = TheCorpus();
    for (const std::string& error : corpus.errors) ADD_FAILURE() << "corpus: " << error;
    EXPECT_GE(corpus.cases.size(), 40u);
    for (const IniCase& c : corpus.cases) {
        EXPECT_TRUE(c.want || (c.wantPosix && c.wantWindows))
            << c.id << " needs an answer for both builds";
        EXPECT_TRUE(c.isInt || c.size > 0 || !c.want) << c.id << " has no call";
    }
}

class IniCorpusCase : public testing::TestWithParam<IniCase> {};

TEST_P(IniCorpusCase, AnswersAsTheWindowsReader) {
    const IniCase& c = GetParam();
    SCOPED_TRACE("corpus line " + std::to_string(c.line) + ": " + c.id + " " + c.what);

    support::TempFolder folder("ini-" + c.id);
    std::string fileFolder = folder.path;
    if (c.where == "sub") {
        fileFolder = folder.File("sub");
        std::filesystem::create_directories(fileFolder);
    }
    if (c.writeFile) support::WriteWholeFile(support::Join(fileFolder, "case.ini"), c.file);

    const bool changeFolder = c.where == "bare" || c.where == "dot" || c.where == "sub";
    const std::filesystem::path previous = std::filesystem::current_path();
    if (changeFolder) std::filesystem::current_path(folder.path);
    const std::string path = PathFor(c, folder.path);
    const std::string expected = Expected(c);

    if (c.isInt) {
        const platform::DWORD number = platform::GetPrivateProfileIntA(
            OrNull(c.section), OrNull(c.key), c.defaultNumber, path.c_str());
        EXPECT_EQ(std::to_string(static_cast<std::int32_t>(number)), expected);
    } else {
        // Room beyond the size, to see that nothing is written past it.
        constexpr std::size_t kSlack = 16;
        std::vector<char> buffer(c.size + kSlack, '~');
        const platform::DWORD length = platform::GetPrivateProfileStringA(
            OrNull(c.section), OrNull(c.key), OrNull(c.defaultText), buffer.data(), c.size,
            path.c_str());
        ASSERT_LT(length, c.size);
        EXPECT_EQ(Printable(std::string(buffer.data(), length)), Printable(expected));
        EXPECT_EQ(length, expected.size());
        EXPECT_EQ(buffer[length], '\0');
        for (std::size_t i = c.size; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], '~') << "byte " << i << " written past the size";
        }
    }
    if (changeFolder) std::filesystem::current_path(previous);
}

std::string CaseName(const testing::TestParamInfo<IniCase>& info) { return info.param.id; }

INSTANTIATE_TEST_SUITE_P(Corpus, IniCorpusCase, testing::ValuesIn(TheCorpus().cases), CaseName);

}  // namespace
