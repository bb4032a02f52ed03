// The link's life under a running server: losses, the back-off, coming back
// registered on every port, with the server wired as start-up wires it.
#include "fakes/FakeSocket.h"
#include "fakes/Frames.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "server/ChatServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

using ::testing::Contains;
using ::testing::ElementsAre;

namespace {

class LinkLife : public ::testing::Test {
protected:
    LinkLife()
    {
        writeFile(dir_ + "/Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\nTIMEOUT=0\r\nDISCWAIT=0\r\nTRACE=1\r\n");
        form.start();
    }

    void deliver(uint8_t wirePort, char kind, const std::string& from, const std::string& to, const std::string& data)
    {
        socket->deliver(agwFrame(wirePort, kind, kind == 'D' ? 0xF0 : 0, from, to, data));
    }
    // The engine takes the connection, confirms the callsign and lists two ports.
    void engineUp()
    {
        socket->connect();
        deliver(0, 'X', "N0SRV", "", "\x01");
        deliver(0, 'G', "", "", "2;Port1 VHF;Port2 HF;");
    }
    void stationConnects(uint8_t wirePort, const std::string& call)
    {
        deliver(wirePort, 'C', call, "N0SRV", "*** CONNECTED With Station " + call + "\r");
    }
    // The frames of one kind sent since the last call, as (wire port, call).
    std::vector<std::pair<int, std::string>> sent(char kind)
    {
        std::vector<std::pair<int, std::string>> found;
        for (const AgwFrame& frame : decodeFrames(socket->takeSent()))
            if (frame.kind == kind)
                found.emplace_back(frame.wirePort, frame.callFrom);
        return found;
    }
    std::vector<std::string> level1(const std::string& prefix)
    {
        std::vector<std::string> found;
        for (const std::string& line : readTraceText(form.traceLog().logFile))
            if (line.rfind(prefix, 0) == 0)
                found.push_back(line);
        return found;
    }
    // Fails each try as it comes; returns the pauses between tries, in ms.
    std::vector<uint64_t> pausesOfFailedTries(int tries)
    {
        std::vector<uint64_t> pauses;
        for (int i = 0; i < tries; ++i) {
            const int calls = socket->connectCalls;
            uint64_t waited = 0;
            while (socket->connectCalls == calls && waited < 120000) {
                clock.advance(1000);
                waited += 1000;
            }
            pauses.push_back(waited);
            socket->fail();
        }
        return pauses;
    }

