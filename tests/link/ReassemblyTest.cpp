#include "LinkHarness.h"

using linktest::LinkTest;

class LinkReassembly : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        l2->traceLog().debug = "NO";
    }
    size_t waiting() const { return AgwLinkProbe::unconsumed(*l2).size(); }
};

TEST_F(LinkReassembly, HeaderInTwoReadsGivesOneFrame)
{
    const std::string frame = agwFrame(0, 'G', 0, "", "", "");
    l2->store(frame.substr(0, 20));
    EXPECT_TRUE(seen.empty());
    l2->store(frame.substr(20));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, 'G');
    EXPECT_EQ(seen[0].data, "");
    EXPECT_EQ(waiting(), 0u);
}

TEST_F(LinkReassembly, DataInTwoReadsWaitsWithoutParsingTheHeaderAgain)
{
    const std::string data(40, 'd');
    const std::string frame = agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", data);
    l2->store(frame.substr(0, 36 + 10));
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(AgwLinkProbe::framePending(*l2));
    EXPECT_EQ(AgwLinkProbe::pendingLength(*l2), 40);
    l2->store(frame.substr(46));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, data);
    EXPECT_FALSE(AgwLinkProbe::framePending(*l2));
    EXPECT_EQ(waiting(), 0u);
}

TEST_F(LinkReassembly, PendingDataIsNotReadAsAHeader)
{
    // The data part looks like a header of its own; while pending it is data.
    const std::string inner = agwFrame(5, 'X', 0, "FAKE", "", "");
    const std::string frame = agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", inner);
    l2->store(frame.substr(0, 40));
    l2->store(frame.substr(40));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, 'D');
    EXPECT_EQ(seen[0].data, inner);
}

TEST_F(LinkReassembly, ThreeFramesInOneReadInArrivalOrder)
{
    l2->store(agwFrame(0, 'D', 0xF0, "A", "N0CALL", "first") + agwFrame(1, 'd', 0, "B", "N0CALL", "") +
              agwFrame(2, 'D', 0xF0, "C", "N0CALL", "third"));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].data, "first");
    EXPECT_EQ(seen[0].port, 1);
    EXPECT_EQ(seen[1].kind, 'd');
    EXPECT_EQ(seen[1].callFrom, "B");
    EXPECT_EQ(seen[2].data, "third");
    EXPECT_EQ(seen[2].port, 3);
}

TEST_F(LinkReassembly, FrameAndStartOfTheNext)
{
    const std::string next = agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "later");
    l2->store(agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "now") + next.substr(0, 20));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, "now");
    EXPECT_EQ(waiting(), 20u);
    EXPECT_EQ(AgwLinkProbe::unconsumed(*l2), next.substr(0, 20));
    l2->store(next.substr(20));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].data, "later");
}

TEST_F(LinkReassembly, PortByteIsReadPlusOneWithoutWrapping)
{
    l2->store(agwFrame(0, 'y', 0, "", "", "") + agwFrame(15, 'y', 0, "", "", "") + agwFrame(255, 'y', 0, "", "", ""));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].port, 1);
    EXPECT_EQ(seen[1].port, 16);
    EXPECT_EQ(seen[2].port, 256);
}

TEST_F(LinkReassembly, CallFieldWithoutNulGivesTenCharacters)
{
    std::string frame = agwFrame(0, 'D', 0xF0, "", "", "x");
    frame.replace(8, 10, "ABCDEFGHIJ");
    frame.replace(18, 10, "KLMNOPQRST");
    l2->store(frame);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].callFrom, "ABCDEFGHIJ");
    EXPECT_EQ(seen[0].callTo, "KLMNOPQRST");
    EXPECT_EQ(seen[0].data, "x");
}

TEST_F(LinkReassembly, HeaderFieldsReachTheDecoder)
{
    std::string frame = agwFrame(2, 'D', 0xCF, "w1aw-3", "n0call", "text\r");
    l2->store(frame);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].port, 3);
    EXPECT_EQ(seen[0].pid, 0xCF);
    EXPECT_EQ(seen[0].kind, 'D');
    EXPECT_EQ(seen[0].callFrom, "W1AW-3");
    EXPECT_EQ(seen[0].callTo, "N0CALL");
    EXPECT_EQ(seen[0].data, "text\r");
    EXPECT_EQ(AgwLinkProbe::pendingFrom(*l2), "w1aw-3");
}

