#include "LinkHarness.h"

using linktest::LinkTest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::string header(uint8_t port, char kind, uint8_t pid, std::string_view from, std::string_view to, uint8_t low,
                   uint8_t high)
{
    std::string h(36, '\0');
    h[0] = static_cast<char>(port);
    h[4] = kind;
    h[6] = static_cast<char>(pid);
    h.replace(8, from.size(), from);
    h.replace(18, to.size(), to);
    h[28] = static_cast<char>(low);
    h[29] = static_cast<char>(high);
    return h;
}

std::vector<uint32_t> lengths(const std::vector<AgwFrame>& frames)
{
    std::vector<uint32_t> lengths;
    for (auto& f : frames)
        lengths.push_back(f.dataLen);
    return lengths;
}

} // namespace

class LinkSend : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        l2->setCallSign("N0CALL");
        bringUp();
    }
};

TEST_F(LinkSend, SendDataWritesOneExactFrame)
{
    l2->sendData(3, 0xF0, "N0CALL", "W1AW-7", "hello\r");
    EXPECT_EQ(socket->sent, header(2, 'D', 0xF0, "N0CALL", "W1AW-7", 6, 0) + "hello\r");
    EXPECT_THAT(traceText(), ElementsAre("{L2} SendData Received Port(3) Pid(240) To(W1AW-7)",
                                         "{L2} <L2 Send> Port(3) DK[D] Pid(240) From(N0CALL) To(W1AW-7) DK[D] "
                                         "Len(6) using object(N0CALL)",
                                         "{L2} Send Frame Header iLen(6)",
                                         "{L2} Entered condition iLen<=DWORD(MAXFRAME-1) <SENT> or Frame <K>/<P>"));
}

TEST_F(LinkSend, PortsZeroAndOneBothGoOutAsPortByteZero)
{
    l2->sendData(0, 0xF0, "A", "B", "x");
    l2->sendData(1, 0xF0, "A", "B", "x");
    l2->sendData(2, 0xF0, "A", "B", "x");
    auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].wirePort, 0);
    EXPECT_EQ(frames[1].wirePort, 0);
    EXPECT_EQ(frames[2].wirePort, 1);
}

TEST_F(LinkSend, EmptyTextIsAHeaderAlone)
{
    l2->sendData(1, 0xF0, "N0CALL", "W1AW", "");
    EXPECT_EQ(socket->sent, header(0, 'D', 0xF0, "N0CALL", "W1AW", 0, 0));
    auto text = traceText();
    ASSERT_EQ(text.size(), 4u);
    EXPECT_EQ(text[2], "{L2} Send Frame Header iLen(0)");
    EXPECT_EQ(text[3], "{L2} Sent NUL length frame");
}

TEST_F(LinkSend, TextOf255BytesIsOneFrame)
{
    l2->sendData(1, 0xF0, "N0CALL", "W1AW", std::string(255, 'a'));
    EXPECT_THAT(lengths(sentFrames()), ElementsAre(255u));
}

TEST_F(LinkSend, TextOf256BytesIsTwoFrames)
{
    const std::string text = std::string(255, 'a') + "b";
    l2->sendData(1, 0xF0, "N0CALL", "W1AW", text);
    const std::string sent = socket->takeSent();
    EXPECT_EQ(sent, header(0, 'D', 0xF0, "N0CALL", "W1AW", 255, 0) + std::string(255, 'a') +
                        header(0, 'D', 0xF0, "N0CALL", "W1AW", 1, 0) + "b");
}

