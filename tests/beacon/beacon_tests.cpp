#include "beacon/Beacon.h"
#include "fakes/AgwLinkProbe.h"
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

std::string posted(int port)
{
    return "{L2Beacon} Post Performed for Port(" + std::to_string(port) + ")";
}

class BeaconTest : public testing::Test {
protected:
    void SetUp() override
    {
        auto socket = std::make_unique<FakeSocket>();
        fake = socket.get();
        link = std::make_unique<AgwLink>(std::move(socket), clock);
        // The link's own lines only down to level 2: its refusals, not its frame details.
        traceInto(link->traceLog(), 2, logFile_);
        AgwLinkProbe::setPortCount(*link, 1);

        beacon = std::make_unique<Beacon>(clock);
        traceInto(beacon->traceLog(), 4, logFile_);
        beacon->setLink(link.get());
        beacon->setCallSign("N0CALL-1");
        beacon->setDestination("CHAT");
        beacon->setText("Chat server on the air");
    }
    void TearDown() override
    {
        beacon.reset();
        link.reset();
    }

    // The link's own log-in frames and lines are not the beacon's.
    void connectLink()
    {
        fake->connect();
        fake->takeSent();
        takeTrace();
    }
    std::vector<AgwFrame> sentTexts() { return decodeFrames(fake->takeSent()); }

    // The trace lines written so far, without their date and time; the file is then emptied.
    Lines takeTrace()
    {
        Lines lines = readTrace(logFile_);
        std::filesystem::remove(logFile_);
        return lines;
    }

    ManualClock clock;
    FakeSocket* fake = nullptr;
    std::unique_ptr<AgwLink> link;
    std::unique_ptr<Beacon> beacon;
    TempDir dir_{"beacon"};
    std::string logFile_ = dir_.file("trace.log");
};

TEST_F(BeaconTest, NewBeaconHasItsDefaultsAndStaysInactiveWhenGivenAnInterval)
{
    Beacon fresh(clock);
    EXPECT_EQ(fresh.traceLog().debug, "NOT");
    EXPECT_EQ(fresh.traceLog().level, 1);
    EXPECT_EQ(fresh.traceLog().logFile, "Hopnet.LOG");
    EXPECT_FALSE(fresh.isActive());
    EXPECT_EQ(fresh.interval(), 240000);
    EXPECT_EQ(fresh.text(), "*** Beacon ****");
    EXPECT_EQ(fresh.destination(), "ID");
    EXPECT_EQ(fresh.callSign(), "NOBODY");
    EXPECT_EQ(fresh.pid(), 0xF0);
    EXPECT_EQ(fresh.via(), "");
    EXPECT_EQ(fresh.link(), nullptr);
    EXPECT_FALSE(fresh.timer());

    connectLink();
    beacon->setInterval(600000);
    EXPECT_EQ(beacon->interval(), 600000);
    EXPECT_FALSE(beacon->isActive());
    EXPECT_FALSE(beacon->timer());
    clock.advance(10 * 600000);
    EXPECT_TRUE(fake->sent.empty());
    EXPECT_TRUE(takeTrace().empty());
}

TEST_F(BeaconTest, StartingSendsOneCycleAtOnceThenOneEveryInterval)
{
    connectLink();
    beacon->setInterval(600000);
    beacon->setActive(true);
    EXPECT_TRUE(beacon->isActive());
    ASSERT_TRUE(beacon->timer());
    EXPECT_EQ(clock.runningTimers(), 1u);

    auto frames = sentTexts();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, 'M');
    EXPECT_EQ(frames[0].wirePort, 0);
    EXPECT_EQ(frames[0].pid, 0xF0);
    EXPECT_EQ(frames[0].callFrom, "N0CALL-1");
    EXPECT_EQ(frames[0].callTo, "CHAT");
    EXPECT_EQ(frames[0].data, "Chat server on the air") << "sent as configured, no CR added";
    EXPECT_EQ(frames[0].dataLen, 22u);
    EXPECT_EQ(takeTrace(), (Lines{TICK, posted(1), STARTED}));

    clock.advance(599999);
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(1);
    EXPECT_EQ(sentTexts().size(), 1u);
    clock.advance(2 * 600000);
    EXPECT_EQ(sentTexts().size(), 2u);
    EXPECT_EQ(takeTrace(), (Lines{TICK, posted(1), TICK, posted(1), TICK, posted(1)}));
}

TEST_F(BeaconTest, ARoundIsLeftOutWhileOutputWaitsForTheEngine)
{
    connectLink();
    link->setOutputMarks(10, 5);
    link->setEngineWait(0);
    fake->unsent = 11;
    link->write(0, 0, 'G', "", "", "");
    fake->takeSent();
    beacon->setInterval(600000);
    beacon->setActive(true);
    EXPECT_TRUE(fake->sent.empty());

    fake->take(11);
    clock.advance(600000);
    EXPECT_EQ(sentTexts().size(), 1u);
}

