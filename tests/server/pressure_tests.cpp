// Back-pressure as the server lives it, and stations that come and go at the
// edges: unknown ones, leaving ones, the link lost, the stop.
#include "ChatFixture.h"

namespace {

class ChatPressure : public ChatTest {
protected:
    ChatPressure()
    {
        form.link()->setOutputMarks(1000, 200);
        form.link()->setEngineWait(0);
        form.onBacklogChanged = [this](bool on) { turns.push_back(on); };
        connect(1, "N0AAA");
        connect(1, "N0BBB");
        sentTexts();
    }
    // The engine stops reading: what goes out next fills the output.
    void engineBehind()
    {
        fake->unsent = 1u << 20;
        form.delivery().sendTo(1, "N0BBB", "x");
        sentTexts();
    }
    void disconnect(uint8_t port, const std::string& call)
    {
        form.connections().handleDisconnect(*form.link(), port, call, "*** DISCONNECTED From Station " + call);
    }
    bool logged(const std::string& entry) const
    {
        return std::find(shell.connectionLog.begin(), shell.connectionLog.end(), entry) != shell.connectionLog.end();
    }

    std::vector<bool> turns;
};

TEST_F(ChatPressure, LinesPastTheHighMarkWaitAndGoOutInOrderOnceItDrains)
{
    fake->unsent = 1001;
    line(1, "N0AAA", "one\rtwo\rthree\r");
    EXPECT_EQ(takeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> one\r\r"});
    EXPECT_TRUE(form.outputBacklogged());
    EXPECT_EQ(form.connections().waitingWork(), 2u);

    fake->take(1001);
    EXPECT_EQ(takeTo("N0BBB"), (Texts{"[0]<N0AAA@N0SRV> two\r\r", "[0]<N0AAA@N0SRV> three\r\r"}));
    EXPECT_FALSE(form.outputBacklogged());
    EXPECT_EQ(turns, (std::vector<bool>{true, false}));
}

TEST_F(ChatPressure, TimeLimitsAndHeldLinesWaitForTheOutputToDrain)
{
    form.settings().timeout = 5000;
    connect(1, "N0CCC");
    line(1, "N0BBB", "held");
    engineBehind();
    clock.advance(5000);
    EXPECT_TRUE(fake->sent.empty());
    EXPECT_EQ(form.directory().findStation(1, "N0CCC")->state, ONLINE);

    fake->take(fake->unsent);
    EXPECT_EQ(takeTo("N0AAA"), Texts{"[0]<N0BBB@N0SRV> held\r"});
    EXPECT_EQ(form.directory().findStation(1, "N0CCC")->state, EXPIRED);
}

TEST_F(ChatPressure, AStationConnectingAgainIsWelcomedAfterItsHeldLine)
{
    line(1, "N0AAA", "held");
    engineBehind();
    connect(1, "N0AAA");
    fake->take(fake->unsent);
    EXPECT_EQ(takeTo("N0AAA"),
              (Texts{"\r[0]{N0AAA de N0SRV}:\r", "Welcome to the N0SRV Chat Server\r", "\r[0]{N0AAA de N0SRV}:\r"}));
}

TEST_F(ChatPressure, AStationNotKnownHereIsWelcomedAndItsLineHandled)
{
    line(1, "N0ZZZ", "hello\r");

    const std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0ZZZ"),
              (Texts{"Welcome to the N0SRV Chat Server\r", "\r[0]{N0ZZZ de N0SRV}:\r", "\r[0]{N0ZZZ de N0SRV}:\r"}));
    EXPECT_EQ(dataTo(sent, "N0AAA"), (Texts{"[0]<N0ZZZ@N0SRV> <N0ZZZ joined Area>\r\r", "[0]<N0ZZZ@N0SRV> hello\r\r"}));
    EXPECT_TRUE(logged("connect N0ZZZ port 1: text from a station not known here"));
}

TEST_F(ChatPressure, AStationNotKnownHereGoesThroughAdmission)
{
    form.connections().setRegistered(false);
    line(2, "N0ZZZ", "hello\r");
    line(2, "N0ZZZ", "again\r");

    const std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0ZZZ"), Texts{"\r--- Server Busy, Try Later\r"});
    EXPECT_EQ(form.directory().findStation(2, "N0ZZZ"), nullptr);
}

TEST_F(ChatPressure, AStationAskedToGoIsNotWelcomedAgainBeforeItHasGone)
{
    form.settings().timeout = 5000;
    form.settings().discWait = 0;
    connect(1, "N0CCC");
    line(1, "N0CCC", "/B\r");
    clock.advance(5000); // the limit removes the block; the engine has not confirmed yet
    ASSERT_EQ(form.directory().findStation(1, "N0CCC"), nullptr);
    sentTexts();

    line(1, "N0CCC", "still here\r");
    EXPECT_TRUE(fake->sent.empty());
    disconnect(1, "N0CCC");
    line(1, "N0CCC", "back again\r");
    EXPECT_NE(form.directory().findStation(1, "N0CCC"), nullptr);
}

TEST_F(ChatPressure, AHeldLineReachesTheAreaBeforeItsSendersDeparture)
{
    line(1, "N0AAA", "73 all");
    disconnect(1, "N0AAA");
    EXPECT_EQ(takeTo("N0BBB"), (Texts{"[0]<N0AAA@N0SRV> 73 all\r", "[0]<N0AAA@N0SRV> <N0AAA left Area>\r\r"}));
}

TEST_F(ChatPressure, AWholeLongLineInOneFrameIsOneLine)
{
    const std::string longLine(3000, 'x');
    line(1, "N0AAA", longLine + "\r");
    const std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0BBB"), Texts{"[0]<N0AAA@N0SRV> " + longLine + "\r\r"});
    EXPECT_EQ(dataTo(sent, "N0AAA").size(), 1u) << "one prompt";
}

TEST_F(ChatPressure, ALostLinkLogsEveryDepartureAfterHandlingHeldLines)
{
    form.settings().reconnect = true;
    line(1, "N0AAA", "last words");
    fake->open = false;
    form.connections().handleLinkError(*form.link());

    EXPECT_EQ(form.stats().linesRelayed, 1u);
    EXPECT_TRUE(logged("left N0AAA port 1: link lost: Connection refused"));
    EXPECT_TRUE(logged("left N0BBB port 1: link lost: Connection refused"));
    EXPECT_TRUE(form.directory().stations().empty());
}

TEST_F(ChatPressure, TheStopIsLoggedAsAStopAndDisconnectsEvenWithoutTheEnginesWord)
{
    int done = 0;
    form.connections().stopAll([&done] { ++done; });
    disconnect(1, "N0AAA");
    sentTexts();
    // The engine keeps saying N0BBB's last text is not out yet.
    for (uint32_t t = 0; t < Connections::STOP_WAIT; t += 1000) {
        form.drain().handleConnFrames(*form.link(), 1, "N0SRV", "N0BBB", 1);
        clock.advance(1000);
    }
    EXPECT_EQ(done, 1);
    const std::vector<SentText> sent = sentTexts();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().kind, 'd');
    EXPECT_EQ(sent.back().to, "N0BBB");
    EXPECT_TRUE(logged("left N0AAA port 1: stop"));
    EXPECT_TRUE(logged("left N0BBB port 1: stop, not confirmed by the engine"));
}

