// The one reading of the station's files: every problem at once, each marked
// as stopping start-up or as a warning.
#include "fakes/TempDir.h"
#include "server/Settings.h"
#include "server/SettingsCheck.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <string>
#include <vector>

namespace {

using Problems = std::vector<SettingsProblem>;

SettingsProblem stops(std::string text)
{
    return {std::move(text), true};
}
SettingsProblem warns(std::string text)
{
    return {std::move(text), false};
}

class SettingsCheckTest : public ::testing::Test {
protected:
    Problems check(const std::string& ini)
    {
        writeFile(path, ini);
        return checkStation(dir, lookup);
    }
    // Only this name does not resolve: no test asks a real resolver.
    HostLookup lookup = [](const std::string& host) {
        return host == "mynode" ? std::string("Name or service not known") : std::string();
    };

    TempDir temp{"palavoro-check"};
    std::string dir = temp.str() + "/";
    std::string path = temp.file("Palavoro.INI");
};

TEST_F(SettingsCheckTest, TheSampleStationsFileHasNoProblem)
{
    EXPECT_EQ(check("[PALAVORO]\r\ncallsign=n0srv-5\r\nTRACE=5\r\nTIMEOUT=0\r\nIDLE=1800000\r\nDISABLE=2,100\r\n"
                    "STATUS=NOT\r\nRECONNECT=5000\r\nMAXAREAS=20\r\nCREATEAREA=yes\r\nBELL=no\r\nLOGSIZE=0\r\n"
                    "[BEACON]\r\nTEXT=Chat\r\nEVERY=600000\r\n[AREAS]\r\n1=General chat\r\n2=Other\r\n"),
              Problems{});
}

TEST_F(SettingsCheckTest, EveryProblemIsReportedNotOnlyTheFirst)
{
    EXPECT_EQ(check("[PALAVORO]\nTCP_PORT=70000\nTRACE=9\nTIMEOUT=1e6\nIDLE=-1\nCALLSIGN=N0CALL-16\n"
                    "TIMOUT=5\nDISABLE=2,x,101\nSTATUS=8080:host\n[BEACON]\nEVERY=often\nPATH=WIDE1-1\n"
                    "[AREAS]\n4294967296=Huge\n"),
              (Problems{
                  stops("Palavoro.INI: [PALAVORO] TCP_PORT=70000 is not a TCP port number"),
                  warns("Palavoro.INI: [PALAVORO] TRACE=9 is not a level from 1 to 5"),
                  stops("Palavoro.INI: [PALAVORO] CALLSIGN=N0CALL-16 is not an AX.25 callsign (1 to 6 letters or "
                        "digits, then -0 to -15)"),
                  stops("Palavoro.INI: [PALAVORO] TIMEOUT=1e6 is not a number"),
                  warns("Palavoro.INI: [PALAVORO] IDLE=-1 is below 0 (taken as 0, no limit)"),
                  warns("Palavoro.INI: [PALAVORO] DISABLE=2,x,101 names 'x', which is not a port from 1 to 100"),
                  warns("Palavoro.INI: [PALAVORO] DISABLE=2,x,101 names '101', which is not a port from 1 to 100"),
                  stops("Palavoro.INI: [PALAVORO] STATUS=8080:host is not address:port, a port, or NOT"),
                  stops("Palavoro.INI: [BEACON] EVERY=often is not a number"),
                  stops("Palavoro.INI: [AREAS] 4294967296=Huge has an area id that is not a 32-bit number"),
                  warns("Palavoro.INI: [PALAVORO] TIMOUT is not a known key"),
                  warns("Palavoro.INI: [BEACON] PATH is not a known key"),
              }));
}

TEST_F(SettingsCheckTest, ValuesStartUpWouldTakeOtherwiseThanWrittenAreSaid)
{
    EXPECT_EQ(
        check("[PALAVORO]\nCALLSIGN=N0SRV\nCREATEAREA=MAYBE\nMAXAREAS=-1\nTIMEOUT=0\nTIMEOUT=8000\n[BEACNO]\nTEXT=Hi\n"
              "[AREAS]\nx=Test\n0=Zero\n3=Three\n3=Again\n"),
        (Problems{
            warns("Palavoro.INI: [PALAVORO] CREATEAREA=MAYBE is not YES or NOT (taken as NOT)"),
            warns("Palavoro.INI: [PALAVORO] MAXAREAS=-1 is below 0 (taken as 0)"),
            warns("Palavoro.INI: [AREAS] x=Test has an id that is not a number (the line is skipped)"),
            warns("Palavoro.INI: [AREAS] 0=Zero is Root's id (the line is skipped)"),
            warns("Palavoro.INI: [AREAS] 3=Again repeats an area id (the first line counts)"),
            warns("Palavoro.INI: [PALAVORO] TIMEOUT=8000 is given again (the first, 0, counts)"),
            warns("Palavoro.INI: [BEACNO] is not a known section"),
        }));
}

TEST_F(SettingsCheckTest, ASectionWithoutItsBracketIsSaidOnOneLine)
{
    const Problems problems = check("CALLSIGN=N0X\r\n[PALAVORO\r\nTCP_PORT=1]\r\n");
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_EQ(problems[0], stops("Palavoro.INI: " + std::string(CALLSIGN_MISSING)));
    EXPECT_EQ(problems[1], warns("Palavoro.INI: lines before the first [section] are not read"));
    // How far the reader takes the name past the line end is its own affair.
    const std::string& text = problems[2].text;
    EXPECT_FALSE(problems[2].stops);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("Palavoro.INI: [PALAVORO\\", 0), 0u) << text;
    EXPECT_TRUE(text.ends_with("] is not a known section")) << text;
}

