// Start-up: Palavoro.INI into the server's fields, the link and the beacon
// configured from them, the disabled ports, Root and the configured areas.
#include "fakes/AgwLinkProbe.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "server/ChatServer.h"
#include "support/HexStr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

class StartupTest : public ::testing::Test {
protected:
    StartupTest()
        : form(
              shell, clock, [this] { return makeSocket(); }, dir)
    {
    }

    std::unique_ptr<ClientSocket> makeSocket()
    {
        auto made = std::make_unique<FakeSocket>();
        socket = made.get();
        return made;
    }
    void writeIni(const std::string& text) { writeFile(dir + "Palavoro.INI", text); }

    std::vector<std::string> traceLines(const std::string& path) { return readTraceText(path); }
    std::vector<std::string> traceLines() { return traceLines(form.traceLog().logFile); }

    void expectConvertError(const std::string& ini, const std::string& message)
    {
        writeIni(ini);
        try {
            form.start();
            ADD_FAILURE() << "no StartupError for " << ini;
        } catch (const StartupError& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
        EXPECT_EQ(form.link(), nullptr) << "start-up went on past the bad number";
        // The reason is in the trace, which the station's file did not get to configure.
        const std::vector<std::string> trace = traceLines(dir + "Palavoro.LOG");
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(trace.back(), "{PALAVORO} Start-up refused: " + message);
    }

    TempDir temp{"palavoro-startup"}; // first, so it is removed after the link and the beacon have gone
    std::string dir = temp.str() + "/";
    RecordingShell shell;
    ManualClock clock;
    FakeSocket* socket = nullptr;
    ChatServer form;
};

TEST_F(StartupTest, WithoutIniNothingGoesOnTheAirForWantOfACallsign)
{
    EXPECT_THROW(form.start(), StartupError);
    EXPECT_EQ(socket, nullptr);
    EXPECT_EQ(traceLines(dir + "Palavoro.LOG").back(),
              "{PALAVORO} Start-up refused: " + dir + "Palavoro.INI: no such file, so " + CALLSIGN_MISSING);
    expectConvertError("[PALAVORO]\r\nCALLSING=N0SYS-5\r\n", "Palavoro.INI: " + std::string(CALLSIGN_MISSING));
}

TEST_F(StartupTest, EmptySectionTakesTheIniDefaultsButStillNoBeacon)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n");
    form.start();
    EXPECT_EQ(form.traceLog().level, 1);
    EXPECT_EQ(form.settings().timeout, 600000);
    EXPECT_EQ(form.settings().beaconEvery, 600000);
    EXPECT_EQ(form.settings().beaconId, "ID");
    EXPECT_EQ(form.beacon(), nullptr);
    EXPECT_FALSE(form.settings().createArea);
}

TEST_F(StartupTest, KeysAreTakenAsTheyAreOrUpperCased)
{
    writeIni("[PALAVORO]\r\nIP_ADDRESS=127.0.0.2\r\nTCP_PORT=8123\r\nDEBUG=yes\r\nTRACE=3\r\n"
             "LOGFILE=" +
             dir +
             "Logs.d/My.Log\r\n"
             "CALLSIGN=n0srv-7\r\nLOGIN=op\r\nPASWD=secret\r\nTIMEOUT=0\r\nIDLE=1800000\r\n"
             "STATUS=0.0.0.0:9000\r\nCREATEAREA=yes\r\nBELL=Y\r\nFORCENAME=YES\r\n");
    std::filesystem::create_directory(dir + "Logs.d");
    form.start();
    EXPECT_EQ(form.settings().ipAddress, "127.0.0.2");
    EXPECT_EQ(form.settings().tcpPort, 8123);
    EXPECT_EQ(form.traceLog().debug, "YES");
    EXPECT_EQ(form.traceLog().level, 3);
    EXPECT_EQ(form.traceLog().logFile, dir + "Logs.d/My.Log");
    EXPECT_EQ(form.settings().callSign, "N0SRV-7");
    EXPECT_EQ(form.settings().timeout, 0);
    EXPECT_EQ(form.settings().idle, 1800000);
    EXPECT_EQ(form.settings().status.address, "0.0.0.0");
    EXPECT_EQ(form.settings().status.port, 9000);
    EXPECT_TRUE(form.settings().createArea);
    EXPECT_FALSE(form.settings().bell);
    EXPECT_TRUE(form.settings().forceName);

    ASSERT_NE(form.link(), nullptr);
    EXPECT_EQ(form.link()->callSign(), "N0SRV-7");
    EXPECT_EQ(form.link()->loginUser(), "OP");
    EXPECT_EQ(form.link()->loginPassword(), "SECRET");
    EXPECT_EQ(form.link()->traceLog().logFile, dir + "Logs.d/My.Log");
    EXPECT_EQ(form.link()->traceLog().level, 3);
    EXPECT_EQ(form.link()->monitor(), "N");
    EXPECT_FALSE(AgwLinkProbe::rawFrames(*form.link()));
    EXPECT_FALSE(AgwLinkProbe::portPolling(*form.link()));
    EXPECT_EQ(socket->host, "127.0.0.2");
    EXPECT_EQ(socket->connectPort, 8123u);
}

