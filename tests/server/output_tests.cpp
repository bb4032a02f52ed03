// Output to stations paced by the engine's frame counts: a paste does not
// stand in front of another speaker's line, what waits for one station is
// bounded, and its disconnect waits for what waits.
#include "ChatFixture.h"

class ChatOutput : public ChatTest {
protected:
    ChatOutput()
    {
        for (const char* call : {"N1ABC", "N2DEF", "N3GHI"})
            connect(1, call);
        sentTexts();
        // The engine answers "Y": output is paced from now on.
        answer("N3GHI", 0);
    }
    // The engine's count of N3GHI's frames not yet on the air.
    void answer(const std::string& call, int32_t frames) { form.output().outstanding(1, "N0SRV", call, frames); }
    // What a station gets while the engine answers each question with nothing left, until nothing more comes.
    Texts drain(const std::string& call)
    {
        Texts all;
        for (;;) {
            answer(call, 0);
            const Texts got = takeTo(call);
            if (got.empty())
                return all;
            all.insert(all.end(), got.begin(), got.end());
        }
    }
};

TEST_F(ChatOutput, APasteWaitsItsTurnBehindAnotherSpeakersLineAndAllOfItGoesInOrder)
{
    std::string paste;
    for (int i = 1; i <= 30; ++i)
        paste += "p" + std::to_string(i) + "\r";
    line(1, "N1ABC", paste);
    // The first few go at once (the engine holds N3GHI's welcome still); the rest waits here.
    Texts got = takeTo("N3GHI");
    EXPECT_EQ(got.size(), size_t(StationOutput::PACE - 2));
    line(1, "N2DEF", "hello\r");
    EXPECT_TRUE(takeTo("N3GHI").empty());
    const Texts rest = drain("N3GHI");
    got.insert(got.end(), rest.begin(), rest.end());
    Texts pasted;
    for (const std::string& text : got) {
        if (text == "[0]<N2DEF@N0SRV> hello\r\r")
            EXPECT_LT(pasted.size(), 7u) << "behind the 8th pasted line";
        else
            pasted.push_back(text);
    }
    ASSERT_EQ(pasted.size(), 30u);
    EXPECT_EQ(pasted.front(), "[0]<N1ABC@N0SRV> p1\r\r");
    EXPECT_EQ(pasted.back(), "[0]<N1ABC@N0SRV> p30\r\r");
    EXPECT_TRUE(std::is_sorted(pasted.begin(), pasted.end(), [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(18)) < std::stoi(b.substr(18));
    }));
    EXPECT_EQ(form.output().waiting(1, "N3GHI"), 0u);
}

TEST_F(ChatOutput, AnEngineThatAirsFramesAsFastAsGivenLetsAStationHaveMoreAtIt)
{
    std::string paste;
    for (int i = 1; i <= 40; ++i)
        paste += "p" + std::to_string(i) + "\r";
    line(1, "N1ABC", paste);
    EXPECT_EQ(takeTo("N3GHI").size(), size_t(StationOutput::PACE - 2));
    // Answered right after: it has aired them all already; twice the pace.
    answer("N3GHI", 0);
    EXPECT_EQ(takeTo("N3GHI").size(), size_t(2 * StationOutput::PACE - 1));
    // It holds the pace's worth: back to the pace.
    answer("N3GHI", StationOutput::PACE);
    EXPECT_TRUE(takeTo("N3GHI").empty());
    // The once-a-second question finds them aired; that says nothing of how
    // fast the engine airs them.
    clock.advance(StationOutput::ASK_EVERY);
    answer("N3GHI", 0);
    EXPECT_EQ(takeTo("N3GHI").size(), size_t(StationOutput::PACE));
}

TEST_F(ChatOutput, PastAMebibyteWaitingAStationIsToldOnceAndLosesTheOldestLines)
{
    const std::string text(1000, 'x');
    for (int frame = 0; frame < 11; ++frame) {
        std::string lines;
        for (int i = 0; i < 100; ++i)
            lines += std::to_string(frame * 100 + i) + text + "\r";
        line(1, "N1ABC", lines);
    }
    EXPECT_LE(form.output().waiting(1, "N3GHI"), StationOutput::MOST + 100);
    const Texts got = drain("N3GHI");
    EXPECT_EQ(std::count(got.begin(), got.end(), StationOutput::DROPPED), 1);
    EXPECT_EQ(got.back(), "[0]<N1ABC@N0SRV> 1099" + text + "\r\r");
    EXPECT_LT(got.size(), 1100u);
}

TEST_F(ChatOutput, ADisconnectWaitsForWhatWaitsHereThenForTheEngine)
{
    std::string paste;
    for (int i = 1; i <= 10; ++i)
        paste += "p" + std::to_string(i) + "\r";
    line(1, "N1ABC", paste);
    form.connections().sendAway("N3GHI", "");
    takeTo("N3GHI");
    EXPECT_TRUE(form.drain().isPending(1, "N3GHI"));
    answer("N3GHI", 0);
    drain("N3GHI");
    std::vector<SentText> sent = sentTexts();
    EXPECT_TRUE(sent.empty());
    // All gone from here: the drain asks the engine, which has nothing left either.
    form.drain().handleConnFrames(*form.link(), 1, "N0SRV", "N3GHI", 0);
    sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'd');
}

TEST_F(ChatTest, AnEngineNotKnownToAnswerIsAskedOnceAndPacedFromItsAnswerOn)
{
    connect(1, "N1ABC");
    connect(1, "N2DEF");
    sentTexts();
    std::string paste;
    for (int i = 0; i < 12; ++i)
        paste += "p\r";
    line(1, "N1ABC", paste);
    const std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N2DEF").size(), 12u);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const SentText& t) { return t.kind == 'Y'; }), 1);
    // N1ABC (its welcome, N2DEF's join and a prompt for each line) was asked
    // at its 8th frame: the 7 given since count on top of the answer.
    form.output().outstanding(1, "N0SRV", "N1ABC", 1);
    line(1, "N2DEF", "one more\r");
    EXPECT_TRUE(takeTo("N1ABC").empty());
}

TEST_F(ChatTest, AnEngineThatStopsAnsweringIsNoLongerPaced)
{
    connect(1, "N1ABC");
    connect(1, "N2DEF");
    form.output().outstanding(1, "N0SRV", "N2DEF", 0);
    std::string paste;
    for (int i = 0; i < 20; ++i)
        paste += "p\r";
    line(1, "N1ABC", paste);
    sentTexts();
    // Its questions go unanswered: not before the answer's wait has passed
    // is what waits given all at once.
    for (uint32_t waited = 0; waited < StationOutput::ANSWER_WAIT; waited += StationOutput::ASK_EVERY) {
        clock.advance(StationOutput::ASK_EVERY);
        EXPECT_TRUE(takeTo("N2DEF").empty());
    }
    clock.advance(StationOutput::ASK_EVERY);
    EXPECT_GT(takeTo("N2DEF").size(), 10u);
    EXPECT_TRUE(traced("{PALAVORO} The engine does not answer Y: output to stations is not paced"));
}
