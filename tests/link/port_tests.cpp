#include "decode_harness.h"

using namespace std::string_literals;
using decode_test::LinkFixture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class PortAnswers : public LinkFixture {
protected:
    // The frames that went out, as "<kind><1-based port>", checking that they carry nothing else.
    std::vector<std::string> sentRequests()
    {
        std::vector<std::string> requests;
        for (const AgwFrame& frame : decodeFrames(socket_->takeSent())) {
            EXPECT_EQ(frame.pid, 0);
            EXPECT_EQ(frame.callFrom, "");
            EXPECT_EQ(frame.callTo, "");
            EXPECT_EQ(frame.dataLen, 0u);
            requests.push_back(std::string(1, frame.kind) + std::to_string(frame.wirePort + 1));
        }
        return requests;
    }
};

TEST_F(PortAnswers, PortListNamesPortsFindsLoopbackAndAsksAboutEachPort)
{
    connectLink();
    link_->onPort = recorder("OnPort");
    decodeFrame(1, 'G', "", "", "2;Port1 first soundcard mono;Port2 LoopBack test;"s);
    EXPECT_EQ(link_->portCount(), 2);
    EXPECT_EQ(link_->enginePort(1).portName, "Port1 first soundcard mono");
    EXPECT_EQ(link_->enginePort(2).portName, "Port2 LoopBack test");
    EXPECT_EQ(link_->enginePort(1).listed, 1);
    EXPECT_EQ(link_->enginePort(2).listed, 1);
    EXPECT_EQ(link_->enginePort(3).listed, 0);
    EXPECT_EQ(link_->loopBack(), 1);
    EXPECT_EQ(link_->loopBackPort(), 2);
    EXPECT_THAT(sentRequests(), ElementsAre("H1", "g1", "y1", "H2", "g2", "y2"));
    EXPECT_THAT(takeEvents(), ElementsAre("OnPort()"));

    std::vector<std::string> parseLines;
    for (const std::string& line : traceLines())
        if (line.find("ParsePort") != std::string::npos || line.find("Port Information") != std::string::npos ||
            line.find("<G>") != std::string::npos)
            parseLines.push_back(line);
    EXPECT_THAT(parseLines,
                ElementsAre("{L2} Frame <G>", "{L2} <ParsePort> Port(1) Port1 first soundcard mono",
                            "{L2} <ParsePort> Port(2) Port2 LoopBack test",
                            "{L2} <ParsePort> Port 2 detected as a LoopBack", "{L2} Port Information Parsed"));
}

TEST_F(PortAnswers, LastLoopbackPortWinsAndTheFlagStays)
{
    connectLink();
    link_->parsePortList("3;loopback;radio;LOOPBACK");
    EXPECT_EQ(link_->loopBackPort(), 3);
    link_->parsePortList("1;radio");
    EXPECT_EQ(link_->loopBack(), 1);
    EXPECT_EQ(link_->loopBackPort(), 3);
}

TEST_F(PortAnswers, NamesAreCutAtNulAndMissingOnesAreEmpty)
{
    connectLink();
    link_->parsePortList("3;Port1\0junk;Port2"s);
    EXPECT_EQ(link_->portCount(), 3);
    EXPECT_EQ(link_->enginePort(1).portName, "Port1");
    EXPECT_EQ(link_->enginePort(2).portName, "Port2");
    EXPECT_EQ(link_->enginePort(3).portName, "");
    EXPECT_EQ(link_->enginePort(3).listed, 1);
    EXPECT_THAT(sentRequests(), ElementsAre("H1", "g1", "y1", "H2", "g2", "y2", "H3", "g3", "y3"));
}

TEST_F(PortAnswers, ListWhoseCountIsNotPlainDigitsIsIgnored)
{
    connectLink();
    for (const char* list : {" 2;Port1;Port2", "+1;Port1", "", ";Port1", "two;Port1"})
        link_->parsePortList(list);
    EXPECT_EQ(link_->portCount(), 16);
    EXPECT_EQ(link_->enginePort(1).listed, 0);
    EXPECT_THAT(sentRequests(), IsEmpty());
}

