#include "LinkHarness.h"

using linktest::LinkTest;

// Output waiting for the engine: the fake socket's `unsent` is what waits,
// `take` is the engine reading some of it.
class LinkBackPressure : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        l2->setCallSign("N0CALL");
        l2->setAddress("127.0.0.1");
        l2->setOutputMarks(1000, 200);
        l2->onBacklog = [this](AgwLink&, bool on) { turns.push_back(on); };
        bringUp();
    }
    // One more frame goes out with `waiting` bytes already queued.
    void sendWith(size_t waiting)
    {
        socket->unsent = waiting;
        l2->sendData(1, 0xF0, "N0CALL", "W1AW", "hi");
    }
    std::string dataFrame(const std::string& text) { return agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", text); }

    std::vector<bool> turns;
};

TEST_F(LinkBackPressure, TheBacklogTurnsOnAboveTheHighMarkAndOffBelowTheLowMarkWhileTheEngineIsRead)
{
    sendWith(1000);
    EXPECT_FALSE(l2->outputBacklogged());
    sendWith(1001);
    EXPECT_TRUE(l2->outputBacklogged());
    // The engine is still read: what it says waits in the owner's turns.
    EXPECT_TRUE(socket->reading);
    socket->deliver(dataFrame("meanwhile"));
    EXPECT_EQ(seen.back().data, "meanwhile");
    socket->take(801); // at the low mark: still backlogged
    EXPECT_TRUE(l2->outputBacklogged());
    socket->take(1);
    EXPECT_FALSE(l2->outputBacklogged());
    EXPECT_EQ(turns, (std::vector<bool>{true, false}));
}

TEST_F(LinkBackPressure, FramesReadWhileTheOwnerHoldsInputWaitUntilItLetsGo)
{
    // The first frame's handler holds the input: the second waits unread.
    l2->onData = [this](AgwLink&, uint8_t, const std::string&, const std::string&, uint8_t, const std::string&) {
        l2->holdInput(true);
    };
    socket->deliver(dataFrame("one") + dataFrame("two"));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(socket->reading);
    l2->onData = nullptr;
    l2->holdInput(false);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].data, "two");
    EXPECT_TRUE(socket->reading);
}

TEST_F(LinkBackPressure, DrainedWithoutNoticeTheTickFindsIt)
{
    sendWith(5000);
    socket->unsent = 0;
    clock.advance(AgwLink::OUTPUT_TICK);
    EXPECT_FALSE(l2->outputBacklogged());
}

TEST_F(LinkBackPressure, OnlyAnEngineThatTakesNothingForTheWaitBreaksTheLink)
{
    std::string broken;
    l2->onBroken = [&broken](AgwLink&, const std::string& why) { broken = why; };
    sendWith(100u << 20); // far past any cap: only the wait counts
    clock.advance(AgwLink::ENGINE_WAIT - AgwLink::OUTPUT_TICK);
    socket->take(1);
    clock.advance(AgwLink::ENGINE_WAIT - AgwLink::OUTPUT_TICK);
    EXPECT_TRUE(l2->isActive());
    clock.advance(AgwLink::OUTPUT_TICK);
    EXPECT_FALSE(l2->isActive());
    EXPECT_EQ(traceText().back(),
              "{L2} Link with AGWPE broken: the engine at 127.0.0.1:8000 took nothing of 104857599 bytes in 60 s");
    clock.advance(1);
    EXPECT_EQ(broken, "the engine at 127.0.0.1:8000 took nothing of 104857599 bytes in 60 s");
    EXPECT_EQ(turns, (std::vector<bool>{true, false}));
}