    TempDir temp_{"palavoro-life"};
    std::string dir_ = temp_.str();
    RecordingShell shell;
    ManualClock clock;
    FakeSocket* socket = nullptr;
    ChatServer form{shell, clock,
                    [this] {
                        auto made = std::make_unique<FakeSocket>();
                        socket = made.get();
                        return made;
                    },
                    dir_ + "/"};
};

TEST_F(LinkLife, ALostLinkDropsTheStationsAndTriesAgainAfterGrowingPauses)
{
    engineUp();
    form.directory().addArea(7, "Seven", false, "N0AAA");
    stationConnects(0, "N0AAA");
    stationConnects(1, "N0BBB");
    ASSERT_EQ(form.directory().stationCount(), 2u);

    socket->peerClose();

    EXPECT_EQ(form.directory().stationCount(), 0u);
    EXPECT_EQ(form.directory().findArea(0)->userCount, 0u);
    EXPECT_NE(form.directory().findArea(7), nullptr) << "areas outlive the link";
    EXPECT_FALSE(form.connections().isRegistered());
    EXPECT_THAT(shell.notices,
                ElementsAre("Link with AGWPE lost (the engine closed the connection), waiting for the engine at "
                            "127.0.0.1:8000"));
    EXPECT_THAT(pausesOfFailedTries(9), ElementsAre(1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000));
    EXPECT_EQ(level1("{PALAVORO} Link with AGWPE lost").size(), 1u);
    EXPECT_TRUE(level1("{PALAVORO} Still waiting").empty());
    EXPECT_TRUE(shell.fatal.empty());
}

TEST_F(LinkLife, AreasEmptiedByALostLinkStayUntilSomethingHappensInThem)
{
    engineUp();
    form.directory().addArea(7, "Seven", false, "N0AAA");
    form.directory().addArea(8, "Eight", false, "N0ZZZ");
    stationConnects(0, "N0AAA");
    stationConnects(0, "N0BBB");
    deliver(0, 'D', "N0BBB", "N0SRV", "/J 8\r");
    ASSERT_EQ(form.directory().findArea(8)->userCount, 1u);

    socket->peerClose();
    clock.advance(1000);
    engineUp();
    stationConnects(0, "N0CCC");
    deliver(0, 'D', "N0CCC", "N0SRV", "hello\r");

    EXPECT_NE(form.directory().findArea(7), nullptr) << "its owner was dropped, he did not leave";
    EXPECT_NE(form.directory().findArea(8), nullptr) << "emptied by the link, not by a station";
}

TEST_F(LinkLife, AFailedFirstConnectAndASocketErrorWaitLikeAClose)
{
    socket->fail();
    EXPECT_THAT(shell.notices,
                ElementsAre("no AGW engine answers at 127.0.0.1:8000 (Connection refused), waiting for one"));
    EXPECT_TRUE(shell.connectionLog.empty()) << "no engine has not broken a link";
    EXPECT_THAT(pausesOfFailedTries(1), ElementsAre(1000));

    engineUp();
    stationConnects(0, "N0AAA");
    socket->fail();
    EXPECT_EQ(form.directory().stationCount(), 0u);
    EXPECT_EQ(shell.notices.size(), 3u);
    EXPECT_THAT(shell.connectionLog, Contains("link broken: Connection refused"));
    EXPECT_TRUE(shell.fatal.empty());
}

TEST_F(LinkLife, AServiceThatSaysNothingIsNoEngineAndIsLeftAfterTenSeconds)
{
    socket->connect();
    clock.advance(9999);
    EXPECT_TRUE(socket->isOpen());
    clock.advance(2);
    EXPECT_FALSE(socket->isOpen());
    EXPECT_THAT(shell.notices, ElementsAre("127.0.0.1:8000 answered but not as an AGW engine (nothing came back in 10 "
                                           "s), waiting for an engine"));
    // Said once while it stays so; the wait goes on as for no engine.
    for (int i = 0; i < 2; ++i) {
        clock.advance(60000);
        socket->connect();
        clock.advance(10001);
    }
    EXPECT_EQ(shell.notices.size(), 1u);
    EXPECT_EQ(level1("{PALAVORO} 127.0.0.1:8000 answered but not as an AGW engine").size(), 1u);
}

TEST_F(LinkLife, AServiceWhoseAnswerIsNoFrameIsNoEngine)
{
    socket->connect();
    socket->deliver("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    clock.advance(1);
    ASSERT_EQ(shell.notices.size(), 1u);
    EXPECT_EQ(shell.notices[0].rfind("127.0.0.1:8000 answered but not as an AGW engine (frame length", 0), 0u)
        << shell.notices[0];
}

TEST_F(LinkLife, AnEngineThatAnswersIsWaitedOnForItsRegistration)
{
    socket->connect();
    deliver(0, 'R', "", "", std::string(8, '\0'));
    clock.advance(10001);
    EXPECT_TRUE(socket->isOpen());
    EXPECT_TRUE(shell.notices.empty());
}

TEST_F(LinkLife, ComingBackRegistersOnEveryListedPortAndTheBackOffStartsAgain)
{
    engineUp();
    EXPECT_THAT(sent('X'),
                ElementsAre(std::make_pair(0, std::string("N0SRV")), std::make_pair(1, std::string("N0SRV"))));
    socket->peerClose();
    pausesOfFailedTries(3);

    clock.advance(8000);
    engineUp();
    EXPECT_THAT(sent('X'),
                ElementsAre(std::make_pair(0, std::string("N0SRV")), std::make_pair(1, std::string("N0SRV"))));
    EXPECT_EQ(shell.notices.back(), "Link with AGWPE back");
    EXPECT_EQ(level1("{PALAVORO} Link with AGWPE back").size(), 1u);

    // A refusal on a further port is traced and changes nothing; the port list
    // coming again registers nothing again.
    deliver(1, 'X', "N0SRV", "", std::string(1, '\0'));
    deliver(0, 'G', "", "", "2;Port1 VHF;Port2 HF;");
    EXPECT_TRUE(sent('X').empty());
    EXPECT_TRUE(form.connections().isRegistered());
    EXPECT_EQ(level1("{PALAVORO} Port(2) refused to register <N0SRV>, not served there").size(), 1u);
    stationConnects(1, "N0BBB");
    EXPECT_NE(form.directory().findStation(2, "N0BBB"), nullptr);

    socket->peerClose();
    EXPECT_THAT(pausesOfFailedTries(1), ElementsAre(1000));
}

TEST_F(LinkLife, AWaitOfHoursSaysSoOnceEveryTenMinutes)
{
    socket->fail();
    pausesOfFailedTries(7 + 20); // two minutes of growing pauses, then twenty of 60 s
    EXPECT_EQ(level1("{PALAVORO} Still waiting for the engine at 127.0.0.1:8000").size(), 2u);
    EXPECT_EQ(level1("{L2} AGW Object Opened").size(), 1u) << "each try is traced at level 3 only";
}

TEST_F(LinkLife, StoppingTellsEveryStationAndEndsWhenAllAreGoneOrAfterTenSeconds)
{
    engineUp();
    stationConnects(0, "N0AAA");
    stationConnects(1, "N0BBB");
    socket->takeSent();
    int done = 0;

    form.connections().stopAll([&done] { ++done; });

    std::vector<std::string> toldA;
    for (const AgwFrame& frame : decodeFrames(socket->takeSent()))
        if (frame.callTo == "N0AAA")
            toldA.push_back(std::string(1, frame.kind) + frame.data);
    EXPECT_THAT(toldA, ElementsAre("D\r--- Server shutting down, 73!\r", "d"));
    deliver(0, 'd', "N0AAA", "N0SRV", "*** DISCONNECTED From Station N0AAA\r");
    EXPECT_EQ(done, 0) << "N0BBB is still there";
    deliver(1, 'd', "N0BBB", "N0SRV", "*** DISCONNECTED From Station N0BBB\r");
    EXPECT_EQ(done, 1);
    EXPECT_GE(socket->flushes, 1);

    stationConnects(0, "N0CCC");
    form.connections().stopAll([&done] { ++done; });
    clock.advance(Connections::STOP_WAIT - 1);
    EXPECT_EQ(done, 1);
    clock.advance(1);
    EXPECT_EQ(done, 2);
}

TEST_F(LinkLife, StoppingWithNobodyConnectedEndsAtOnce)
{
    engineUp();
    int done = 0;
    form.connections().stopAll([&done] { ++done; });
    EXPECT_EQ(done, 1);
    EXPECT_GE(socket->flushes, 1);
}

} // namespace
