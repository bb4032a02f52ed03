#include "decode_harness.h"

using namespace std::string_literals;
using decode_test::LinkFixture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class PortAnswers : public LinkFixture {
protected:
    // The frames that went out, as "<kind><1-based port>", checking that they carry nothing else.
    std::vector<std::string> SentRequests()
    {
        std::vector<std::string> requests;
        for (const AgwFrame& frame : DecodeFrames(socket_->TakeSent())) {
            EXPECT_EQ(frame.PID, 0);
            EXPECT_EQ(frame.CallFrom, "");
            EXPECT_EQ(frame.CallTo, "");
            EXPECT_EQ(frame.DataLen, 0u);
            requests.push_back(std::string(1, frame.Kind) + std::to_string(frame.WirePort + 1));
        }
        return requests;
    }
};

TEST_F(PortAnswers, PortListNamesPortsFindsLoopbackAndAsksAboutEachPort)
{
    ConnectLink();
    link_->FOnPort = Recorder("OnPort");
    DecodeFrame(1, 'G', "", "", "2;Port1 first soundcard mono;Port2 LoopBack test;"s);
    EXPECT_EQ(link_->PortCount, 2);
    EXPECT_EQ(link_->Ports[1].PortName, "Port1 first soundcard mono");
    EXPECT_EQ(link_->Ports[2].PortName, "Port2 LoopBack test");
    EXPECT_EQ(link_->Ports[1].Listed, 1);
    EXPECT_EQ(link_->Ports[2].Listed, 1);
    EXPECT_EQ(link_->Ports[3].Listed, 0);
    EXPECT_EQ(link_->LoopBack, 1);
    EXPECT_EQ(link_->LoopBackPort, 2);
    EXPECT_THAT(SentRequests(), ElementsAre("H1", "g1", "y1", "H2", "g2", "y2"));
    EXPECT_THAT(TakeEvents(), ElementsAre("OnPort()"));

    std::vector<std::string> parseLines;
    for (const std::string& line : TraceLines())
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
    ConnectLink();
    link_->ParsePort("3;loopback;radio;LOOPBACK");
    EXPECT_EQ(link_->LoopBackPort, 3);
    link_->ParsePort("1;radio");
    EXPECT_EQ(link_->LoopBack, 1);
    EXPECT_EQ(link_->LoopBackPort, 3);
}

TEST_F(PortAnswers, NamesAreCutAtNulAndMissingOnesAreEmpty)
{
    ConnectLink();
    link_->ParsePort("3;Port1\0junk;Port2"s);
    EXPECT_EQ(link_->PortCount, 3);
    EXPECT_EQ(link_->Ports[1].PortName, "Port1");
    EXPECT_EQ(link_->Ports[2].PortName, "Port2");
    EXPECT_EQ(link_->Ports[3].PortName, "");
    EXPECT_EQ(link_->Ports[3].Listed, 1);
    EXPECT_THAT(SentRequests(), ElementsAre("H1", "g1", "y1", "H2", "g2", "y2", "H3", "g3", "y3"));
}

TEST_F(PortAnswers, ListWhoseCountIsNotPlainDigitsIsIgnored)
{
    ConnectLink();
    for (const char* list : {" 2;Port1;Port2", "+1;Port1", "", ";Port1", "two;Port1"})
        link_->ParsePort(list);
    EXPECT_EQ(link_->PortCount, 16);
    EXPECT_EQ(link_->Ports[1].Listed, 0);
    EXPECT_THAT(SentRequests(), IsEmpty());
}

TEST_F(PortAnswers, PortsBeyondTheSixteenRecordsAreCountedOnly)
{
    ConnectLink();
    std::string list = "20;";
    for (int p = 1; p <= 20; ++p)
        list += "Port" + std::to_string(p) + ";";
    link_->ParsePort(list);
    EXPECT_EQ(link_->PortCount, 20);
    EXPECT_EQ(link_->Ports[16].PortName, "Port16");
    const auto requests = SentRequests();
    ASSERT_EQ(requests.size(), 48u);
    EXPECT_EQ(requests.back(), "y16");
}

