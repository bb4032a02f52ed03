// The disconnect after a last text waits until the engine reports nothing left
// to send on the connection ("Y" answered 0), within its bounds.
#include "ChatFixture.h"
#include "link/direwolf_y_vectors.h"

#include "support/HexStr.h"

namespace {

class DrainTest : public ChatTest {
protected:
    void answer(uint8_t port, const std::string& from, const std::string& to, int32_t frames)
    {
        form.drain().handleConnFrames(*form.link(), port, from, to, frames);
    }
    // The kinds of the frames sent since the last look, each with its addressee.
    std::vector<std::string> kinds()
    {
        std::vector<std::string> kinds;
        for (const SentText& text : sentTexts())
            kinds.push_back(std::string(1, text.kind) + ":" + text.to);
        return kinds;
    }
    // Connects a station on port 1 and forgets the greeting.
    void online(const std::string& call)
    {
        connect(1, call);
        sentTexts();
    }
};

using Frames = std::vector<std::string>;

TEST_F(DrainTest, GoodbyeDisconnectsOnlyOnceNothingIsLeftToSend)
{
    online("N0AAA");

    line(1, "N0AAA", "/B\r");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].data, "\r--- GoodBye!\r");
    EXPECT_EQ(sent[1].kind, 'Y');
    EXPECT_EQ(sent[1].port, 1);
    EXPECT_EQ(sent[1].from, "N0SRV");
    EXPECT_EQ(sent[1].to, "N0AAA");
    EXPECT_EQ(sent[1].data, "");
    EXPECT_EQ(sent[2].kind, 'D'); // the prompt that follows every command

    clock.advance(1999);
    EXPECT_TRUE(fake->sent.empty());
    EXPECT_NE(form.directory().findStation(1, "N0AAA"), nullptr);

    answer(1, "N0SRV", "N0AAA", 0);

    sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'd');
    EXPECT_EQ(sent[0].from, "N0SRV");
    EXPECT_EQ(sent[0].to, "N0AAA");
    EXPECT_TRUE(traced("{PALAVORO} User(1:N0AAA) frames sent, disconnect"));
    EXPECT_EQ(clock.liveTimers(), 0u);
    clock.advance(120000);
    EXPECT_TRUE(fake->sent.empty());
}

TEST_F(DrainTest, FramesStillOutAreAskedAboutAgainEverySecond)
{
    online("N0AAA");
    line(1, "N0AAA", "/B\r");
    sentTexts();

    answer(1, "N0SRV", "N0AAA", 3);
    clock.advance(999);
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(1);
    EXPECT_EQ(kinds(), (Frames{"Y:N0AAA"}));

    answer(1, "N0SRV", "N0AAA", 1);
    clock.advance(1000);
    EXPECT_EQ(kinds(), (Frames{"Y:N0AAA"}));

    answer(1, "N0SRV", "N0AAA", 0);
    EXPECT_EQ(kinds(), (Frames{"d:N0AAA"}));
}

TEST_F(DrainTest, EngineThatNeverAnswersGetsTheDisconnectAfterTwoSeconds)
{
    online("N0AAA");
    line(1, "N0AAA", "/B\r");
    sentTexts();

    clock.advance(1999);
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(1);

    EXPECT_EQ(kinds(), (Frames{"d:N0AAA"}));
    EXPECT_TRUE(traced("{PALAVORO} User(1:N0AAA) no answer to Y, disconnect"));
    EXPECT_EQ(clock.liveTimers(), 0u);
}

TEST_F(DrainTest, EngineThatAnswersOnceAndFallsSilentGetsTheDisconnectTwoSecondsAfterTheLastQuestion)
{
    online("N0AAA");
    line(1, "N0AAA", "/B\r");
    sentTexts();

    answer(1, "N0SRV", "N0AAA", 3);
    clock.advance(1000);
    EXPECT_EQ(kinds(), (Frames{"Y:N0AAA"}));
    clock.advance(1999);
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(1);
    EXPECT_EQ(kinds(), (Frames{"d:N0AAA"}));
    EXPECT_TRUE(traced("{PALAVORO} User(1:N0AAA) no answer to Y, disconnect"));
}

TEST_F(DrainTest, CountThatNeverReachesZeroGivesUpAfterDiscWait)
{
    online("N0AAA");
    line(1, "N0AAA", "/B\r");
    sentTexts();

    int asked = 1;
    for (int second = 1; second < 60; ++second) {
        answer(1, "N0SRV", "N0AAA", 2);
        clock.advance(1000);
        ASSERT_EQ(kinds(), (Frames{"Y:N0AAA"})) << "second " << second;
        ++asked;
    }
    answer(1, "N0SRV", "N0AAA", 2);
    clock.advance(1000);

    EXPECT_EQ(asked, 60);
    EXPECT_EQ(kinds(), (Frames{"d:N0AAA"}));
    EXPECT_EQ(clock.now(), 60000u);
    EXPECT_TRUE(traced("{PALAVORO} User(1:N0AAA) frames still outstanding after 60000 ms, disconnect"));
}

