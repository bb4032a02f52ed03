#include "LinkHarness.h"

using linktest::LinkTest;

class LinkReassembly : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        l2->Log.Debug = "NO";
    }
    size_t Waiting() const { return l2->RxBuffer.size() - l2->RxStart; }
};

TEST_F(LinkReassembly, HeaderInTwoReadsGivesOneFrame)
{
    const std::string frame = Frame(0, 'G', 0, "", "", "");
    l2->Store(frame.substr(0, 20));
    EXPECT_TRUE(seen.empty());
    l2->Store(frame.substr(20));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Kind, 'G');
    EXPECT_EQ(seen[0].Data, "");
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(LinkReassembly, DataInTwoReadsWaitsWithoutParsingTheHeaderAgain)
{
    const std::string data(40, 'd');
    const std::string frame = Frame(0, 'D', 0xF0, "W1AW", "N0CALL", data);
    l2->Store(frame.substr(0, 36 + 10));
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(l2->Pending);
    EXPECT_EQ(l2->RxLen, 40);
    l2->Store(frame.substr(46));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Data, data);
    EXPECT_FALSE(l2->Pending);
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(LinkReassembly, PendingDataIsNotReadAsAHeader)
{
    // The data part looks like a header of its own; while pending it is data.
    const std::string inner = Frame(5, 'X', 0, "FAKE", "", "");
    const std::string frame = Frame(0, 'D', 0xF0, "W1AW", "N0CALL", inner);
    l2->Store(frame.substr(0, 40));
    l2->Store(frame.substr(40));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Kind, 'D');
    EXPECT_EQ(seen[0].Data, inner);
}

TEST_F(LinkReassembly, ThreeFramesInOneReadInArrivalOrder)
{
    l2->Store(Frame(0, 'D', 0xF0, "A", "N0CALL", "first") + Frame(1, 'd', 0, "B", "N0CALL", "") +
              Frame(2, 'D', 0xF0, "C", "N0CALL", "third"));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].Data, "first");
    EXPECT_EQ(seen[0].Port, 1);
    EXPECT_EQ(seen[1].Kind, 'd');
    EXPECT_EQ(seen[1].CallFrom, "B");
    EXPECT_EQ(seen[2].Data, "third");
    EXPECT_EQ(seen[2].Port, 3);
}

TEST_F(LinkReassembly, FrameAndStartOfTheNext)
{
    const std::string next = Frame(0, 'D', 0xF0, "W1AW", "N0CALL", "later");
    l2->Store(Frame(0, 'D', 0xF0, "W1AW", "N0CALL", "now") + next.substr(0, 20));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Data, "now");
    EXPECT_EQ(Waiting(), 20u);
    EXPECT_EQ(l2->RxBuffer.substr(l2->RxStart), next.substr(0, 20));
    l2->Store(next.substr(20));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].Data, "later");
}

TEST_F(LinkReassembly, PortByteIsReadPlusOneInEightBits)
{
    l2->Store(Frame(0, 'y', 0, "", "", "") + Frame(15, 'y', 0, "", "", "") + Frame(255, 'y', 0, "", "", ""));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].Port, 1);
    EXPECT_EQ(seen[1].Port, 16);
    EXPECT_EQ(seen[2].Port, 0);
}

TEST_F(LinkReassembly, CallFieldWithoutNulGivesTenCharacters)
{
    std::string frame = Frame(0, 'D', 0xF0, "", "", "x");
    frame.replace(8, 10, "ABCDEFGHIJ");
    frame.replace(18, 10, "KLMNOPQRST");
    l2->Store(frame);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].CallFrom, "ABCDEFGHIJ");
    EXPECT_EQ(seen[0].CallTo, "KLMNOPQRST");
    EXPECT_EQ(seen[0].Data, "x");
}

TEST_F(LinkReassembly, HeaderFieldsReachTheDecoder)
{
    std::string frame = Frame(2, 'D', 0xCF, "w1aw-3", "n0call", "text\r");
    frame[30] = 1; // the high length bytes are not consulted
    l2->Store(frame);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Port, 3);
    EXPECT_EQ(seen[0].PID, 0xCF);
    EXPECT_EQ(seen[0].Kind, 'D');
    EXPECT_EQ(seen[0].CallFrom, "W1AW-3");
    EXPECT_EQ(seen[0].CallTo, "N0CALL");
    EXPECT_EQ(seen[0].Data, "text\r");
    EXPECT_EQ(l2->RxFrom, "w1aw-3");
}

TEST_F(LinkReassembly, ByteByByteStreamGivesEveryFrameWhole)
{
    std::string stream;
    std::vector<std::string> texts;
    for (int i = 0; i < 20; ++i) {
        texts.push_back(std::string(static_cast<size_t>(i * 37 % 300), static_cast<char>('a' + i)));
        stream += Frame(0, 'D', 0xF0, "W1AW", "N0CALL", texts.back());
    }
    for (char c : stream)
        l2->Store(std::string_view(&c, 1));
    ASSERT_EQ(seen.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(seen[i].Data, texts[i]) << i;
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(l2->RxStart, 0u) << "consumed bytes are erased after each read";
}

TEST_F(LinkReassembly, BytesArrivingInsideAnEventAreTakenInOrder)
{
    // A handler that runs a nested event loop (a message box) may see the
    // next read arrive before it returns.
    const std::string second = Frame(0, 'D', 0xF0, "W1AW", "N0CALL", "second");
    const std::string third = Frame(0, 'D', 0xF0, "W1AW", "N0CALL", "third");
    auto record = l2->FOnFrame;
    bool nested = false;
    l2->FOnFrame = [&](TL2& link, uint8_t port, uint8_t pid, char kind, const std::string& from, const std::string& to,
                       const std::string& data) {
        record(link, port, pid, kind, from, to, data);
        if (!nested) {
            nested = true;
            link.Store(third.substr(0, 20));
        }
    };
    l2->Store(Frame(0, 'D', 0xF0, "W1AW", "N0CALL", "first") + second);
    l2->Store(third.substr(20));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].Data, "first");
    EXPECT_EQ(seen[1].Data, "second");
    EXPECT_EQ(seen[2].Data, "third");
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(LinkReassembly, StateSurvivesAReconnect)
{
    const std::string frame = Frame(0, 'D', 0xF0, "W1AW", "N0CALL", "abc");
    socket->Connect();
    socket->Deliver(frame.substr(0, 10));
    socket->PeerClose();
    socket->Connect();
    socket->Deliver(frame.substr(10));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Data, "abc");
}