TEST_F(PortAnswers, PortsBeyondTheSixteenRecordsAreCountedOnly)
{
    connectLink();
    std::string list = "20;";
    for (int p = 1; p <= 20; ++p)
        list += "Port" + std::to_string(p) + ";";
    link_->parsePortList(list);
    EXPECT_EQ(link_->portCount(), 20);
    EXPECT_EQ(link_->enginePort(16).portName, "Port16");
    const auto requests = sentRequests();
    ASSERT_EQ(requests.size(), 48u);
    EXPECT_EQ(requests.back(), "y16");
}

TEST_F(PortAnswers, CountTooLargeForThirtyTwoBitsIsTracedAsAFailure)
{
    connectLink();
    link_->traceLog().level = 1;
    link_->parsePortList("99999999999;Port1");
    EXPECT_EQ(link_->portCount(), 16);
    EXPECT_THAT(sentRequests(), IsEmpty());
    EXPECT_THAT(traceLines(), ElementsAre("{L2} Exception on module ParsePort"));
}

TEST_F(PortAnswers, PortListEmptiesTheHeardListsOfListedPorts)
{
    connectLink();
    link_->parseHeard(1, "N0ABC");
    link_->parseHeard(2, "N0DEF");
    link_->parsePortList("1;Port1");
    EXPECT_EQ(link_->enginePort(1).heard[0], "");
    EXPECT_EQ(link_->enginePort(2).heard[0], "N0DEF");
}

TEST_F(PortAnswers, PollingRearmsOneTimerAfterEachList)
{
    connectLink();
    link_->parsePortList("0;");
    EXPECT_EQ(clock_.liveTimers(), 0u);

    link_->setPortPolling(true);
    link_->parsePortList("0;");
    EXPECT_EQ(link_->portCount(), 0);
    EXPECT_THAT(sentRequests(), IsEmpty());
    ASSERT_NE(AgwLinkProbe::portTimer(*link_), nullptr);
    EXPECT_EQ(AgwLinkProbe::portTimer(*link_)->interval(), 60000u);
    EXPECT_TRUE(AgwLinkProbe::portTimer(*link_)->enabled());

    clock_.advance(59999);
    EXPECT_THAT(sentRequests(), IsEmpty());
    clock_.advance(1);
    EXPECT_THAT(sentRequests(), ElementsAre("G1"));
    EXPECT_FALSE(AgwLinkProbe::portTimer(*link_)->enabled());

    clock_.advance(30000);
    link_->parsePortList("1;Port1");
    EXPECT_THAT(sentRequests(), ElementsAre("H1", "g1", "y1"));
    clock_.advance(59999);
    EXPECT_THAT(sentRequests(), IsEmpty());
    clock_.advance(1);
    EXPECT_THAT(sentRequests(), ElementsAre("G1"));
    EXPECT_EQ(clock_.liveTimers(), 1u);
}

TEST_F(PortAnswers, ParametersStoredFromElevenBytesOn)
{
    const std::string answer = "\x10\x11\x12\x13\x14\x15\x16\x17\x01\x02\x03\x04"s;
    decodeFrame(2, 'g', "", "", answer);
    EXPECT_EQ(link_->enginePort(2).params, (std::array<uint8_t, 8>{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17}));
    EXPECT_EQ(link_->enginePort(2).paramValue, 197121);

    link_->parseParam(3, answer.substr(0, 10));
    EXPECT_EQ(link_->enginePort(3).paramValue, 0);
    EXPECT_EQ(link_->enginePort(3).params, (std::array<uint8_t, 8>{}));

    link_->parseParam(3, "\0\0\0\0\0\0\0\0\xFF\xFF\xFF"s);
    EXPECT_EQ(link_->enginePort(3).paramValue, 0xFFFFFF);

    link_->parseParam(17, answer);
    link_->parseParam(0, answer);
    EXPECT_EQ(link_->enginePort(0).paramValue, 0);
}

TEST_F(PortAnswers, HeardListKeepsTheFirstTwentyEntries)
{
    for (int i = 1; i <= 21; ++i)
        link_->parseHeard(4, "N0CALL-" + std::to_string(i) + "\0tail"s);
    for (int i = 0; i < MAX_HEARD; ++i)
        EXPECT_EQ(link_->enginePort(4).heard[i], "N0CALL-" + std::to_string(i + 1));

    link_->parseHeard(17, "N0ABC");
    link_->parseHeard(0, "N0ABC");
    EXPECT_EQ(link_->enginePort(0).heard[0], "");
}

} // namespace