TEST_F(StartupTest, HostNameIsUsedInsteadOfTheAddress)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nHOSTNAME=localhost\r\n");
    form.start();
    EXPECT_EQ(socket->host, "localhost");
}

TEST_F(StartupTest, EveryLinkEventHasItsHandler)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n");
    form.start();
    AgwLink& link = *form.link();
    EXPECT_TRUE(link.onConnectEx && link.onDisconnect && link.onData && link.onAgwUp && link.onAgwDown &&
                link.onAgwError && link.onRegister && link.onVersion && link.onPort);
}

TEST_F(StartupTest, BeaconIsConfiguredButWaitsForThePortList)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=n0srv\r\nTRACE=2\r\n[BEACON]\r\nTEXT=Chat on N0SRV\r\nEVERY=60000\r\nID=beacon\r\n"
             "VIA=wide1-1 wide2-1\r\n");
    form.start();
    ASSERT_NE(form.beacon(), nullptr);
    EXPECT_EQ(form.beacon()->text(), "Chat on N0SRV");
    EXPECT_EQ(form.beacon()->interval(), 60000);
    EXPECT_EQ(form.beacon()->destination(), "BEACON");
    EXPECT_EQ(form.beacon()->via(), "WIDE1-1 WIDE2-1");
    EXPECT_EQ(form.beacon()->callSign(), "N0SRV");
    EXPECT_EQ(form.beacon()->link(), form.link());
    EXPECT_EQ(form.beacon()->traceLog().level, 2);
    EXPECT_TRUE(static_cast<bool>(form.beacon()->onBeacon));
    EXPECT_FALSE(form.beacon()->isActive());
    EXPECT_EQ(form.beacon()->timer(), nullptr);
}

TEST_F(StartupTest, BeaconNeedsBothTextAndInterval)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n[BEACON]\r\nTEXT=Hello\r\nEVERY=0\r\n");
    form.start();
    EXPECT_EQ(form.beacon(), nullptr);
}

TEST_F(StartupTest, DisableListTurnsOffValidPortsOnlyAndTracesThemFirst)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nDISABLE=1,3,x,0,101,,250,-2,+4,99999999999\r\n");
    form.start();
    for (int port = 1; port <= MAX_ENABLE_PORTS; ++port)
        EXPECT_EQ(form.settings().portEnabled[static_cast<size_t>(port)], port != 1 && port != 3) << "port " << port;
    std::vector<std::string> trace = traceLines();
    const auto first = std::find(trace.begin(), trace.end(), "{CHAT} Port(1) Disabled");
    ASSERT_LE(first + 3, trace.end());
    EXPECT_EQ(std::vector<std::string>(first, first + 3),
              (std::vector<std::string>{"{CHAT} Port(1) Disabled", "{CHAT} Port(3) Disabled",
                                        "{PALAVORO} Program Initialization"}));
}