TEST_F(BeaconTest, EveryPortGetsTheBeaconHighestFirst)
{
    connectLink();
    AgwLinkProbe::setPortCount(*link, 3);
    beacon->setActive(true);
    const auto frames = sentTexts();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].wirePort, 2);
    EXPECT_EQ(frames[1].wirePort, 1);
    EXPECT_EQ(frames[2].wirePort, 0);
    EXPECT_EQ(takeTrace(), (Lines{TICK, posted(3), posted(2), posted(1), STARTED}));
}

TEST_F(BeaconTest, NoPortsMeansNothingSent)
{
    connectLink();
    AgwLinkProbe::setPortCount(*link, 0);
    beacon->setActive(true);
    EXPECT_TRUE(fake->sent.empty());
    EXPECT_EQ(takeTrace(), (Lines{TICK, STARTED}));
}

TEST_F(BeaconTest, ViaPathGivesAVFrameWithTheViaBlockBeforeTheText)
{
    connectLink();
    beacon->setVia("RELAY  WIDE");
    beacon->setActive(true);
    const auto frames = sentTexts();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, 'V');
    const std::string block("\x02RELAY\0\0\0\0\0WIDE\0\0\0\0\0\0", 21);
    EXPECT_EQ(frames[0].data, block + "Chat server on the air");
    EXPECT_EQ(frames[0].dataLen, 21u + 22u);
    EXPECT_EQ(frames[0].callFrom, "N0CALL-1");
    EXPECT_EQ(frames[0].callTo, "CHAT");
}

TEST_F(BeaconTest, ALongTextThroughDigipeatersHasTheViaBlockInEveryFrame)
{
    connectLink();
    beacon->setVia("RELAY");
    const std::string text(600, 'x');
    beacon->setText(text);
    beacon->setActive(true);
    const std::string block("\x01RELAY\0\0\0\0\0", 11);
    const auto frames = sentTexts();
    ASSERT_EQ(frames.size(), 3u);
    std::string joined;
    for (const AgwFrame& frame : frames) {
        EXPECT_EQ(frame.kind, 'V');
        EXPECT_LE(frame.data.size(), 255u);
        ASSERT_EQ(frame.data.substr(0, 11), block);
        joined += frame.data.substr(11);
    }
    EXPECT_EQ(joined, text);
}

TEST_F(BeaconTest, ViaPathOfBlanksOnlyGivesAPlainUnprotoFrame)
{
    connectLink();
    beacon->setVia("   ");
    beacon->setActive(true);
    const auto frames = sentTexts();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, 'M');
    EXPECT_EQ(frames[0].data, "Chat server on the air");
}

TEST_F(BeaconTest, IntervalZeroStopsAndANewIntervalRestartsAtOnce)
{
    connectLink();
    beacon->setActive(true);
    sentTexts();
    takeTrace();

    beacon->setInterval(0);
    EXPECT_FALSE(beacon->isActive());
    EXPECT_FALSE(beacon->timer());
    EXPECT_EQ(clock.liveTimers(), 0u);
    EXPECT_EQ(takeTrace(), Lines{STOPPED});
    clock.advance(10 * 240000);
    EXPECT_TRUE(fake->sent.empty());

    beacon->setInterval(600000);
    EXPECT_TRUE(beacon->isActive());
    EXPECT_EQ(sentTexts().size(), 1u);
    EXPECT_EQ(takeTrace(), (Lines{TICK, posted(1), STARTED}));
    clock.advance(600000);
    EXPECT_EQ(sentTexts().size(), 1u);
}

TEST_F(BeaconTest, ANewIntervalOnARunningBeaconIsTakenAtTheNextTick)
{
    connectLink();
    beacon->setActive(true); // every 240000
    sentTexts();
    beacon->setInterval(60000);
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(239999);
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(1);
    EXPECT_EQ(sentTexts().size(), 1u);
    clock.advance(60000);
    EXPECT_EQ(sentTexts().size(), 1u);
}

TEST_F(BeaconTest, StartedWithIntervalZeroSendsOneCycleAndNoMore)
{
    connectLink();
    beacon->setInterval(0);
    EXPECT_EQ(beacon->interval(), 0);
    EXPECT_FALSE(beacon->isActive());
    EXPECT_TRUE(fake->sent.empty());
    EXPECT_TRUE(takeTrace().empty());

    beacon->setActive(true);
    EXPECT_EQ(sentTexts().size(), 1u);
    clock.advance(100 * 240000);
    EXPECT_TRUE(fake->sent.empty());
    EXPECT_EQ(takeTrace(), (Lines{TICK, posted(1), STARTED}));

    beacon->setActive(false);
    beacon->setInterval(60000); // from zero: starts at once
    EXPECT_TRUE(beacon->isActive());
    EXPECT_EQ(sentTexts().size(), 1u);
}

