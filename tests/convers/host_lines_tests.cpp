#include "convers/HostLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

TEST(HostLines, EveryLineEndEndsALineAndEmptyLinesAreSkipped)
{
    LineSplitter splitter;
    Lines lines;
    EXPECT_TRUE(splitter.feed("a\rb\nc\r\nd\n\re\n\nf", lines));
    EXPECT_EQ(lines, (Lines{"a", "b", "c", "d", "e"}));
    lines.clear();
    EXPECT_TRUE(splitter.feed("g\r", lines));
    EXPECT_EQ(lines, Lines{"fg"});
}

TEST(HostLines, ALineLongerThanTheBoundBreaksTheStream)
{
    LineSplitter splitter;
    Lines lines;
    EXPECT_TRUE(splitter.feed(std::string(LineSplitter::MAX_LINE, 'x') + "\n", lines));
    EXPECT_FALSE(splitter.feed(std::string(LineSplitter::MAX_LINE + 1, 'x'), lines));
}

TEST(HostLines, CommandsAreFoundAfterJunkAndMatchedByUniquePrefixInAnyCase)
{
    const auto host = parseHostLine("ppconvers/\xff\x80HOST xx0xx PP-3.14t Admpun");
    ASSERT_TRUE(host);
    EXPECT_EQ(host->command, HostCommand::Host);
    EXPECT_EQ(host->args, "xx0xx PP-3.14t Admpun");
    EXPECT_EQ(parseHostLine("Login:/\xff\x80host a b c")->command, HostCommand::Host);
    EXPECT_EQ(parseHostLine("/\xff\x80Us bob")->command, HostCommand::User);
    EXPECT_EQ(parseHostLine("/\xff\x80pi")->command, HostCommand::Ping);
    EXPECT_FALSE(parseHostLine("/\xff\x80u bob"));    // umsg, user, uadd, udat
    EXPECT_FALSE(parseHostLine("/\xff\x80zzzz 1"));   // unknown
    EXPECT_FALSE(parseHostLine("/HOST wam1 W-2.81")); // no prefix
}

TEST(HostLines, TextsForStationsLoseEveryControlByteAndKeepEightBitBytes)
{
    EXPECT_EQ(printable("a\rb\nc\x01\x7f\xa0"
                        "d"),
              "abc\xa0"
              "d");
}

TEST(HostLines, HostNamesFollowTheNetworksRules)
{
    EXPECT_TRUE(isValidHostName("wam1"));
    EXPECT_TRUE(isValidHostName("db0abc-10"));
    EXPECT_TRUE(isValidHostName("abcdefghij"));
    EXPECT_FALSE(isValidHostName("abcdefghijk"));
    EXPECT_FALSE(isValidHostName("wam"));
    EXPECT_FALSE(isValidHostName("12345"));
    EXPECT_FALSE(isValidHostName("averylonghost"));
    EXPECT_FALSE(isValidHostName("wam_1"));
}