TEST_F(PortAnswers, CountTooLargeForThirtyTwoBitsIsTracedAsAFailure)
{
    ConnectLink();
    link_->Log.Trace = 1;
    link_->ParsePort("99999999999;Port1");
    EXPECT_EQ(link_->PortCount, 16);
    EXPECT_THAT(SentRequests(), IsEmpty());
    EXPECT_THAT(TraceLines(), ElementsAre("{L2} Exception on module ParsePort"));
}

TEST_F(PortAnswers, PortListEmptiesTheHeardListsOfListedPorts)
{
    ConnectLink();
    link_->ParseHeard(1, "N0ABC");
    link_->ParseHeard(2, "N0DEF");
    link_->ParsePort("1;Port1");
    EXPECT_EQ(link_->Ports[1].Heard[0], "");
    EXPECT_EQ(link_->Ports[2].Heard[0], "N0DEF");
}

TEST_F(PortAnswers, PollingRearmsOneTimerAfterEachList)
{
    ConnectLink();
    link_->ParsePort("0;");
    EXPECT_EQ(clock_.LiveTimers(), 0u);

    link_->PortPolling = true;
    link_->ParsePort("0;");
    EXPECT_EQ(link_->PortCount, 0);
    EXPECT_THAT(SentRequests(), IsEmpty());
    ASSERT_NE(link_->PortTimer, nullptr);
    EXPECT_EQ(link_->PortTimer->Interval(), 60000u);
    EXPECT_TRUE(link_->PortTimer->Enabled());

    clock_.Advance(59999);
    EXPECT_THAT(SentRequests(), IsEmpty());
    clock_.Advance(1);
    EXPECT_THAT(SentRequests(), ElementsAre("G1"));
    EXPECT_FALSE(link_->PortTimer->Enabled());

    clock_.Advance(30000);
    link_->ParsePort("1;Port1");
    EXPECT_THAT(SentRequests(), ElementsAre("H1", "g1", "y1"));
    clock_.Advance(59999);
    EXPECT_THAT(SentRequests(), IsEmpty());
    clock_.Advance(1);
    EXPECT_THAT(SentRequests(), ElementsAre("G1"));
    EXPECT_EQ(clock_.LiveTimers(), 1u);
}

TEST_F(PortAnswers, ParametersStoredFromElevenBytesOn)
{
    const std::string answer = "\x10\x11\x12\x13\x14\x15\x16\x17\x01\x02\x03\x04"s;
    DecodeFrame(2, 'g', "", "", answer);
    EXPECT_EQ(link_->Ports[2].Params, (std::array<uint8_t, 8>{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17}));
    EXPECT_EQ(link_->Ports[2].ParamValue, 197121);

    link_->ParseParam(3, answer.substr(0, 10));
    EXPECT_EQ(link_->Ports[3].ParamValue, 0);
    EXPECT_EQ(link_->Ports[3].Params, (std::array<uint8_t, 8>{}));

    link_->ParseParam(3, "\0\0\0\0\0\0\0\0\xFF\xFF\xFF"s);
    EXPECT_EQ(link_->Ports[3].ParamValue, 0xFFFFFF);

    link_->ParseParam(17, answer);
    link_->ParseParam(0, answer);
    EXPECT_EQ(link_->Ports[0].ParamValue, 0);
}

TEST_F(PortAnswers, HeardListKeepsTheFirstTwentyEntries)
{
    for (int i = 1; i <= 21; ++i)
        link_->ParseHeard(4, "N0CALL-" + std::to_string(i) + "\0tail"s);
    for (int i = 0; i < MAX_HEARD; ++i)
        EXPECT_EQ(link_->Ports[4].Heard[i], "N0CALL-" + std::to_string(i + 1));

    link_->ParseHeard(17, "N0ABC");
    link_->ParseHeard(0, "N0ABC");
    EXPECT_EQ(link_->Ports[0].Heard[0], "");
}

} // namespace
