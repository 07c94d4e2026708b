// Our own settings-file reader, called directly: what the corpus cannot show through the
// Windows calls (UTF-8 from UTF-16 beyond the code page, null names, the integer parser's
// empty value).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/ini_reader.h"

namespace {

std::string Utf16Le(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string Find(const std::string& file, const char* section = "Tallowmere",
                 const char* key = "Key") {
    std::string value;
    if (!platform::IniFindValue(file.data(), file.size(), section, key, value)) return "(none)";
    return value;
}

TEST(IniReader, TurnsUtf16IntoUtf8BeyondTheBasicPlane) {
    // U+00FC, U+20AC and U+1F600 (a surrogate pair).
    const std::string file = Utf16Le(u"[Tallowmere]\r\nKey=\u00FC\u20AC\U0001F600\r\n");
    EXPECT_EQ(Find(file), "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(IniReader, ReplacesALoneSurrogateAndDropsAnOddLastByte) {
    std::string file = Utf16Le(u"[Tallowmere]\r\nKey=a");
    file.append("\x00\xD8", 2);  // a high surrogate with no partner
    file += "b";
    file += '\0';
    file += "!";  // half a unit
    EXPECT_EQ(Find(file), "a\xEF\xBF\xBD" "b");
}

TEST(IniReader, FindsNothingForANullSectionOrKey) {
    const std::string file = "[Tallowmere]\r\nKey=value\r\n";
    EXPECT_EQ(Find(file, nullptr, "Key"), "(none)");
    EXPECT_EQ(Find(file, "Tallowmere", nullptr), "(none)");
    EXPECT_EQ(Find(file), "value");
}

TEST(IniReader, ParsesNoNumberFromAnEmptyValue) {
    std::uint32_t number = 5;
    EXPECT_FALSE(platform::IniParseInt("", number));
    EXPECT_TRUE(platform::IniParseInt("-7", number));
    EXPECT_EQ(static_cast<std::int32_t>(number), -7);
}

}  // namespace