TEST_F(BeaconTest, DisconnectedLinkRefusesEachFrameAndTheScheduleGoesOn)
{
    AgwLinkProbe::setPortCount(*link, 2);
    beacon->setActive(true);
    EXPECT_TRUE(fake->sent.empty());
    EXPECT_EQ(takeTrace(), (Lines{TICK, NOT_SENT, posted(2), NOT_SENT, posted(1), STARTED}));

    clock.advance(240000);
    EXPECT_TRUE(fake->sent.empty());
    EXPECT_EQ(takeTrace(), (Lines{TICK, NOT_SENT, posted(2), NOT_SENT, posted(1)}));

    connectLink();
    clock.advance(240000);
    EXPECT_EQ(sentTexts().size(), 2u);
}

TEST_F(BeaconTest, StartingTwiceStartsOnce)
{
    connectLink();
    beacon->setActive(true);
    beacon->setActive(true);
    EXPECT_EQ(sentTexts().size(), 1u);
    EXPECT_EQ(clock.liveTimers(), 1u);
    EXPECT_EQ(takeTrace(), (Lines{TICK, posted(1), STARTED}));

    beacon->setActive(false);
    beacon->setActive(false);
    EXPECT_EQ(takeTrace(), Lines{STOPPED});
}

TEST_F(BeaconTest, AnAssignedOnBeaconReplacesSending)
{
    struct Call {
        AgwLink* link;
        int port;
        std::string call, id, via, text;
    };
    std::vector<Call> calls;
    connectLink();
    AgwLinkProbe::setPortCount(*link, 2);
    beacon->setVia("RELAY");
    beacon->onBeacon = [&](AgwLink& l, uint8_t port, const std::string& call_, const std::string& id,
                           const std::string& via, const std::string& text) {
        calls.push_back({&l, port, call_, id, via, text});
    };
    beacon->setActive(true);
    EXPECT_TRUE(fake->sent.empty());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].link, link.get());
    EXPECT_EQ(calls[0].port, 2);
    EXPECT_EQ(calls[1].port, 1);
    EXPECT_EQ(calls[1].call, "N0CALL-1");
    EXPECT_EQ(calls[1].id, "CHAT");
    EXPECT_EQ(calls[1].via, "RELAY");
    EXPECT_EQ(calls[1].text, "Chat server on the air");
    EXPECT_EQ(takeTrace(), (Lines{TICK, STARTED}));
}

TEST_F(BeaconTest, AHandlerThatPostsSendsLikeTheBeaconItself)
{
    connectLink();
    AgwLinkProbe::setPortCount(*link, 2);
    beacon->onBeacon = [this](AgwLink& l, uint8_t port, const std::string& call_, const std::string& id,
                              const std::string& via,
                              const std::string& text) { beacon->post(&l, port, call_, id, via, text); };
    beacon->setActive(true);
    const auto frames = sentTexts();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].wirePort, 1);
    EXPECT_EQ(frames[1].data, "Chat server on the air");
}

TEST_F(BeaconTest, AHandlerMayStopTheBeaconMidCycle)
{
    connectLink();
    AgwLinkProbe::setPortCount(*link, 3);
    int calls = 0;
    beacon->onBeacon = [&](AgwLink&, uint8_t, const std::string&, const std::string&, const std::string&,
                           const std::string&) {
        ++calls;
        beacon->setActive(false);
        beacon->onBeacon = nullptr;
    };
    beacon->setActive(true);
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(beacon->timer());
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(10 * 240000);
    EXPECT_TRUE(fake->sent.empty());
}

TEST_F(BeaconTest, WithoutALinkNothingIsSent)
{
    beacon->setLink(nullptr);
    beacon->setActive(true);
    EXPECT_EQ(takeTrace(), (Lines{"{L2Beacon} ERROR No L2 Object Assigned (AGWL2 property)", STARTED}));
    EXPECT_EQ(clock.runningTimers(), 1u) << "the timer keeps running";

    beacon->post(nullptr, 1, "N0CALL", "ID", "", "x");
    EXPECT_EQ(takeTrace(), Lines{"{L2Beacon} ERROR Invalid Reference to L2 Object"});
    EXPECT_TRUE(fake->sent.empty());
}

TEST_F(BeaconTest, DestructionReleasesTheTimer)
{
    beacon->traceLog().level = 5;
    beacon->setActive(true);
    takeTrace();
    EXPECT_EQ(clock.liveTimers(), 1u);
    beacon.reset();
    EXPECT_EQ(clock.liveTimers(), 0u);
    EXPECT_EQ(takeTrace(), Lines{"{L2Beacon} L2 BroadCast Object Released"});
}

} // namespace