TEST_F(SettingsCheckTest, AnAddressThatIsNoNumberStopsUnlessAHostNameIsSet)
{
    EXPECT_EQ(check("[PALAVORO]\nCALLSIGN=N0SRV\nIP_ADDRESS=not.an.ip\n"),
              Problems{stops("Palavoro.INI: [PALAVORO] IP_ADDRESS=not.an.ip is not a numeric address (a host name "
                             "goes in HOSTNAME)")});
    EXPECT_EQ(check("[PALAVORO]\nCALLSIGN=N0SRV\nIP_ADDRESS=::1\n"), Problems{});
    EXPECT_EQ(check("[PALAVORO]\nCALLSIGN=N0SRV\nIP_ADDRESS=not.an.ip\nHOSTNAME=engine.local\n"), Problems{});
    EXPECT_EQ(check("[PALAVORO]\nCALLSIGN=N0SRV\nHOSTNAME=mynode\n"),
              Problems{warns("Palavoro.INI: [PALAVORO] HOSTNAME=mynode does not resolve (Name or service not known): "
                             "this key is the AGW engine's host; this node's name on the network is [CONVERS] "
                             "HOSTNAME")});
}

TEST_F(SettingsCheckTest, AnotherModulesSectionIsKnownAndChecked)
{
    addIniSection({"LINKTEST", {"PEER"}, [](const Profile::Document& ini, Problems& problems) {
                       if (ini.value("LINKTEST", "PEER", "").empty())
                           problems.push_back(stops("Palavoro.INI: [LINKTEST] PEER is missing"));
                   }});
    EXPECT_EQ(check("[PALAVORO]\nCALLSIGN=N0SRV\n[LinkTest]\nPEER=\nOTHER=1\n"),
              (Problems{warns("Palavoro.INI: [LinkTest] OTHER is not a known key"),
                        stops("Palavoro.INI: [LINKTEST] PEER is missing")}));
    addIniSection({"LINKTEST", {}, {}});
}

TEST_F(SettingsCheckTest, AMissingFileStopsStartUpForWantOfACallsign)
{
    std::filesystem::remove(path);
    EXPECT_EQ(checkStation(dir), Problems{stops(path + ": no such file, so " + CALLSIGN_MISSING)});
}

TEST_F(SettingsCheckTest, AnUnreadableFileStopsStartUpInsteadOfReadingAsEmpty)
{
    std::filesystem::create_directory(path); // unreadable as a file, even for root
    EXPECT_EQ(checkStation(dir), Problems{stops(path + ": cannot be read: not a file")});
}

TEST_F(SettingsCheckTest, AStationDirectoryThatCannotBeWrittenIsSaid)
{
    check("[PALAVORO]\nCALLSIGN=N0SRV\n");
    std::filesystem::permissions(dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    // Root writes anywhere its permission bits say no; not in a process's /proc entry.
    const std::string station = ::access(dir.c_str(), W_OK) == 0 ? "/proc/1/" : dir;
    const int expectedError = station == dir ? EACCES : EPERM;
    const Problems problems = checkStation(station);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems.back(),
              warns("Palavoro: the station directory " + station + " is not writable (" + std::strerror(expectedError) +
                    "): names (/NA) and personal data (/P) cannot be saved, nor the trace written "
                    "there"));
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
    EXPECT_EQ(check("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nENGINEWAIT=-1\r\n"),
              (Problems{warns("Palavoro.INI: [PALAVORO] ENGINEWAIT=-1 is below 0 (taken as 0, never)")}));
}

} // namespace
