#include "beacon/L2Beacon.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AgwFrame.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string NOT_SENT = "{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE";
const std::string TICK = "{L2Beacon} Beacon Timer Tick";
const std::string STARTED = "{L2Beacon} L2 BroadCast Object started";
const std::string STOPPED = "{L2Beacon} L2 BroadCast Object stopped";

std::string Posted(int port)
{
    return "{L2Beacon} Post Performed for Port(" + std::to_string(port) + ")";
}

class BeaconTest : public testing::Test {
protected:
    void SetUp() override
    {
        auto socket = std::make_unique<FakeSocket>();
        fake = socket.get();
        link = std::make_unique<TL2>(std::move(socket), clock);
        // The link's own lines only down to level 2: its refusals, not its frame details.
        TraceInto(link->Log, 2, logFile_);
        link->PortCount = 1;

        beacon = std::make_unique<TL2Beacon>(clock);
        TraceInto(beacon->Log, 4, logFile_);
        beacon->AGWL2 = link.get();
        beacon->CallSign = "N0CALL-1";
        beacon->ID = "CHAT";
        beacon->Text = "Chat server on the air";
    }
    void TearDown() override
    {
        beacon.reset();
        link.reset();
    }

    // The link's own log-in frames and lines are not the beacon's.
    void ConnectLink()
    {
        fake->Connect();
        fake->TakeSent();
        TakeTrace();
    }
    std::vector<AgwFrame> Sent() { return DecodeFrames(fake->TakeSent()); }

    // The trace lines written so far, without their date and time; the file is then emptied.
    Lines TakeTrace()
    {
        Lines lines = ReadTrace(logFile_);
        std::filesystem::remove(logFile_);
        return lines;
    }

    ManualClock clock;
    FakeSocket* fake = nullptr;
    std::unique_ptr<TL2> link;
    std::unique_ptr<TL2Beacon> beacon;
    TempDir dir_{"beacon"};
    std::string logFile_ = dir_.File("trace.log");
};

TEST_F(BeaconTest, NewBeaconHasItsDefaultsAndStaysInactiveWhenGivenAnInterval)
{
    TL2Beacon fresh(clock);
    EXPECT_EQ(fresh.Log.Debug, "NOT");
    EXPECT_EQ(fresh.Log.Trace, 1);
    EXPECT_EQ(fresh.Log.LogFile, "Hopnet.LOG");
    EXPECT_FALSE(fresh.Active);
    EXPECT_EQ(fresh.Interval, 240000);
    EXPECT_EQ(fresh.Text, "*** Beacon ****");
    EXPECT_EQ(fresh.ID, "ID");
    EXPECT_EQ(fresh.CallSign, "NOBODY");
    EXPECT_EQ(fresh.PID, 0xF0);
    EXPECT_EQ(fresh.Via, "");
    EXPECT_EQ(fresh.AGWL2, nullptr);
    EXPECT_FALSE(fresh.BeaconTimer);

    ConnectLink();
    beacon->SetInterval(600000);
    EXPECT_EQ(beacon->Interval, 600000);
    EXPECT_FALSE(beacon->Active);
    EXPECT_FALSE(beacon->BeaconTimer);
    clock.Advance(10 * 600000);
    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_TRUE(TakeTrace().empty());
}

TEST_F(BeaconTest, StartingSendsOneCycleAtOnceThenOneEveryInterval)
{
    ConnectLink();
    beacon->SetInterval(600000);
    beacon->SetActive(true);
    EXPECT_TRUE(beacon->Active);
    ASSERT_TRUE(beacon->BeaconTimer);
    EXPECT_EQ(clock.RunningTimers(), 1u);

    auto frames = Sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Kind, 'M');
    EXPECT_EQ(frames[0].WirePort, 0);
    EXPECT_EQ(frames[0].PID, 0xF0);
    EXPECT_EQ(frames[0].CallFrom, "N0CALL-1");
    EXPECT_EQ(frames[0].CallTo, "CHAT");
    EXPECT_EQ(frames[0].Data, "Chat server on the air") << "sent as configured, no CR added";
    EXPECT_EQ(frames[0].DataLen, 22u);
    EXPECT_EQ(TakeTrace(), (Lines{TICK, Posted(1), STARTED}));

    clock.Advance(599999);
    EXPECT_TRUE(fake->Sent.empty());
    clock.Advance(1);
    EXPECT_EQ(Sent().size(), 1u);
    clock.Advance(2 * 600000);
    EXPECT_EQ(Sent().size(), 2u);
    EXPECT_EQ(TakeTrace(), (Lines{TICK, Posted(1), TICK, Posted(1), TICK, Posted(1)}));
}

