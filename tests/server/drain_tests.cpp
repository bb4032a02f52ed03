// The disconnect after a last text waits until the engine reports nothing left
// to send on the connection ("Y" answered 0), within its bounds.
#include "ChatFixture.h"
#include "link/direwolf_y_vectors.h"

#include "support/HexStr.h"

namespace {

class DisconnectDrain : public ChatTest {
protected:
    void Answer(uint8_t port, const std::string& from, const std::string& to, int32_t frames)
    {
        form.OnConnFrames(*form.L2, port, from, to, frames);
    }
    // The kinds of the frames sent since the last look, each with its addressee.
    std::vector<std::string> Kinds()
    {
        std::vector<std::string> kinds;
        for (const SentText& text : Sent())
            kinds.push_back(std::string(1, text.Kind) + ":" + text.To);
        return kinds;
    }
    // Connects a station on port 1 and forgets the greeting.
    void Online(const std::string& call)
    {
        Connect(1, call);
        Sent();
    }
};

using Frames = std::vector<std::string>;

TEST_F(DisconnectDrain, GoodbyeDisconnectsOnlyOnceNothingIsLeftToSend)
{
    Online("N0AAA");

    Line(1, "N0AAA", "/B\r");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].Data, "\r--- GoodBye!\r");
    EXPECT_EQ(sent[1].Kind, 'Y');
    EXPECT_EQ(sent[1].Port, 1);
    EXPECT_EQ(sent[1].From, "N0SRV");
    EXPECT_EQ(sent[1].To, "N0AAA");
    EXPECT_EQ(sent[1].Data, "");
    EXPECT_EQ(sent[2].Kind, 'D'); // the prompt that follows every command

    clock.Advance(1999);
    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_NE(form.FindUser(1, "N0AAA"), nullptr);

    Answer(1, "N0SRV", "N0AAA", 0);

    sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Kind, 'd');
    EXPECT_EQ(sent[0].From, "N0SRV");
    EXPECT_EQ(sent[0].To, "N0AAA");
    EXPECT_TRUE(Traced("{PALAVORO} User(1:N0AAA) frames sent, disconnect"));
    EXPECT_EQ(clock.LiveTimers(), 0u);
    clock.Advance(120000);
    EXPECT_TRUE(fake->Sent.empty());
}

TEST_F(DisconnectDrain, FramesStillOutAreAskedAboutAgainEverySecond)
{
    Online("N0AAA");
    Line(1, "N0AAA", "/B\r");
    Sent();

    Answer(1, "N0SRV", "N0AAA", 3);
    clock.Advance(999);
    EXPECT_TRUE(fake->Sent.empty());
    clock.Advance(1);
    EXPECT_EQ(Kinds(), (Frames{"Y:N0AAA"}));

    Answer(1, "N0SRV", "N0AAA", 1);
    clock.Advance(1000);
    EXPECT_EQ(Kinds(), (Frames{"Y:N0AAA"}));

    Answer(1, "N0SRV", "N0AAA", 0);
    EXPECT_EQ(Kinds(), (Frames{"d:N0AAA"}));
}

TEST_F(DisconnectDrain, EngineThatNeverAnswersGetsTheDisconnectAfterTwoSeconds)
{
    Online("N0AAA");
    Line(1, "N0AAA", "/B\r");
    Sent();

    clock.Advance(1999);
    EXPECT_TRUE(fake->Sent.empty());
    clock.Advance(1);

    EXPECT_EQ(Kinds(), (Frames{"d:N0AAA"}));
    EXPECT_TRUE(Traced("{PALAVORO} User(1:N0AAA) no answer to Y, disconnect"));
    EXPECT_EQ(clock.LiveTimers(), 0u);
}

TEST_F(DisconnectDrain, CountThatNeverReachesZeroGivesUpAfterDiscWait)
{
    Online("N0AAA");
    Line(1, "N0AAA", "/B\r");
    Sent();

    int asked = 1;
    for (int second = 1; second < 60; ++second) {
        Answer(1, "N0SRV", "N0AAA", 2);
        clock.Advance(1000);
        ASSERT_EQ(Kinds(), (Frames{"Y:N0AAA"})) << "second " << second;
        ++asked;
    }
    Answer(1, "N0SRV", "N0AAA", 2);
    clock.Advance(1000);

    EXPECT_EQ(asked, 60);
    EXPECT_EQ(Kinds(), (Frames{"d:N0AAA"}));
    EXPECT_EQ(clock.Now(), 60000u);
    EXPECT_TRUE(Traced("{PALAVORO} User(1:N0AAA) frames still outstanding after 60000 ms, disconnect"));
}