TEST_F(LinkReassembly, ByteByByteStreamGivesEveryFrameWhole)
{
    std::string stream;
    std::vector<std::string> texts;
    for (int i = 0; i < 20; ++i) {
        texts.push_back(std::string(static_cast<size_t>(i * 37 % 300), static_cast<char>('a' + i)));
        stream += agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", texts.back());
    }
    for (char c : stream)
        l2->store(std::string_view(&c, 1));
    ASSERT_EQ(seen.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(seen[i].data, texts[i]) << i;
    EXPECT_EQ(waiting(), 0u);
    EXPECT_EQ(AgwLinkProbe::consumedOffset(*l2), 0u) << "consumed bytes are erased after each read";
}

TEST_F(LinkReassembly, BytesArrivingInsideAnEventAreTakenInOrder)
{
    // A handler that runs a nested event loop (a message box) may see the
    // next read arrive before it returns.
    const std::string second = agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "second");
    const std::string third = agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "third");
    auto record = l2->onFrame;
    bool nested = false;
    l2->onFrame = [&](AgwLink& link, uint8_t port, uint8_t pid, char kind, const std::string& from,
                      const std::string& to, const std::string& data) {
        record(link, port, pid, kind, from, to, data);
        if (!nested) {
            nested = true;
            link.store(third.substr(0, 20));
        }
    };
    l2->store(agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "first") + second);
    l2->store(third.substr(20));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].data, "first");
    EXPECT_EQ(seen[1].data, "second");
    EXPECT_EQ(seen[2].data, "third");
    EXPECT_EQ(waiting(), 0u);
}

TEST_F(LinkReassembly, StateSurvivesAReconnect)
{
    const std::string frame = agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "abc");
    socket->connect();
    socket->deliver(frame.substr(0, 10));
    socket->peerClose();
    socket->connect();
    socket->deliver(frame.substr(10));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, "abc");
}

TEST_F(LinkReassembly, AFrameWithoutDataCarriesNoneOfThePreviousOne)
{
    l2->store(agwFrame(0, 'D', 0xF0, "A", "N0CALL", "first") + agwFrame(0, 'D', 0xF0, "A", "N0CALL", ""));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].data, "");
}

TEST_F(LinkReassembly, LengthAboveTheLimitBreaksTheLinkAndIsNeverReadAsFrames)
{
    // What follows the header looks like frames: a line and a departure.
    const std::string forged =
        agwFrame(0, 'D', 0xF0, "N0BOB", "N0CALL", "forged\r") + agwFrame(0, 'd', 0, "N0BOB", "N0CALL", "");
    for (uint32_t length : {0xFFFFFFFFu, 0x7FFFFFFFu, 100000000u, MAX_RECEIVED_DATA + 1}) {
        SCOPED_TRACE(length);
        TearDown();
        SetUp();
        l2->traceLog().debug = "YES";
        l2->traceLog().level = 1;
        std::string broken;
        l2->onBroken = [&broken](AgwLink&, const std::string& why) { broken = why; };
        bringUp();
        std::string frame = agwFrame(0, 'D', 0xF0, "N0ALF", "N0CALL", "");
        for (int i = 0; i < 4; ++i)
            frame[28 + static_cast<size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xFF);
        socket->deliver(frame + forged);

        EXPECT_TRUE(seen.empty());
        EXPECT_FALSE(socket->isOpen());
        EXPECT_FALSE(l2->isActive());
        const std::string reason = "frame length " + std::to_string(length) + " above 65536";
        EXPECT_THAT(traceText(), ::testing::ElementsAre("{L2} Link with AGWPE broken: " + reason));
        clock.advance(1);
        EXPECT_EQ(broken, reason);
    }
}

TEST_F(LinkReassembly, AFrameOfTheLongestLengthIsReadWhole)
{
    // Its data holds what would read as frames of their own.
    std::string data = agwFrame(0, 'd', 0, "N0BOB", "N0CALL", "*** DISCONNECTED From Station N0BOB\r");
    data += std::string(MAX_RECEIVED_DATA - data.size(), 'x');
    const std::string frame = agwFrame(0, 'D', 0xF0, "N0ALF", "N0CALL", data);
    socket->connect();
    l2->store(frame.substr(0, 40000));
    l2->store(frame.substr(40000) + agwFrame(0, 'D', 0xF0, "N0ALF", "N0CALL", "next"));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, 'D');
    EXPECT_EQ(seen[0].data, data);
    EXPECT_EQ(seen[1].data, "next");
    EXPECT_TRUE(socket->isOpen());
}