TEST_F(DrainTest, DiscWaitSetsTheLongBoundAndZeroDisconnectsAtOnce)
{
    form.settings().discWait = 3000;
    online("N0AAA");
    line(1, "N0AAA", "/B\r");
    sentTexts();
    for (int second = 1; second <= 3; ++second) {
        answer(1, "N0SRV", "N0AAA", 1);
        clock.advance(1000);
    }
    EXPECT_EQ(kinds(), (Frames{"Y:N0AAA", "Y:N0AAA", "d:N0AAA"}));

    form.settings().discWait = 0;
    online("N0BBB");
    line(1, "N0BBB", "/B\r");
    EXPECT_EQ(kinds(), (Frames{"D:N0AAA", "D:N0BBB", "d:N0BBB", "D:N0BBB"}));
}

TEST_F(DrainTest, StationLeavingMeanwhileGetsNoDisconnect)
{
    online("N0AAA");
    online("N0BBB");
    line(1, "N0AAA", "/B\r");
    sentTexts();

    form.connections().handleDisconnect(*form.link(), 1, "N0AAA", "*** DISCONNECTED From Station N0AAA");
    answer(1, "N0SRV", "N0AAA", 0);
    clock.advance(120000);

    EXPECT_TRUE(fake->sent.empty());
    EXPECT_EQ(form.directory().findStation(1, "N0AAA"), nullptr);
    EXPECT_EQ(form.directory().findArea(0)->userCount, 1u);
    EXPECT_TRUE(traced("{PALAVORO} User Removed"));
    EXPECT_EQ(clock.liveTimers(), 0u);
}

TEST_F(DrainTest, LinesWhileWaitingAfterByeAreNotTaken)
{
    online("N0AAA");
    online("N0BBB");
    line(1, "N0AAA", "/B\r");
    sentTexts();

    line(1, "N0AAA", "one more thing\r");

    EXPECT_TRUE(takeTo("N0BBB").empty());
    answer(1, "N0SRV", "N0AAA", 0);
    EXPECT_EQ(kinds(), (Frames{"d:N0AAA"}));
}

TEST_F(DrainTest, ASecondRequestWhileOneWaitsChangesNothing)
{
    online("N0AAA");
    form.drain().disconnectWhenSent(1, "N0SRV", "N0AAA");
    form.drain().disconnectWhenSent(1, "N0SRV", "N0AAA");
    EXPECT_EQ(kinds(), (Frames{"Y:N0AAA"}));
    EXPECT_EQ(form.drain().pendingCount(), 1u);

    answer(1, "N0SRV", "N0AAA", 0);
    clock.advance(120000);
    EXPECT_EQ(kinds(), (Frames{"d:N0AAA"}));
}

TEST_F(DrainTest, TwoStationsWaitIndependently)
{
    online("N0AAA");
    online("N0BBB");
    line(1, "N0AAA", "/B\r");
    sentTexts();
    clock.advance(500);
    line(1, "N0BBB", "/B\r");
    sentTexts();

    answer(1, "N0SRV", "N0AAA", 4);
    clock.advance(500); // 1000: N0AAA asked again, N0BBB not yet due
    EXPECT_EQ(kinds(), (Frames{"Y:N0AAA"}));
    answer(1, "N0SRV", "N0AAA", 4);
    answer(1, "N0SRV", "N0BBB", 2);
    clock.advance(500); // 1500: N0BBB asked again
    EXPECT_EQ(kinds(), (Frames{"Y:N0BBB"}));

    answer(1, "N0SRV", "N0BBB", 0);
    EXPECT_EQ(kinds(), (Frames{"d:N0BBB"}));
    clock.advance(500); // 2000: N0AAA asked again
    EXPECT_EQ(kinds(), (Frames{"Y:N0AAA"}));
    clock.advance(2000); // that question stays unanswered
    EXPECT_EQ(kinds(), (Frames{"d:N0AAA"}));
    EXPECT_EQ(clock.liveTimers(), 0u);
}

