// The server's command line from the first line of the command file.
#include <gtest/gtest.h>

#include <string>

#include "service_test_support.h"
#include "supervision/command_file.h"

namespace {

using service_test::WriteBytes;

class CommandFileTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = support::MakeFreshFolder("command-file"); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // Writes the file and reads its command line; the result code goes to code_.
    std::string Read(const std::string& bytes) {
        const std::filesystem::path file = folder_ / "server.cmd";
        WriteBytes(file, bytes);
        char line[kCommandLineSize];
        std::memset(line, 'X', sizeof line);
        code_ = ReadServerCommandLine(file.string().c_str(), line, sizeof line);
        return code_ == 0 ? std::string(line) : std::string("<none>");
    }

    std::filesystem::path folder_;
    platform::DWORD code_ = 12345;
};

// --- Files that give no command line --------------------------------------------------

TEST_F(CommandFileTest, AMissingFileGivesCode2) {
    char line[kCommandLineSize];
    EXPECT_EQ(ReadServerCommandLine((folder_ / "missing.cmd").string().c_str(), line, sizeof line),
              kNoCommandFile);
}

TEST_F(CommandFileTest, ANameLostToAFailedAllocationBehavesAsAMissingFile) {
    char line[kCommandLineSize];
    EXPECT_EQ(ReadServerCommandLine(nullptr, line, sizeof line), kNoCommandFile);
}

TEST_F(CommandFileTest, AFolderInsteadOfAFileGivesNoLine) {
    char line[kCommandLineSize];
    const platform::DWORD code = ReadServerCommandLine(folder_.string().c_str(), line, sizeof line);
    // Linux opens a folder and fails the read; either way no command line comes of it.
    EXPECT_TRUE(code == kNoCommandFile || code == kNoCommandLine) << code;
}

// What each file's bytes give: the command line, or "<none>" for code 9.
struct FirstLineCase {
    const char* what;
    std::string bytes;
    std::string want;
};

TEST_F(CommandFileTest, TheFirstLineRules) {
    const FirstLineCase cases[] = {
        {"an empty file", "", "<none>"},
        {"data that begins with Ctrl-Z", "\x1A" "server.exe\r\n", "<none>"},
        {"only a byte order mark", "\xEF\xBB\xBF", "<none>"},
        {"only carriage returns", "\r\r", "<none>"},
        {"CR LF ends the line", "server.exe -port 7777\r\nsecond line\r\n",
         "server.exe -port 7777"},
        {"LF alone ends the line", "server.exe\nsecond\n", "server.exe"},
        {"the only line, without an end", "server.exe run", "server.exe run"},
        {"a CR inside the line is dropped", "ab\rcd\r\r\n", "abcd"},
        {"an empty first line", "\r\nserver.exe\r\n", ""},
        {"only the first line counts", "one two\r\nthree\r\n\x1A", "one two"},
        {"a byte order mark at the start", "\xEF\xBB\xBFserver.exe run\r\n", "server.exe run"},
        {"a byte order mark after the start", "a\xEF\xBB\xBF" "b\r\n", "a\xEF\xBB\xBF" "b"},
        {"Ctrl-Z inside the line", "ab\x1A" "cd\r\n", "ab"},
        {"a zero byte ends the line", std::string("ab\0cd\r\nef\r\n", 11), "ab"},
        {"a zero byte first", std::string("\0cd\r\n", 5), ""},
        {"percent signs and quotes", "\"C:\\My Server\\run.exe\" %1 %%PATH%%\r\n",
         "\"C:\\My Server\\run.exe\" %1 %%PATH%%"},
    };
    for (const FirstLineCase& c : cases) {
        EXPECT_EQ(Read(c.bytes), c.want) << c.what;
        EXPECT_EQ(code_, c.want == "<none>" ? kNoCommandLine : 0u) << c.what;
    }
}

// --- Length -----------------------------------------------------------------------------------

TEST_F(CommandFileTest, AFirstLineOf5000CharactersIsCutAfter4095) {
    std::string longLine;
    for (int i = 0; i < 5000; ++i) longLine += static_cast<char>('a' + i % 26);
    const std::string line = Read(longLine + "\r\nsecond\r\n");
    EXPECT_EQ(line.size(), 4095u);
    EXPECT_EQ(line, longLine.substr(0, 4095));
}

TEST_F(CommandFileTest, ALineOfExactly4095CharactersIsKeptWhole) {
    const std::string longLine(4095, 'x');
    EXPECT_EQ(Read(longLine + "\r\n"), longLine);
}

TEST_F(CommandFileTest, CarriageReturnsDoNotCountTowardsTheLimit) {
    std::string bytes;
    for (int i = 0; i < 4095; ++i) bytes += "y\r";
    EXPECT_EQ(Read(bytes + "z\n"), std::string(4095, 'y'));
}

TEST_F(CommandFileTest, ASmallBufferIsNeverOverrun) {
    const std::filesystem::path file = folder_ / "server.cmd";
    WriteBytes(file, "abcdefgh\r\n");
    char line[6] = {'?', '?', '?', '?', '?', '?'};
    ASSERT_EQ(ReadServerCommandLine(file.string().c_str(), line, 5), 0u);
    EXPECT_STREQ(line, "abcd");
    EXPECT_EQ(line[5], '?');
}

}  // namespace
