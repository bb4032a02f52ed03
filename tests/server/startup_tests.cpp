// Start-up: Palavoro.INI into the server's fields, the link and the beacon
// configured from them, the disabled ports, Root and the configured areas.
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "server/chat.h"
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
              shell, clock, [this] { return MakeSocket(); }, dir)
    {
    }

    std::unique_ptr<ClientSocket> MakeSocket()
    {
        auto made = std::make_unique<FakeSocket>();
        socket = made.get();
        return made;
    }
    void Ini(const std::string& text) { WriteFile(dir + "Palavoro.INI", text); }

    std::vector<std::string> Trace(const std::string& path) { return ReadTraceText(path); }
    std::vector<std::string> Trace() { return Trace(form.Log.LogFile); }

    void ExpectConvertError(const std::string& ini, const std::string& message)
    {
        Ini(ini);
        try {
            form.FormCreate();
            ADD_FAILURE() << "no ConvertError for " << ini;
        } catch (const ConvertError& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
        EXPECT_EQ(form.L2, nullptr) << "start-up went on past the bad number";
    }

    TempDir temp{"palavoro-startup"}; // first, so it is removed after the link and the beacon have gone
    std::string dir = temp.Str() + "/";
    RecordingShell shell;
    ManualClock clock;
    FakeSocket* socket = nullptr;
    TForm1 form;
};

TEST_F(StartupTest, WithoutIniTheBuiltInValuesApply)
{
    form.FormCreate();
    EXPECT_EQ(form.Log.Debug, "YES");
    EXPECT_EQ(form.Log.Trace, 4);
    EXPECT_EQ(form.Log.LogFile, dir + "Palavoro.LOG");
    EXPECT_EQ(form.CallSign, "NOBODY-0");
    EXPECT_EQ(form.Timeout, 600000);
    EXPECT_EQ(form.BeaconEvery, 0);
    EXPECT_EQ(form.Beacon, nullptr);
    ASSERT_NE(socket, nullptr);
    EXPECT_EQ(socket->Host, "127.0.0.1");
    EXPECT_EQ(socket->ConnectPort, 8000u);
    std::vector<std::string> trace = Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), "{PALAVORO} Program Initialization");
    EXPECT_TRUE(shell.Fatal.empty());
}

TEST_F(StartupTest, EmptySectionTakesTheIniDefaultsButStillNoBeacon)
{
    Ini("[PALAVORO]\r\n");
    form.FormCreate();
    EXPECT_EQ(form.Log.Trace, 1);
    EXPECT_EQ(form.Timeout, 600000);
    EXPECT_EQ(form.BeaconEvery, 600000);
    EXPECT_EQ(form.BeaconId, "ID");
    EXPECT_EQ(form.Beacon, nullptr);
    EXPECT_FALSE(form.CreateArea);
}

TEST_F(StartupTest, KeysAreTakenAsTheyAreOrUpperCased)
{
    Ini("[PALAVORO]\r\nIP_ADDRESS=127.0.0.2\r\nTCP_PORT=8123\r\nDEBUG=yes\r\nTRACE=3\r\nLOGFILE=" + dir +
        "Logs.d/"
        "My.Log\r\nCALLSIGN=n0srv-7\r\nLOGIN=op\r\nPASWD=secret\r\nTIMEOUT=0\r\nCREATEAREA=yes\r\nBELL=Y\r\nFORCENAME="
        "YES\r\n");
    std::filesystem::create_directory(dir + "Logs.d");
    form.FormCreate();
    EXPECT_EQ(form.IpAddress, "127.0.0.2");
    EXPECT_EQ(form.TcpPort, 8123);
    EXPECT_EQ(form.Log.Debug, "YES");
    EXPECT_EQ(form.Log.Trace, 3);
    EXPECT_EQ(form.Log.LogFile, dir + "Logs.d/My.Log");
    EXPECT_EQ(form.CallSign, "N0SRV-7");
    EXPECT_EQ(form.Timeout, 0);
    EXPECT_TRUE(form.CreateArea);
    EXPECT_FALSE(form.Bell);
    EXPECT_TRUE(form.ForceName);

    ASSERT_NE(form.L2, nullptr);
    EXPECT_EQ(form.L2->CallSign, "N0SRV-7");
    EXPECT_EQ(form.L2->LoginUser, "OP");
    EXPECT_EQ(form.L2->LoginPassword, "SECRET");
    EXPECT_EQ(form.L2->Log.LogFile, dir + "Logs.d/My.Log");
    EXPECT_EQ(form.L2->Log.Trace, 3);
    EXPECT_EQ(form.L2->Monitor, "N");
    EXPECT_FALSE(form.L2->RawFrames);
    EXPECT_FALSE(form.L2->PortPolling);
    EXPECT_EQ(socket->Host, "127.0.0.2");
    EXPECT_EQ(socket->ConnectPort, 8123u);
}

TEST_F(StartupTest, HostNameIsUsedInsteadOfTheAddress)
{
    Ini("[PALAVORO]\r\nHOSTNAME=localhost\r\n");
    form.FormCreate();
    EXPECT_EQ(socket->Host, "localhost");
}

TEST_F(StartupTest, EveryLinkEventHasItsHandler)
{
    form.FormCreate();
    TL2& link = *form.L2;
    EXPECT_TRUE(link.FOnConnectEx && link.FOnDisconnect && link.FOnData && link.FOnAGWUp && link.FOnAGWDown &&
                link.FOnAGWError && link.FOnRegister && link.FOnVersion && link.FOnPort);
}

