// The operator's check of Palavoro.INI: every problem at once, where start-up
// stops at the first.
#include "fakes/TempDir.h"
#include "server/Settings.h"
#include "server/SettingsCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <string>
#include <vector>

namespace {

using Problems = std::vector<std::string>;

class SettingsCheckTest : public ::testing::Test {
protected:
    Problems check(const std::string& ini)
    {
        writeFile(path, ini);
        return checkSettings(path);
    }

    TempDir temp{"palavoro-check"};
    std::string path = temp.file("Palavoro.INI");
};

TEST_F(SettingsCheckTest, TheSampleStationsFileHasNoProblem)
{
    EXPECT_EQ(check("[PALAVORO]\r\ncallsign=n0call-5\r\nTRACE=5\r\nTIMEOUT=0\r\nIDLE=1800000\r\nDISABLE=2,100\r\n"
                    "STATUS=NOT\r\nRECONNECT=5000\r\nMAXAREAS=20\r\n[BEACON]\r\nTEXT=Chat\r\nEVERY=600000\r\n"
                    "[AREAS]\r\n1=General chat\r\nx=skipped\r\n"),
              Problems{});
}

TEST_F(SettingsCheckTest, EveryProblemIsReportedNotOnlyTheFirst)
{
    EXPECT_EQ(check("[PALAVORO]\nTCP_PORT=70000\nTRACE=9\nTIMEOUT=1e6\nIDLE=-1\nCALLSIGN=N0CALL-16\n"
                    "TIMOUT=5\nDISABLE=2,x,101\nSTATUS=8080:host\n[BEACON]\nEVERY=often\nPATH=WIDE1-1\n"
                    "[AREAS]\n4294967296=Huge\n"),
              (Problems{
                  "Palavoro.INI: [PALAVORO] TCP_PORT=70000 is not a TCP port number",
                  "Palavoro.INI: [PALAVORO] TIMEOUT=1e6 is not a number",
                  "Palavoro.INI: [PALAVORO] STATUS=8080:host is not address:port, a port, or NOT",
                  "Palavoro.INI: [BEACON] EVERY=often is not a number",
                  "Palavoro.INI: [AREAS] 4294967296=Huge has an area id that is not a 32-bit number",
                  "Palavoro.INI: [PALAVORO] TIMOUT is not a known key",
                  "Palavoro.INI: [BEACON] PATH is not a known key",
                  "Palavoro.INI: [PALAVORO] CALLSIGN=N0CALL-16 is not an AX.25 callsign (1 to 6 letters or "
                  "digits, then -0 to -15)",
                  "Palavoro.INI: [PALAVORO] TRACE=9 is not a level from 1 to 5",
                  "Palavoro.INI: [PALAVORO] IDLE=-1 is below 0",
                  "Palavoro.INI: [PALAVORO] DISABLE=2,x,101 names 'x', which is not a port from 1 to 100",
                  "Palavoro.INI: [PALAVORO] DISABLE=2,x,101 names '101', which is not a port from 1 to 100",
              }));
}

TEST_F(SettingsCheckTest, AMissingFileIsAProblem)
{
    const Problems problems = checkSettings(temp.file("missing.INI"));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("missing.INI: no such file"), std::string::npos);
}

TEST_F(SettingsCheckTest, AnUnreadableFileIsAProblemNotAnEmptyFile)
{
    check("[PALAVORO]\nTIMOUT=5\n");
    std::filesystem::permissions(path, std::filesystem::perms::none);
    if (std::ifstream(path)) // root reads it all the same
        GTEST_SKIP() << "the file stays readable for this user";
    EXPECT_EQ(checkSettings(path), Problems{path + ": cannot be read: Permission denied"});
}

TEST(CallSign, OneToSixLettersOrDigitsWithAnSsidFrom0To15)
{
    for (const char* good : {"N0CALL", "n0call-5", "A", "NOBODY-0", "K1ABC-15", "123456"})
        EXPECT_TRUE(isValidCallSign(good)) << good;
    for (const char* bad : {"", "-1", "N0CALLS", "N0CALL-16", "N0CALL-", "N0-1-2", "N0 CAL", "N0/P", "N0CALL-01x"})
        EXPECT_FALSE(isValidCallSign(bad)) << bad;
}

TEST(StatusListen, AddressAndPortOrAPortOnLoopbackOrOff)
{
    StatusListen listen;
    ASSERT_TRUE(parseStatusListen("0.0.0.0:8081", listen));
    EXPECT_TRUE(listen.on);
    EXPECT_EQ(listen.address, "0.0.0.0");
    EXPECT_EQ(listen.port, 8081);
    ASSERT_TRUE(parseStatusListen("9000", listen));
    EXPECT_EQ(listen.address, "127.0.0.1");
    EXPECT_EQ(listen.port, 9000);
    ASSERT_TRUE(parseStatusListen("[::1]:8080", listen));
    EXPECT_EQ(listen.address, "::1");
    ASSERT_TRUE(parseStatusListen("localhost:80", listen));
    EXPECT_EQ(listen.address, "127.0.0.1");
    for (const char* off : {"", "NOT", "not"}) {
        ASSERT_TRUE(parseStatusListen(off, listen));
        EXPECT_FALSE(listen.on);
    }
    for (const char* bad : {"8080:host", "127.0.0.1:", "127.0.0.1:65536", "1.2.3:80", "1.2.3.256:80", "::1:80",
                            "[::1]8080", "host:80", "0"})
        EXPECT_FALSE(parseStatusListen(bad, listen)) << bad;
}

TEST_F(SettingsCheckTest, AnEngineWaitBelowZeroIsAProblem)
{
    EXPECT_EQ(check("[PALAVORO]\r\nCALLSIGN=N0CALL\r\nENGINEWAIT=-1\r\n"),
              Problems{"Palavoro.INI: [PALAVORO] ENGINEWAIT=-1 is below 0"});
}

} // namespace