TEST_F(ChatPressure, AStationOnTheLastWirePortIsAnsweredThere)
{
    form.connections().handleConnect(*form.link(), 256, "N0ZZZ", "N0SRV", "*** CONNECTED To Station N0ZZZ");
    const std::vector<SentText> sent = sentTexts();
    ASSERT_FALSE(sent.empty());
    for (const SentText& text : sent) {
        if (text.to == "N0ZZZ") {
            EXPECT_EQ(text.port, 256);
        }
    }
    EXPECT_NE(form.directory().findStation(256, "N0ZZZ"), nullptr);
}

} // namespace

// ---- Turns: what each station sends waits in a queue of its own

TEST_F(ChatPressure, StationsAreServedInTurnsSoAnotherStationsLineWaitsOneTurnOfAPaste)
{
    connect(1, "N0CCC");
    sentTexts();
    engineBehind();
    std::string paste;
    for (int i = 1; i <= 30; ++i)
        paste += "p" + std::to_string(i) + "\r";
    line(1, "N0AAA", paste);
    line(1, "N0BBB", "hello\r");
    disconnect(1, "N0AAA");
    // The engine keeps being read meanwhile: each station's lines wait for its turns.
    EXPECT_TRUE(fake->reading);
    fake->take(fake->unsent);
    const Texts got = takeTo("N0CCC");
    ASSERT_EQ(got.size(), 32u);
    EXPECT_EQ(got[Connections::TURN_ITEMS], "[0]<N0BBB@N0SRV> hello\r\r");
    // Its departure comes after its own lines, in its own turn.
    EXPECT_EQ(got.back(), "[0]<N0AAA@N0SRV> <N0AAA left Area>\r\r");
    EXPECT_EQ(got[got.size() - 2], "[0]<N0AAA@N0SRV> p30\r\r");
}

TEST_F(ChatPressure, PastItsShareAStationIsToldOnceAndPastAllSharesTheEngineIsNotRead)
{
    engineBehind();
    const std::string text(999, 'x');
    std::string lines;
    for (int i = 0; i < 70; ++i)
        lines += text + "\r";
    line(1, "N0AAA", lines);
    line(1, "N0AAA", text + "\r");
    const Texts told = takeTo("N0AAA");
    EXPECT_EQ(std::count(told.begin(), told.end(), Connections::TOO_MANY), 1);
    EXPECT_EQ(form.connections().heldInput(), 65u * 1000);
    for (int i = 0; i < 64; ++i) {
        const std::string call = "N1" + std::to_string(100 + i);
        connect(1, call);
        line(1, call, lines);
    }
    EXPECT_FALSE(fake->reading);
    fake->take(fake->unsent);
    EXPECT_TRUE(fake->reading);
    EXPECT_EQ(form.connections().heldInput(), 0u);
}

TEST_F(ChatPressure, ALineWaitsForOneTurnOfABurstOfArrivalsNotForAllOfThem)
{
    engineBehind();
    for (int i = 0; i < 20; ++i)
        connect(1, "N1" + std::to_string(100 + i));
    line(1, "N0AAA", "hello\r");
    fake->take(fake->unsent);
    const Texts got = takeTo("N0BBB");
    const auto hello = std::find(got.begin(), got.end(), "[0]<N0AAA@N0SRV> hello\r\r");
    ASSERT_NE(hello, got.end());
    EXPECT_LE(hello - got.begin(), 1);
    EXPECT_EQ(got.size(), 21u);
    EXPECT_EQ(got.back(), "[0]<N1119@N0SRV> <N1119 joined Area>\r\r");
}