TEST_F(LinkSend, TextOf600BytesIsThreeFramesInOrder)
{
    std::string text;
    for (int i = 0; i < 600; ++i)
        text += static_cast<char>('A' + i % 26);
    l2->sendData(2, 0xF0, "N0CALL", "W1AW", text);
    auto frames = sentFrames();
    EXPECT_THAT(lengths(frames), ElementsAre(255u, 255u, 90u));
    std::string joined;
    for (auto& f : frames) {
        EXPECT_EQ(f.wirePort, 1);
        EXPECT_EQ(f.kind, 'D');
        EXPECT_EQ(f.pid, 0xF0);
        EXPECT_EQ(f.callFrom, "N0CALL");
        EXPECT_EQ(f.callTo, "W1AW");
        joined += f.data;
    }
    EXPECT_EQ(joined, text);
    auto lines = traceText();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 2, lines.end()),
                ElementsAre("{L2} Send Frame Header iLen(600)", "{L2} Frame Split <SENT>",
                            "{L2} Send Frame Header iLen(345)", "{L2} Frame Split <SENT>",
                            "{L2} Send Frame Header iLen(90)",
                            "{L2} Entered condition iLen<=DWORD(MAXFRAME-1) <SENT> or Frame <K>/<P>"));
}

TEST_F(LinkSend, LoginAndRawFramesAreNeverSplit)
{
    EXPECT_TRUE(l2->write(0, 0, 'P', "", "", std::string(510, 'p')));
    std::string sent = socket->takeSent();
    ASSERT_EQ(sent.size(), 36u + 510u);
    EXPECT_EQ(sent.substr(0, 36), header(0, 'P', 0, "", "", 0xFE, 0x01));

    EXPECT_TRUE(l2->write(1, 0, 'K', "", "", std::string(600, 'k')));
    sent = socket->takeSent();
    ASSERT_EQ(sent.size(), 36u + 600u);
    EXPECT_EQ(static_cast<uint8_t>(sent[28]), 0x58);
    EXPECT_EQ(static_cast<uint8_t>(sent[29]), 0x02);
}

TEST_F(LinkSend, LongCallsignsAreCutToTen)
{
    l2->sendData(1, 0xF0, "ABCDEFGHIJK", "0123456789", "x");
    const std::string sent = socket->takeSent();
    EXPECT_EQ(sent.substr(8, 10), "ABCDEFGHIJ");
    EXPECT_EQ(sent.substr(18, 10), "0123456789");
    EXPECT_EQ(sent[28], 1);
    EXPECT_EQ(sent.substr(36), "x");
}

TEST_F(LinkSend, WriteWhileDownSendsNothing)
{
    socket->open = false;
    EXPECT_FALSE(l2->write(1, 0xF0, 'D', "N0CALL", "W1AW", "text"));
    EXPECT_EQ(socket->sent, "");
    EXPECT_THAT(trace(), ElementsAre("{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE"));
}

TEST_F(LinkSend, WriteRefusalIsALevelTwoLine)
{
    socket->open = false;
    l2->traceLog().level = 1;
    l2->write(1, 0xF0, 'D', "N0CALL", "W1AW", "text");
    EXPECT_THAT(trace(), IsEmpty());
}

TEST_F(LinkSend, SendWithoutSocketFails)
{
    EXPECT_FALSE(l2->send(nullptr, 1, 0, 'G', "", "", 0, ""));
    EXPECT_EQ(socket->sent, "");
}

TEST_F(LinkSend, SendAgwRefusesWhenTheConnectionIsDown)
{
    socket->open = false;
    l2->sendAgw(std::string(36, '\0'));
    EXPECT_EQ(socket->sent, "");
    EXPECT_THAT(trace(), ElementsAre("{L2} ERROR attempt to send to AGWPE with no active connection"));
}

TEST_F(LinkSend, RegisterAndUnregisterSendTheirCallsign)
{
    EXPECT_TRUE(l2->agwRegister("N0CALL-5"));
    EXPECT_TRUE(l2->agwUnRegister("N0CALL-5"));
    EXPECT_EQ(socket->sent, header(0, 'X', 0, "N0CALL-5", "", 0, 0) + header(0, 'x', 0, "N0CALL-5", "", 0, 0));
}

TEST_F(LinkSend, RegisterWithoutCallsignSendsAndTracesNothing)
{
    EXPECT_FALSE(l2->agwRegister(""));
    EXPECT_FALSE(l2->agwUnRegister(""));
    EXPECT_EQ(socket->sent, "");
    EXPECT_THAT(trace(), IsEmpty());
}

