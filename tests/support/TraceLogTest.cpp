#include "support/TraceLog.h"
#include "fakes/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

using ::testing::ElementsAre;
using namespace std::string_literals;

namespace {

class TraceLogTest : public ::testing::Test {
protected:
    std::string contents() const { return readFile(path); }

    // Lines without their CR LF.
    std::vector<std::string> fileLines() const
    {
        std::vector<std::string> lines;
        const std::string all = contents();
        size_t at = 0;
        while (at < all.size()) {
            size_t end = all.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "every line ends in CR LF";
            if (end == std::string::npos)
                break;
            lines.push_back(all.substr(at, end - at));
            at = end + 2;
        }
        return lines;
    }

    TempDir dir_{"palavoro-trace"};
    std::string path = dir_.file("trace.log");
};

} // namespace

TEST_F(TraceLogTest, LineIsDateTimeAndText)
{
    TraceLog log("YES", 1, path);
    log.writeLog(1, "{L2} Connected with AGWPE");
    const auto lines = fileLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"([^ ]+ [^ ]+ \{L2\} Connected with AGWPE)"))) << lines[0];
}

TEST_F(TraceLogTest, MissingFileIsCreatedAndExistingOneAppendedTo)
{
    TraceLog log("YES", 5, path);
    log.writeLog(1, "one");
    TraceLog other("YES", 5, path);
    other.writeLog(1, "two");
    log.writeLog(5, "three");
    const auto lines = fileLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].ends_with(" one"));
    EXPECT_TRUE(lines[1].ends_with(" two"));
    EXPECT_TRUE(lines[2].ends_with(" three"));
}

TEST_F(TraceLogTest, OnlyExactYesEnablesTracing)
{
    TraceLog log("yes", 5, path);
    log.writeLog(1, "lower case");
    log.debug = "YES ";
    log.writeLog(1, "trailing blank");
    log.debug = "";
    log.writeHex(1, "data");
    EXPECT_FALSE(std::filesystem::exists(path));
    log.debug = "YES";
    log.writeLog(1, "written");
    EXPECT_EQ(fileLines().size(), 1u);
}

TEST_F(TraceLogTest, LevelAboveTraceIsSkipped)
{
    TraceLog log("YES", 3, path);
    log.writeLog(3, "three");
    log.writeLog(4, "four");
    log.writeHex(4, "dump");
    const auto lines = fileLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with(" three"));
}

TEST_F(TraceLogTest, TraceZeroSuppressesEverything)
{
    TraceLog log("YES", 0, path);
    for (uint8_t level = 1; level <= 5; ++level)
        log.writeLog(level, "x");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(TraceLogTest, NegativeTraceSuppressesSignedButPassesUnsignedLevels)
{
    TraceLog link("YES", -1, path);
    link.writeLog(1, "link");
    EXPECT_FALSE(std::filesystem::exists(path));

    TraceLog server("YES", -1, path, true);
    server.writeLog(5, "server");
    server.writeLog(255, "any level");
    EXPECT_EQ(fileLines().size(), 2u);
}

TEST_F(TraceLogTest, HexDumpMatchesTheReferenceExample)
{
    TraceLog log("YES", 5, path);
    log.writeHex(5, "Hello, {world}!~\r\nBye");
    EXPECT_THAT(fileLines(), ElementsAre(" |48 65 6C 6C 6F 2C 20 7B 77 6F 72 6C 64 7D 21 7E |Hello, .world.!.",
                                         " |0D 0A 42 79 65 -- -- -- -- -- -- -- -- -- -- -- |..Bye           "));
}

TEST_F(TraceLogTest, EveryDumpLineIs67Characters)
{
    TraceLog log("YES", 5, path);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    log.writeHex(5, all + "\0z"s);
    const auto lines = fileLines();
    ASSERT_EQ(lines.size(), 17u);
    for (auto& line : lines)
        EXPECT_EQ(line.size(), 67u) << line;
    EXPECT_EQ(lines[2], " |20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F | !\"#$%&'()*+,-./");
    EXPECT_EQ(lines[7], " |70 71 72 73 74 75 76 77 78 79 7A 7B 7C 7D 7E 7F |pqrstuvwxyz.....");
    EXPECT_EQ(lines[15], " |F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF |................");
    EXPECT_EQ(lines[16], " |00 7A -- -- -- -- -- -- -- -- -- -- -- -- -- -- |.z              ");
}

TEST_F(TraceLogTest, SixteenBytesGiveOneLineAndSeventeenTwo)
{
    TraceLog log("YES", 5, path);
    log.writeHex(5, "0123456789ABCDEF");
    EXPECT_THAT(fileLines(), ElementsAre(" |30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 |0123456789ABCDEF"));
    std::filesystem::remove(path);
    log.writeHex(5, "0123456789ABCDEFG");
    const auto lines = fileLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], " |47 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- |G               ");
}

TEST_F(TraceLogTest, EmptyDumpDoesNotTouchTheFile)
{
    TraceLog log("YES", 5, path);
    log.writeHex(1, "");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(TraceLogTest, PastItsBoundTheFileMovesToDotOneAndANewOneBegins)
{
    writeFile(path + ".1", "an older trace");
    TraceLog log("YES", 5, path);
    log.maxBytes = 100;
    log.writeHex(1, std::string(16, 'a')); // 69 bytes
    EXPECT_FALSE(std::filesystem::exists(path + ".1") && readFile(path + ".1") != "an older trace");
    log.writeHex(1, std::string(16, 'b')); // 138: over the bound
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(readFile(path + ".1").size(), 138u);
    log.writeLog(1, "new");
    EXPECT_EQ(fileLines().size(), 1u);
    EXPECT_EQ(readFile(path + ".1").size(), 138u);
}

TEST_F(TraceLogTest, UnwritableFileIsReportedOnceAndNeverThrows)
{
    TraceLog log("YES", 5, path + ".d/missing/trace.log");
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW({
        log.writeLog(1, "one");
        log.writeHex(1, "two");
        log.writeLog(1, "three");
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("missing/trace.log"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "reported once: " << err;
}

TEST_F(TraceLogTest, DirectoryAsLogFileIsSkipped)
{
    std::filesystem::create_directories(path);
    TraceLog log("YES", 5, path);
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(log.writeLog(1, "x"));
    EXPECT_FALSE(::testing::internal::GetCapturedStderr().empty());
    EXPECT_TRUE(std::filesystem::is_directory(path));
}
