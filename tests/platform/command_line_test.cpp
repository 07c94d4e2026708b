// Joining program arguments into one command line, and splitting a server's command line
// into a program and its arguments. Pure helpers: the same cases run on both builds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line.h"

namespace {

std::string Join(const std::vector<const char*>& items) {
    return platform::JoinArguments(static_cast<int>(items.size()), items.data());
}

std::vector<std::string> Split(const char* line, bool expectOk = true) {
    std::vector<std::string> items;
    EXPECT_EQ(platform::SplitCommandLine(line, items), expectOk) << "[" << (line ? line : "null") << "]";
    return items;
}

using Items = std::vector<std::string>;

TEST(JoinArguments, PutsSingleBlanksBetweenPlainItems) {
    EXPECT_EQ(Join({"/opt/t/tallowmere-service", "-/etc/x.ini", "extra"}),
              "/opt/t/tallowmere-service -/etc/x.ini extra");
    EXPECT_EQ(Join({"/opt/t/tallowmere-service"}), "/opt/t/tallowmere-service");
    EXPECT_EQ(Join({}), "");
}

TEST(JoinArguments, QuotesAnItemWithABlankOrATab) {
    // systemd's ExecStart=/opt/t/tallowmere-service "-/etc/my conf/x.ini" hands over the
    // argument without its quotation marks; the command line shows them again, so the
    // settings path after the "-" reads /etc/my conf/x.ini once they are stripped.
    EXPECT_EQ(Join({"/opt/t/tallowmere-service", "-/etc/my conf/x.ini"}),
              "/opt/t/tallowmere-service \"-/etc/my conf/x.ini\"");
    EXPECT_EQ(Join({"/opt/my tools/svc", "-a\tb"}), "\"/opt/my tools/svc\" \"-a\tb\"");
}

TEST(JoinArguments, LeavesAnItemWithAQuotationMarkAsItIs) {
    EXPECT_EQ(Join({"svc", "-\"/etc/my conf/x.ini\""}), "svc -\"/etc/my conf/x.ini\"");
    EXPECT_EQ(Join({"svc", "say \"hi\""}), "svc say \"hi\"");
}

TEST(JoinArguments, KeepsEmptyItemsAsEmpty) {
    EXPECT_EQ(Join({"svc", "", "x"}), "svc  x");
}

TEST(SplitCommandLine, BlanksAndTabsSeparate) {
    EXPECT_EQ(Split("server  --port 7777\t-x"), (Items{"server", "--port", "7777", "-x"}));
    EXPECT_EQ(Split("  server  "), (Items{"server"}));
}

TEST(SplitCommandLine, DoubleAndSingleQuotesGroupAndAreRemoved) {
    EXPECT_EQ(Split("\"/opt/my server/run\" 'a b' \"c\td\""),
              (Items{"/opt/my server/run", "a b", "c\td"}));
    // Each kind of mark is plain text inside the other.
    EXPECT_EQ(Split("say \"it's\" 'the \"one\"'"), (Items{"say", "it's", "the \"one\""}));
}

TEST(SplitCommandLine, QuotedAndPlainPartsJoinIntoOneItem) {
    EXPECT_EQ(Split("run --name=\"a b\"c 'x'\"y\""), (Items{"run", "--name=a bc", "xy"}));
}

TEST(SplitCommandLine, EmptyQuotesAreAnEmptyItem) {
    EXPECT_EQ(Split("run \"\" ''"), (Items{"run", "", ""}));
}

TEST(SplitCommandLine, BackslashIsAnOrdinaryCharacter) {
    EXPECT_EQ(Split("C:\\srv\\run.exe a\\ b \"c\\\" d"),
              (Items{"C:\\srv\\run.exe", "a\\", "b", "c\\", "d"}));
}

TEST(SplitCommandLine, ExpandsNothing) {
    EXPECT_EQ(Split("echo $HOME * ~ `id` $(id) %PATH%"),
              (Items{"echo", "$HOME", "*", "~", "`id`", "$(id)", "%PATH%"}));
}

TEST(SplitCommandLine, KeepsOtherControlCharactersInItems) {
    EXPECT_EQ(Split("run a\rb"), (Items{"run", "a\rb"}));
}

TEST(SplitCommandLine, RefusesALineWithoutItems) {
    EXPECT_TRUE(Split("", false).empty());
    EXPECT_TRUE(Split(" \t ", false).empty());
    EXPECT_TRUE(Split(nullptr, false).empty());
}

TEST(SplitCommandLine, RefusesAnUnclosedQuotationMark) {
    EXPECT_TRUE(Split("run \"a b", false).empty());
    EXPECT_TRUE(Split("run 'a", false).empty());
    EXPECT_TRUE(Split("run \"it's", false).empty());
}

}  // namespace