TEST_F(BeaconTest, EveryPortGetsTheBeaconHighestFirst)
{
    ConnectLink();
    link->PortCount = 3;
    beacon->SetActive(true);
    const auto frames = Sent();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].WirePort, 2);
    EXPECT_EQ(frames[1].WirePort, 1);
    EXPECT_EQ(frames[2].WirePort, 0);
    EXPECT_EQ(TakeTrace(), (Lines{TICK, Posted(3), Posted(2), Posted(1), STARTED}));
}

TEST_F(BeaconTest, NoPortsMeansNothingSent)
{
    ConnectLink();
    link->PortCount = 0;
    beacon->SetActive(true);
    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_EQ(TakeTrace(), (Lines{TICK, STARTED}));
}

TEST_F(BeaconTest, ViaPathGivesAVFrameWithTheViaBlockBeforeTheText)
{
    ConnectLink();
    beacon->Via = "RELAY  WIDE";
    beacon->SetActive(true);
    const auto frames = Sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Kind, 'V');
    const std::string block("\x02RELAY\0\0\0\0\0WIDE\0\0\0\0\0\0", 21);
    EXPECT_EQ(frames[0].Data, block + "Chat server on the air");
    EXPECT_EQ(frames[0].DataLen, 21u + 22u);
    EXPECT_EQ(frames[0].CallFrom, "N0CALL-1");
    EXPECT_EQ(frames[0].CallTo, "CHAT");
}

TEST_F(BeaconTest, ViaPathOfBlanksOnlyGivesAPlainUnprotoFrame)
{
    ConnectLink();
    beacon->Via = "   ";
    beacon->SetActive(true);
    const auto frames = Sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Kind, 'M');
    EXPECT_EQ(frames[0].Data, "Chat server on the air");
}