TEST_F(StartupTest, MaxAreasIsThreeUnlessTheFileSaysOtherwise)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n");
    form.start();
    EXPECT_EQ(form.settings().maxAreas, 3);
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nMAXAREAS=1\r\n");
    form.start();
    EXPECT_EQ(form.settings().maxAreas, 1);
}

TEST_F(StartupTest, DisableTakesTheLastValidPort)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nDISABLE=100\r\n");
    form.start();
    EXPECT_FALSE(form.settings().portEnabled[100]);
    EXPECT_TRUE(form.settings().portEnabled[99]);
    EXPECT_EQ(traceLines().at(1), "{CHAT} Port(100) Disabled");
}

TEST_F(StartupTest, AreasFollowTheFileAndRefuseTakenIds)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n[AREAS]\r\n0=Zero\r\n5=Five\r\nx=Skipped\r\n=Nothing\r\n5=Again\r\n"
             "007=Bond\r\n");
    form.start();
    std::vector<std::pair<int32_t, std::string>> areas;
    for (const Area& area : form.directory().areas()) {
        areas.emplace_back(area.id, area.topic);
        EXPECT_TRUE(area.lock);
        EXPECT_EQ(area.owner, "N0SRV");
    }
    EXPECT_EQ(areas, (std::vector<std::pair<int32_t, std::string>>{{0, "Root"}, {5, "Five"}, {7, "Bond"}}));
    std::vector<std::string> trace = traceLines();
    auto has = [&](const std::string& line) { return std::find(trace.begin(), trace.end(), line) != trace.end(); };
    EXPECT_TRUE(has("{PALAVORO} <AddArea> Area(0) Already defined, creation ignored"));
    EXPECT_TRUE(has("{PALAVORO} <AddArea> Area(5) Already defined, creation ignored"));
    EXPECT_TRUE(has("{PALAVORO} Created Area(5) Description(Five)"));
    EXPECT_TRUE(has("{PALAVORO} Created Area(7) Description(Bond)"));
    EXPECT_TRUE(has("{PALAVORO} Root Area Created"));
}

TEST_F(StartupTest, LogFileKeepsItsCase)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nLOGFILE=" + dir + "Other.Log\r\n");
    form.start();
    EXPECT_EQ(form.traceLog().logFile, dir + "Other.Log");
    EXPECT_FALSE(traceLines(dir + "Other.Log").empty());
    EXPECT_FALSE(std::filesystem::exists(dir + "Palavoro.LOG"));
}

TEST_F(StartupTest, TheTraceIsKeptAcrossStartsEachBeginningWithWhenWhatAndWhere)
{
    writeFile(dir + "Palavoro.LOG", "an earlier run's trace\r\n");
    form.stats().clock = [] { return int64_t{1796688000000}; }; // 2026-12-08T00:00:00Z
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n");
    form.start();
    const std::vector<std::string> trace = readLines(dir + "Palavoro.LOG");
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[0], "an earlier run's trace");
    EXPECT_EQ(stripTimeStamp(trace[1]), "{PALAVORO} Start 2026-12-08T00:00:00Z Palavoro 0.10 in " + dir);
}

TEST_F(StartupTest, LogSizeBoundsTheTraceInKibibytes)
{
    EXPECT_EQ(form.traceLog().maxBytes, 0);
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n");
    form.start();
    EXPECT_EQ(form.traceLog().maxBytes, 4096 * 1024);
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nLOGSIZE=64\r\n[BEACON]\r\nTEXT=b\r\n");
    form.start();
    EXPECT_EQ(form.traceLog().maxBytes, 64 * 1024);
    EXPECT_EQ(form.link()->traceLog().maxBytes, 64 * 1024);
    EXPECT_EQ(form.beacon()->traceLog().maxBytes, 64 * 1024);
}