TEST_F(DrainTest, AnswerMatchesItsConnectionWithTheCallsEitherWayRound)
{
    online("N0AAA");
    connect(2, "N0AAA");
    sentTexts();
    line(1, "N0AAA", "/B\r");
    line(2, "N0AAA", "/B\r");
    sentTexts();

    answer(1, "N0SRV", "N0ZZZ", 0);
    answer(3, "N0SRV", "N0AAA", 0);
    EXPECT_TRUE(fake->sent.empty());

    answer(2, "N0AAA", "N0SRV", 0);
    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'd');
    EXPECT_EQ(sent[0].port, 2);
    EXPECT_EQ(sent[0].from, "N0SRV");
    EXPECT_EQ(sent[0].to, "N0AAA");
}

TEST_F(DrainTest, RecordedDireWolfAnswersDriveTheWaitThroughTheLink)
{
    form.link()->onConnFrames = [this](AgwLink& link, uint8_t port, const std::string& from, const std::string& to,
                                       int32_t frames) { form.drain().handleConnFrames(link, port, from, to, frames); };
    online("N0USR");
    line(1, "N0USR", "/B\r");
    sentTexts();

    fake->deliver(recordedBytes(DIREWOLF_Y_THREE));
    fake->deliver(recordedBytes(DIREWOLF_Y_NO_LINK));
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(1000);
    EXPECT_EQ(kinds(), (Frames{"Y:N0USR"}));

    fake->deliver(recordedBytes(DIREWOLF_Y_ZERO));
    EXPECT_EQ(kinds(), (Frames{"d:N0USR"}));
}

TEST_F(DrainTest, BusyRefusalWaitsWithTheCalledCallsign)
{
    form.connections().setRegistered(false);

    connect(1, "N0AAA", "N0SRV-2");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, "\r--- Server Busy, Try Later\r");
    EXPECT_EQ(sent[1].kind, 'Y');
    EXPECT_EQ(sent[1].from, "N0SRV-2");
    EXPECT_EQ(sent[1].to, "N0AAA");
    clock.advance(1000);
    EXPECT_TRUE(fake->sent.empty());

    answer(1, "N0AAA", "N0SRV-2", 0);
    sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'd');
    EXPECT_EQ(sent[0].from, "N0SRV-2");
    EXPECT_TRUE(form.directory().stations().empty());
}

TEST_F(DrainTest, TimeLimitWaitsForTheInactivityText)
{
    form.settings().timeout = 60000;
    online("N0AAA");

    clock.advance(60000);
    EXPECT_EQ(kinds(), (Frames{"D:N0AAA", "Y:N0AAA"}));
    EXPECT_EQ(form.directory().findStation(1, "N0AAA")->state, EXPIRED);

    answer(1, "N0SRV", "N0AAA", 1);
    clock.advance(1000);
    EXPECT_EQ(kinds(), (Frames{"Y:N0AAA"}));
    answer(1, "N0SRV", "N0AAA", 0);
    EXPECT_EQ(kinds(), (Frames{"d:N0AAA"}));
    EXPECT_NE(form.directory().findStation(1, "N0AAA"), nullptr);
}

TEST_F(DrainTest, WithoutTheEngineTheDisconnectIsTriedAtOnce)
{
    online("N0AAA");
    fake->peerClose();
    traceInto(form.link()->traceLog(), 4, form.traceLog().logFile);

    line(1, "N0AAA", "/B\r");

    EXPECT_TRUE(fake->sent.empty());
    EXPECT_EQ(form.drain().pendingCount(), 0u);
    EXPECT_EQ(clock.liveTimers(), 0u);
    // The goodbye is skipped while the link is down; the disconnect is tried
    // and refused, then the prompt.
    const std::string refused = "{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE";
    const std::string prompt = "{L2} SendData Received Port(1) Pid(240) To(N0AAA)";
    std::vector<std::string> link;
    for (const std::string& line : traceLines())
        if (line == refused || line == prompt)
            link.push_back(line);
    EXPECT_EQ(link, (Frames{refused, prompt, refused}));
    form.replaceLink(nullptr); // its last trace line goes to the directory that the fixture removes
}

TEST_F(DrainTest, StartUpReadsDiscWaitAndWiresTheAnswer)
{
    form.settings().discWait = 5;
    writeFile("Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\n");
    form.start();
    EXPECT_EQ(form.settings().discWait, 60000);
    EXPECT_TRUE(form.link()->onConnFrames);

    writeFile("Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\nDISCWAIT=15000\r\n");
    form.start();
    EXPECT_EQ(form.settings().discWait, 15000);

    writeFile("Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\nDISCWAIT=1 min\r\n");
    try {
        form.start();
        ADD_FAILURE() << "no StartupError";
    } catch (const StartupError& error) {
        EXPECT_EQ(std::string(error.what()), "Palavoro.INI: [PALAVORO] DISCWAIT=1 min is not a number");
    }
    form.replaceLink(nullptr);
}

} // namespace