TEST_F(BeaconTest, IntervalZeroStopsAndANewIntervalRestartsAtOnce)
{
    ConnectLink();
    beacon->SetActive(true);
    Sent();
    TakeTrace();

    beacon->SetInterval(0);
    EXPECT_FALSE(beacon->Active);
    EXPECT_FALSE(beacon->BeaconTimer);
    EXPECT_EQ(clock.LiveTimers(), 0u);
    EXPECT_EQ(TakeTrace(), Lines{STOPPED});
    clock.Advance(10 * 240000);
    EXPECT_TRUE(fake->Sent.empty());

    beacon->SetInterval(600000);
    EXPECT_TRUE(beacon->Active);
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(TakeTrace(), (Lines{TICK, Posted(1), STARTED}));
    clock.Advance(600000);
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(BeaconTest, ANewIntervalOnARunningBeaconIsTakenAtTheNextTick)
{
    ConnectLink();
    beacon->SetActive(true); // every 240000
    Sent();
    beacon->SetInterval(60000);
    EXPECT_TRUE(fake->Sent.empty());
    clock.Advance(239999);
    EXPECT_TRUE(fake->Sent.empty());
    clock.Advance(1);
    EXPECT_EQ(Sent().size(), 1u);
    clock.Advance(60000);
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(BeaconTest, StartedWithIntervalZeroSendsOneCycleAndNoMore)
{
    ConnectLink();
    beacon->SetInterval(0);
    EXPECT_EQ(beacon->Interval, 0);
    EXPECT_FALSE(beacon->Active);
    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_TRUE(TakeTrace().empty());

    beacon->SetActive(true);
    EXPECT_EQ(Sent().size(), 1u);
    clock.Advance(100 * 240000);
    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_EQ(TakeTrace(), (Lines{TICK, Posted(1), STARTED}));

    beacon->SetActive(false);
    beacon->SetInterval(60000); // from zero: starts at once
    EXPECT_TRUE(beacon->Active);
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(BeaconTest, DisconnectedLinkRefusesEachFrameAndTheScheduleGoesOn)
{
    link->PortCount = 2;
    beacon->SetActive(true);
    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_EQ(TakeTrace(), (Lines{TICK, NOT_SENT, Posted(2), NOT_SENT, Posted(1), STARTED}));

    clock.Advance(240000);
    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_EQ(TakeTrace(), (Lines{TICK, NOT_SENT, Posted(2), NOT_SENT, Posted(1)}));

    ConnectLink();
    clock.Advance(240000);
    EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(BeaconTest, StartingTwiceStartsOnce)
{
    ConnectLink();
    beacon->SetActive(true);
    beacon->SetActive(true);
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(clock.LiveTimers(), 1u);
    EXPECT_EQ(TakeTrace(), (Lines{TICK, Posted(1), STARTED}));

    beacon->SetActive(false);
    beacon->SetActive(false);
    EXPECT_EQ(TakeTrace(), Lines{STOPPED});
}

TEST_F(BeaconTest, AnAssignedOnBeaconReplacesSending)
{
    struct Call {
        TL2* link;
        int port;
        std::string call, id, via, text;
    };
    std::vector<Call> calls;
    ConnectLink();
    link->PortCount = 2;
    beacon->Via = "RELAY";
    beacon->OnBeacon = [&](TL2& l, uint8_t Port, const std::string& Call_, const std::string& ID_,
                           const std::string& Via_, const std::string& Text_) {
        calls.push_back({&l, Port, Call_, ID_, Via_, Text_});
    };
    beacon->SetActive(true);
    EXPECT_TRUE(fake->Sent.empty());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].link, link.get());
    EXPECT_EQ(calls[0].port, 2);
    EXPECT_EQ(calls[1].port, 1);
    EXPECT_EQ(calls[1].call, "N0CALL-1");
    EXPECT_EQ(calls[1].id, "CHAT");
    EXPECT_EQ(calls[1].via, "RELAY");
    EXPECT_EQ(calls[1].text, "Chat server on the air");
    EXPECT_EQ(TakeTrace(), (Lines{TICK, STARTED}));
}

TEST_F(BeaconTest, AHandlerThatPostsSendsLikeTheBeaconItself)
{
    ConnectLink();
    link->PortCount = 2;
    beacon->OnBeacon = [this](TL2& l, uint8_t Port, const std::string& Call_, const std::string& ID_,
                              const std::string& Via_,
                              const std::string& Text_) { beacon->Post(&l, Port, Call_, ID_, Via_, Text_); };
    beacon->SetActive(true);
    const auto frames = Sent();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].WirePort, 1);
    EXPECT_EQ(frames[1].Data, "Chat server on the air");
}

TEST_F(BeaconTest, AHandlerMayStopTheBeaconMidCycle)
{
    ConnectLink();
    link->PortCount = 3;
    int calls = 0;
    beacon->OnBeacon = [&](TL2&, uint8_t, const std::string&, const std::string&, const std::string&,
                           const std::string&) {
        ++calls;
        beacon->SetActive(false);
        beacon->OnBeacon = nullptr;
    };
    beacon->SetActive(true);
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(beacon->BeaconTimer);
    EXPECT_TRUE(fake->Sent.empty());
    clock.Advance(10 * 240000);
    EXPECT_TRUE(fake->Sent.empty());
}

TEST_F(BeaconTest, WithoutALinkNothingIsSent)
{
    beacon->AGWL2 = nullptr;
    beacon->SetActive(true);
    EXPECT_EQ(TakeTrace(), (Lines{"{L2Beacon} ERROR No L2 Object Assigned (AGWL2 property)", STARTED}));
    EXPECT_EQ(clock.RunningTimers(), 1u) << "the timer keeps running";

    beacon->Post(nullptr, 1, "N0CALL", "ID", "", "x");
    EXPECT_EQ(TakeTrace(), Lines{"{L2Beacon} ERROR Invalid Reference to L2 Object"});
    EXPECT_TRUE(fake->Sent.empty());
}

TEST_F(BeaconTest, DestructionReleasesTheTimer)
{
    beacon->Log.Trace = 5;
    beacon->SetActive(true);
    TakeTrace();
    EXPECT_EQ(clock.LiveTimers(), 1u);
    beacon.reset();
    EXPECT_EQ(clock.LiveTimers(), 0u);
    EXPECT_EQ(TakeTrace(), Lines{"{L2Beacon} L2 BroadCast Object Released"});
}

} // namespace