TEST_F(DisconnectDrain, DiscWaitSetsTheLongBoundAndZeroDisconnectsAtOnce)
{
    form.DiscWait = 3000;
    Online("N0AAA");
    Line(1, "N0AAA", "/B\r");
    Sent();
    for (int second = 1; second <= 3; ++second) {
        Answer(1, "N0SRV", "N0AAA", 1);
        clock.Advance(1000);
    }
    EXPECT_EQ(Kinds(), (Frames{"Y:N0AAA", "Y:N0AAA", "d:N0AAA"}));

    form.DiscWait = 0;
    Online("N0BBB");
    Line(1, "N0BBB", "/B\r");
    EXPECT_EQ(Kinds(), (Frames{"D:N0AAA", "D:N0BBB", "d:N0BBB", "D:N0BBB"}));
}

TEST_F(DisconnectDrain, StationLeavingMeanwhileGetsNoDisconnect)
{
    Online("N0AAA");
    Online("N0BBB");
    Line(1, "N0AAA", "/B\r");
    Sent();

    form.OnDisconnect(*form.L2, 1, "N0AAA", "*** DISCONNECTED From Station N0AAA");
    Answer(1, "N0SRV", "N0AAA", 0);
    clock.Advance(120000);

    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_EQ(form.FindUser(1, "N0AAA"), nullptr);
    EXPECT_EQ(form.FindArea(0)->UserCount, 1u);
    EXPECT_TRUE(Traced("{PALAVORO} User Removed"));
    EXPECT_EQ(clock.LiveTimers(), 0u);
}

TEST_F(DisconnectDrain, LinesWhileWaitingAreHandledAsForADepartedUser)
{
    Online("N0AAA");
    Online("N0BBB");
    Line(1, "N0AAA", "/B\r");
    Sent();

    Line(1, "N0AAA", "one more thing\r");

    EXPECT_EQ(TakeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> one more thing\r\r"});
    Answer(1, "N0SRV", "N0AAA", 0);
    EXPECT_EQ(Kinds(), (Frames{"d:N0AAA"}));
}

TEST_F(DisconnectDrain, TwoStationsWaitIndependently)
{
    Online("N0AAA");
    Online("N0BBB");
    Line(1, "N0AAA", "/B\r");
    Sent();
    clock.Advance(500);
    Line(1, "N0BBB", "/B\r");
    Sent();

    Answer(1, "N0SRV", "N0AAA", 4);
    clock.Advance(500); // 1000: N0AAA asked again, N0BBB not yet due
    EXPECT_EQ(Kinds(), (Frames{"Y:N0AAA"}));
    Answer(1, "N0SRV", "N0AAA", 4);
    Answer(1, "N0SRV", "N0BBB", 2);
    clock.Advance(500); // 1500: N0BBB asked again
    EXPECT_EQ(Kinds(), (Frames{"Y:N0BBB"}));

    Answer(1, "N0SRV", "N0BBB", 0);
    EXPECT_EQ(Kinds(), (Frames{"d:N0BBB"}));
    clock.Advance(500); // 2000: N0AAA asked again
    EXPECT_EQ(Kinds(), (Frames{"Y:N0AAA"}));
    clock.Advance(2000); // that question stays unanswered
    EXPECT_EQ(Kinds(), (Frames{"d:N0AAA"}));
    EXPECT_EQ(clock.LiveTimers(), 0u);
}

TEST_F(DisconnectDrain, AnswerMatchesItsConnectionWithTheCallsEitherWayRound)
{
    Online("N0AAA");
    Connect(2, "N0AAA");
    Sent();
    Line(1, "N0AAA", "/B\r");
    Line(2, "N0AAA", "/B\r");
    Sent();

    Answer(1, "N0SRV", "N0ZZZ", 0);
    Answer(3, "N0SRV", "N0AAA", 0);
    EXPECT_TRUE(fake->Sent.empty());

    Answer(2, "N0AAA", "N0SRV", 0);
    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Kind, 'd');
    EXPECT_EQ(sent[0].Port, 2);
    EXPECT_EQ(sent[0].From, "N0SRV");
    EXPECT_EQ(sent[0].To, "N0AAA");
}