TEST_F(LinkSend, DisconnectSendsLowerD)
{
    l2->disconnect(2, "N0CALL", "W1AW");
    EXPECT_EQ(socket->sent, header(1, 'd', 0, "N0CALL", "W1AW", 0, 0));
}

TEST_F(LinkSend, DumpsTheDataAtLevelFive)
{
    l2->write(1, 0, 'M', "N0CALL", "BEACON", "Hi");
    auto lines = trace();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], " |48 69 -- -- -- -- -- -- -- -- -- -- -- -- -- -- |Hi              ");
    EXPECT_EQ(lines[2], "{L2} Send Frame Header iLen(2)");
    // The frame dump: header and data, 38 bytes on three lines.
    EXPECT_EQ(lines[3], " |00 00 00 00 4D 00 00 00 4E 30 43 41 4C 4C 00 00 |....M...N0CALL..");
    EXPECT_EQ(lines[5], " |00 00 00 00 48 69 -- -- -- -- -- -- -- -- -- -- |....Hi          ");
    EXPECT_EQ(lines[6], "{L2} Entered condition iLen<=DWORD(MAXFRAME-1) <SENT> or Frame <K>/<P>");
}

TEST_F(LinkSend, HandlersMaySendInsideAnEventAndFramesKeepCallOrder)
{
    l2->onFrame = [](AgwLink& link, uint8_t port, uint8_t, char kind, const std::string& from, const std::string&,
                     const std::string& data) {
        if (kind == 'D')
            link.sendData(port, 0xF0, "N0CALL", from, "echo:" + data);
    };
    socket->deliver(agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "one") + agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "two"));
    auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data, "echo:one");
    EXPECT_EQ(frames[1].data, "echo:two");
}

using LinkViaList = ::testing::Test;

TEST_F(LinkViaList, TwoCallsignsGiveTwentyOneBytes)
{
    const std::string via = AgwLink::viaList("WIDE1  RELAY");
    EXPECT_EQ(via, std::string("\x02") + "WIDE1" + std::string(5, '\0') + "RELAY" + std::string(5, '\0'));
    EXPECT_EQ(AgwLink::viaList(" ABCDE  WXYZ "),
              std::string("\x02") + "ABCDE" + std::string(5, '\0') + "WXYZ" + std::string(6, '\0'));
}

TEST_F(LinkViaList, BlanksOnlyGiveNothing)
{
    EXPECT_EQ(AgwLink::viaList(""), "");
    EXPECT_EQ(AgwLink::viaList("    "), "");
    EXPECT_EQ(AgwLink::viaList("  \r"), "");
}

TEST_F(LinkViaList, TenCharacterCallFillsItsSlot)
{
    EXPECT_EQ(AgwLink::viaList("ABCDEFGH-9"), "\x01"
                                              "ABCDEFGH-9");
    EXPECT_EQ(AgwLink::viaList("WIDE2-2\r"), std::string("\x01") + "WIDE2-2" + std::string(3, '\0'));
}

TEST_F(LinkViaList, LongCallsAreCutToTheirSlot)
{
    EXPECT_EQ(AgwLink::viaList("ABCDEFGHIJKLMNOP W1AW"),
              std::string("\x02") + "ABCDEFGHIJ" + "W1AW" + std::string(6, '\0'));
}

TEST_F(LinkViaList, OnlyTheFirst25CallsAreKept)
{
    std::string list;
    for (int i = 0; i < 40; ++i)
        list += 'D' + std::to_string(i) + ' ';
    const std::string via = AgwLink::viaList(list);
    ASSERT_EQ(via.size(), 1u + 25u * 10u);
    EXPECT_EQ(via[0], 25);
    EXPECT_EQ(via.substr(1 + 24 * 10, 10), "D24" + std::string(7, '\0'));
}

TEST_F(LinkSend, RadioPort256GoesOutOnTheLastWirePort)
{
    l2->sendData(256, 0xF0, "N0CALL", "W1AW", "hello\r");
    EXPECT_EQ(static_cast<uint8_t>(socket->sent[0]), 255);
}