TEST_F(StartupTest, BeaconIsConfiguredButWaitsForThePortList)
{
    Ini("[PALAVORO]\r\nCALLSIGN=n0srv\r\nTRACE=2\r\n[BEACON]\r\nTEXT=Chat on N0SRV\r\nEVERY=60000\r\nID=beacon\r\n"
        "VIA=wide1-1 wide2-1\r\n");
    form.FormCreate();
    ASSERT_NE(form.Beacon, nullptr);
    EXPECT_EQ(form.Beacon->Text, "Chat on N0SRV");
    EXPECT_EQ(form.Beacon->Interval, 60000);
    EXPECT_EQ(form.Beacon->ID, "BEACON");
    EXPECT_EQ(form.Beacon->Via, "WIDE1-1 WIDE2-1");
    EXPECT_EQ(form.Beacon->CallSign, "N0SRV");
    EXPECT_EQ(form.Beacon->AGWL2, form.L2.get());
    EXPECT_EQ(form.Beacon->Log.Trace, 2);
    EXPECT_TRUE(static_cast<bool>(form.Beacon->OnBeacon));
    EXPECT_FALSE(form.Beacon->Active);
    EXPECT_EQ(form.Beacon->BeaconTimer, nullptr);
}

TEST_F(StartupTest, BeaconNeedsBothTextAndInterval)
{
    Ini("[BEACON]\r\nTEXT=Hello\r\nEVERY=0\r\n");
    form.FormCreate();
    EXPECT_EQ(form.Beacon, nullptr);
}

TEST_F(StartupTest, DisableListTurnsOffValidPortsOnlyAndTracesThemFirst)
{
    Ini("[PALAVORO]\r\nDISABLE=1,3,x,0,101,,250,-2,+4,99999999999\r\n");
    form.FormCreate();
    for (int port = 1; port <= MAX_ENABLE_PORTS; ++port)
        EXPECT_EQ(form.PortEnabled[static_cast<size_t>(port)], port != 1 && port != 3) << "port " << port;
    std::vector<std::string> trace = Trace();
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 3),
              (std::vector<std::string>{"{CHAT} Port(1) Disabled", "{CHAT} Port(3) Disabled",
                                        "{PALAVORO} Program Initialization"}));
}

TEST_F(StartupTest, AreasFollowTheFileAndRefuseTakenIds)
{
    Ini("[PALAVORO]\r\nCALLSIGN=N0SRV\r\n[AREAS]\r\n0=Zero\r\n5=Five\r\nx=Skipped\r\n=Nothing\r\n5=Again\r\n"
        "007=Bond\r\n");
    form.FormCreate();
    std::vector<std::pair<int32_t, std::string>> areas;
    for (const TArea& area : form.AreaList) {
        areas.emplace_back(area.Id, area.Topic);
        EXPECT_TRUE(area.Lock);
        EXPECT_EQ(area.Owner, "N0SRV");
    }
    EXPECT_EQ(areas, (std::vector<std::pair<int32_t, std::string>>{{0, "Root"}, {5, "Five"}, {7, "Bond"}}));
    std::vector<std::string> trace = Trace();
    auto has = [&](const std::string& line) { return std::find(trace.begin(), trace.end(), line) != trace.end(); };
    EXPECT_TRUE(has("{PALAVORO} <AddArea> Area(0) Already defined, creation ignored"));
    EXPECT_TRUE(has("{PALAVORO} <AddArea> Area(5) Already defined, creation ignored"));
    EXPECT_TRUE(has("{PALAVORO} Created Area(5) Description(Five)"));
    EXPECT_TRUE(has("{PALAVORO} Created Area(7) Description(Bond)"));
    EXPECT_TRUE(has("{PALAVORO} Root Area Created"));
}

TEST_F(StartupTest, LogFileKeepsItsCaseAndTheDefaultLogKeepsThePathDump)
{
    Ini("[PALAVORO]\r\nLOGFILE=" + dir + "Other.Log\r\n");
    form.FormCreate();
    EXPECT_EQ(form.Log.LogFile, dir + "Other.Log");
    EXPECT_FALSE(Trace(dir + "Other.Log").empty());
    std::ifstream dump(dir + "Palavoro.LOG", std::ios::binary);
    std::string first;
    std::getline(dump, first);
    EXPECT_EQ(first, TraceLog::HexLine((dir + "Palavoro.LOG").substr(0, 16)) + "\r");
}

TEST_F(StartupTest, NumberThatDoesNotConvertStopsStartUpNamingTheKey)
{
    ExpectConvertError("[PALAVORO]\r\nTCP_PORT=abc\r\n", "Palavoro.INI: [PALAVORO] TCP_PORT=abc is not a number");
}

TEST_F(StartupTest, TraceTimeoutAndEveryMustBeNumbers)
{
    ExpectConvertError("[PALAVORO]\r\nTRACE=lots\r\n", "Palavoro.INI: [PALAVORO] TRACE=lots is not a number");
    ExpectConvertError("[PALAVORO]\r\nTIMEOUT=1e6\r\n", "Palavoro.INI: [PALAVORO] TIMEOUT=1e6 is not a number");
    ExpectConvertError("[BEACON]\r\nEVERY=10 min\r\n", "Palavoro.INI: [BEACON] EVERY=10 min is not a number");
}

TEST_F(StartupTest, TcpPortBeyondSixteenBitsIsRefused)
{
    ExpectConvertError("[PALAVORO]\r\nTCP_PORT=70000\r\n",
                       "Palavoro.INI: [PALAVORO] TCP_PORT=70000 is not a TCP port number");
}

TEST_F(StartupTest, AreaIdBeyondThirtyTwoBitsIsRefused)
{
    ExpectConvertError("[AREAS]\r\n4294967296=Huge\r\n",
                       "Palavoro.INI: [AREAS] 4294967296=Huge has an area id that is not a 32-bit number");
}

} // namespace