TEST_F(DisconnectDrain, RecordedDireWolfAnswersDriveTheWaitThroughTheLink)
{
    form.L2->FOnConnFrames = [this](TL2& link, uint8_t port, const std::string& from, const std::string& to,
                                    int32_t frames) { form.OnConnFrames(link, port, from, to, frames); };
    Online("N0USR");
    Line(1, "N0USR", "/B\r");
    Sent();

    fake->Deliver(RecordedBytes(DIREWOLF_Y_THREE));
    fake->Deliver(RecordedBytes(DIREWOLF_Y_NO_LINK));
    EXPECT_TRUE(fake->Sent.empty());
    clock.Advance(1000);
    EXPECT_EQ(Kinds(), (Frames{"Y:N0USR"}));

    fake->Deliver(RecordedBytes(DIREWOLF_Y_ZERO));
    EXPECT_EQ(Kinds(), (Frames{"d:N0USR"}));
}

TEST_F(DisconnectDrain, BusyRefusalWaitsWithTheCalledCallsign)
{
    form.Registered = false;

    Connect(1, "N0AAA", "N0SRV-2");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].Data, "\r--- Server Busy, Try Later\r");
    EXPECT_EQ(sent[1].Kind, 'Y');
    EXPECT_EQ(sent[1].From, "N0SRV-2");
    EXPECT_EQ(sent[1].To, "N0AAA");
    clock.Advance(1000);
    EXPECT_TRUE(fake->Sent.empty());

    Answer(1, "N0AAA", "N0SRV-2", 0);
    sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Kind, 'd');
    EXPECT_EQ(sent[0].From, "N0SRV-2");
    EXPECT_TRUE(form.UserList.empty());
}

TEST_F(DisconnectDrain, TimeLimitWaitsForTheInactivityText)
{
    form.Timeout = 60000;
    Online("N0AAA");

    clock.Advance(60000);
    EXPECT_EQ(Kinds(), (Frames{"D:N0AAA", "Y:N0AAA"}));
    EXPECT_EQ(form.FindUser(1, "N0AAA")->State, EXPIRED);

    Answer(1, "N0SRV", "N0AAA", 1);
    clock.Advance(1000);
    EXPECT_EQ(Kinds(), (Frames{"Y:N0AAA"}));
    Answer(1, "N0SRV", "N0AAA", 0);
    EXPECT_EQ(Kinds(), (Frames{"d:N0AAA"}));
    EXPECT_NE(form.FindUser(1, "N0AAA"), nullptr);
}

TEST_F(DisconnectDrain, WithoutTheEngineTheDisconnectIsTriedAtOnce)
{
    Online("N0AAA");
    fake->PeerClose();
    TraceInto(form.L2->Log, 4, form.Log.LogFile);

    Line(1, "N0AAA", "/B\r");

    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_TRUE(form.PendingDiscs.empty());
    EXPECT_EQ(clock.LiveTimers(), 0u);
    // The goodbye is skipped while the link is down; the disconnect is tried
    // and refused, then the prompt.
    const std::string refused = "{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE";
    const std::string prompt = "{L2} SendData Received Port(1) Pid(240) To(N0AAA)";
    std::vector<std::string> link;
    for (const std::string& line : Trace())
        if (line == refused || line == prompt)
            link.push_back(line);
    EXPECT_EQ(link, (Frames{refused, prompt, refused}));
    form.L2.reset(); // its last trace line goes to the directory that the fixture removes
}

TEST_F(DisconnectDrain, StartUpReadsDiscWaitAndWiresTheAnswer)
{
    form.DiscWait = 5;
    form.FormCreate();
    EXPECT_EQ(form.DiscWait, 60000);
    EXPECT_TRUE(form.L2->FOnConnFrames);

    WriteFile("Palavoro.INI", "[PALAVORO]\r\nDISCWAIT=15000\r\n");
    form.FormCreate();
    EXPECT_EQ(form.DiscWait, 15000);

    WriteFile("Palavoro.INI", "[PALAVORO]\r\nDISCWAIT=1 min\r\n");
    try {
        form.FormCreate();
        ADD_FAILURE() << "no ConvertError";
    } catch (const ConvertError& error) {
        EXPECT_EQ(std::string(error.what()), "Palavoro.INI: [PALAVORO] DISCWAIT=1 min is not a number");
    }
    form.L2.reset();
}

} // namespace