TEST_F(StartupTest, WarningsAreTracedAndStartUpGoesOn)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nCREATEAREA=MAYBE\r\n");
    form.start();
    ASSERT_EQ(form.startupProblems().size(), 1u);
    EXPECT_FALSE(form.settings().createArea);
    ASSERT_NE(form.link(), nullptr);
    const std::vector<std::string> trace = traceLines();
    EXPECT_EQ(trace.at(1), "{PALAVORO} " + form.startupProblems()[0].text);
}

TEST_F(StartupTest, ACallsignTheEngineCannotTakeStopsStartUp)
{
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0CALL-16\r\n",
                       "Palavoro.INI: [PALAVORO] CALLSIGN=N0CALL-16 is not an "
                       "AX.25 callsign (1 to 6 letters or digits, then -0 to -15)");
}

TEST_F(StartupTest, NumberThatDoesNotConvertStopsStartUpNamingTheKey)
{
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nTCP_PORT=abc\r\n",
                       "Palavoro.INI: [PALAVORO] TCP_PORT=abc is not a number");
}

TEST_F(StartupTest, TraceTimeoutAndEveryMustBeNumbers)
{
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nTRACE=lots\r\n",
                       "Palavoro.INI: [PALAVORO] TRACE=lots is not a number");
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nTIMEOUT=1e6\r\n",
                       "Palavoro.INI: [PALAVORO] TIMEOUT=1e6 is not a number");
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n[BEACON]\r\nEVERY=10 min\r\n",
                       "Palavoro.INI: [BEACON] EVERY=10 min is not a number");
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nIDLE=30 min\r\n",
                       "Palavoro.INI: [PALAVORO] IDLE=30 min is not a number");
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nSTATUS=web\r\n",
                       "Palavoro.INI: [PALAVORO] STATUS=web is not address:port, a port, or NOT");
}

TEST_F(StartupTest, TcpPortBeyondSixteenBitsIsRefused)
{
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0SRV\r\nTCP_PORT=70000\r\n",
                       "Palavoro.INI: [PALAVORO] TCP_PORT=70000 is not a TCP port number");
}

TEST_F(StartupTest, AreaIdBeyondThirtyTwoBitsIsRefused)
{
    expectConvertError("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n[AREAS]\r\n4294967296=Huge\r\n",
                       "Palavoro.INI: [AREAS] 4294967296=Huge has an area id that is not a 32-bit number");
}

} // namespace

TEST_F(StartupTest, AReloadTakesWhatItCanAtOnceNamesWhatNeedsARestartAndRefusesABadFile)
{
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV-1\r\nTIMEOUT=600000\r\n[CONVERS]\r\nHOSTNAME=pvnode\r\n[LINKS]\r\nwam1=*\r\n");
    form.start();
    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV-2\r\nTIMEOUT=300000\r\nDISABLE=2\r\n[CONVERS]\r\nHOSTNAME=pvnode\r\n"
             "[LINKS]\r\nwam2=*\r\n");
    const ChatServer::ReloadResult result = form.reload();
    EXPECT_TRUE(result.applied);
    EXPECT_EQ(result.lines, (std::vector<std::string>{"CALLSIGN needs a restart: kept as N0SRV-1", "TIMEOUT=300000",
                                                      "DISABLE=2", "[LINKS] wam1 removed", "[LINKS] wam2 added"}));
    EXPECT_EQ(form.settings().callSign, "N0SRV-1");
    EXPECT_EQ(form.settings().timeout, 300000);
    EXPECT_FALSE(form.settings().portAllowed(2));
    EXPECT_EQ(form.network().links().at(0).name, "wam2");

    writeIni("[PALAVORO]\r\nCALLSIGN=N0SRV-1\r\nTIMEOUT=soon\r\n");
    const ChatServer::ReloadResult refused = form.reload();
    EXPECT_FALSE(refused.applied);
    EXPECT_EQ(refused.lines.back(), "nothing changed: the server would not start with this file");
    EXPECT_EQ(form.settings().timeout, 300000);
    EXPECT_EQ(traceLines().back(), "{PALAVORO} Reload refused, nothing changed: " + refused.lines.front());
}
