#include "decode_harness.h"

#include <stdexcept>

using namespace std::string_literals;
using decode_test::LinkFixture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class Decoder : public LinkFixture {};

TEST_F(Decoder, UnlistedKindTracesAndRaisesOnlyOnFrame)
{
    recordAll();
    decodeFrame(2, 'M', "n0abc", "cq", "text", 0xF0);
    EXPECT_THAT(takeEvents(), ElementsAre("OnFrame(2|240|M|N0ABC|CQ|text)"));
    EXPECT_THAT(traceLines(),
                ElementsAre("{L2} Decode Args Obj(N0SRV) Port(2) Kind[M] {F0} <n0abc> <cq> Len(4) + DATA"));
}

TEST_F(Decoder, TraceLineFormDependsOnKind)
{
    decodeFrame(1, 'H', "", "", "");
    decodeFrame(3, 'U', "a", "b", "xy", 0x0A);
    decodeFrame(1, 'K', "a", "b", "\x01\x02"s);
    decodeFrame(1, 'y', "", "", "");
    EXPECT_THAT(traceLines(),
                ElementsAre("{L2} Obj(N0SRV) Decode Args Port(1) Kind[H] {00} <> <> Len(0) + DATA",
                            "{L2} Obj(N0SRV) Decode Args Port(3) Kind[U] {0A} <a> <b> Len(2) + DATA",
                            "{L2} GetHeader ->xy",
                            " |78 79 -- -- -- -- -- -- -- -- -- -- -- -- -- -- |xy              ",
                            "{L2} Decode KISS Obj(N0SRV) Port(1) Kind[K] Len(2) + RAW AX.25 Frame", "AGW Message <K>",
                            " |01 02 -- -- -- -- -- -- -- -- -- -- -- -- -- -- |..              ",
                            "{L2} Decode Args Obj(N0SRV) Port(1) Kind[y] {00} <> <> Len(0) + DATA"));
}

TEST_F(Decoder, MonitoredKindsAnnounceTheMessageAndDumpTheData)
{
    decodeFrame(1, 'S', "a", "b", "zz");
    const auto lines = traceLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "{L2} Obj(N0SRV) Decode Args Port(1) Kind[S] {00} <a> <b> Len(2) + DATA");
    EXPECT_EQ(lines[1], "AGWMessage <S>");
    EXPECT_EQ(lines[2], " |7A 7A -- -- -- -- -- -- -- -- -- -- -- -- -- -- |zz              ");
}

TEST_F(Decoder, TraceLevelHoldsBackFinerLines)
{
    recordAll();
    link_->traceLog().level = 3;
    decodeFrame(1, 'G', "", "", "0;");
    decodeFrame(1, 'D', "n0usr", "n0srv", "hello\r", 0xF0);
    decodeFrame(1, 'C', "n0usr", "n0srv", "*** CONNECTED To Station N0USR\r");
    EXPECT_THAT(traceLines(), ElementsAre("{L2} Frame <G>"));
}

TEST_F(Decoder, HeaderCallsignsReachEveryEventUpperCased)
{
    recordAll();
    decodeFrame(1, 'D', "n0Usr-1", "n0srv", "hi\r", 0xF0);
    EXPECT_THAT(takeEvents(),
                ElementsAre("OnFrame(1|240|D|N0USR-1|N0SRV|hi\\x0D)", "OnData(1|N0USR-1|N0SRV|240|hi\\x0D)"));
}

TEST_F(Decoder, KindsDifferingInCaseAreDifferentKinds)
{
    recordAllButFrame();
    decodeFrame(1, 'g', "", "", std::string(12, '\0'));
    decodeFrame(1, 'G', "", "", "0;");
    decodeFrame(1, 'x', "N0SRV", "", "\x01"s);
    decodeFrame(1, 'X', "N0SRV", "", "\x01"s);
    decodeFrame(1, 'd', "N0USR", "N0SRV", "*** DISCONNECTED From Station N0USR\r");
    decodeFrame(1, 'D', "N0USR", "N0SRV", "*** DISCONNECTED From Station N0USR\r");
    EXPECT_THAT(takeEvents(),
                ElementsAre("OnParameter()", "OnPort()", "OnUnRegister(1|N0SRV|\\x01)", "OnRegister(1|N0SRV|\\x01)",
                            "OnHisDisconnect(1|N0USR|*** DISCONNECTED From Station N0USR)",
                            "OnDisconnect(1|N0USR|*** DISCONNECTED From Station N0USR)",
                            "OnDisconnectEx(1|N0USR|N0SRV|*** DISCONNECTED From Station N0USR)",
                            "OnData(1|N0USR|N0SRV|0|*** DISCONNECTED From Station N0USR\\x0D)"));
}

TEST_F(Decoder, VersionNeedsEightBytes)
{
    recordAllButFrame();
    decodeFrame(1, 'R', "", "", "\x02\x00\x00\x00\x11\x00\x00\x00"s);
    EXPECT_THAT(takeEvents(), ElementsAre("OnVersion(2|17)"));
    EXPECT_EQ(link_->versionMajor(), 2);
    EXPECT_EQ(link_->versionMinor(), 17);
    EXPECT_EQ(traceLines().back(), "{L2} Fired Event <FOnVersion>");

    decodeFrame(1, 'R', "", "", "\x03\x01\xFF\xFF\x04\x02\xFF"s);
    EXPECT_THAT(takeEvents(), IsEmpty());
    EXPECT_EQ(link_->versionMajor(), 2);

    decodeFrame(1, 'R', "", "", "\x03\x01\xFF\xFF\x04\x02\xFF\xFF"s);
    EXPECT_THAT(takeEvents(), ElementsAre("OnVersion(259|516)"));
}

TEST_F(Decoder, WaitingFramesStoredOnlyForPortRecords)
{
    recordAllButFrame();
    decodeFrame(3, 'y', "", "", "\x2C\x01\x00\x00"s);
    decodeFrame(17, 'y', "", "", "\x05\x00\x00\x00"s);
    decodeFrame(4, 'y', "", "", "\x05\x00\x00"s);
    EXPECT_THAT(takeEvents(), ElementsAre("OnPortFrames(3|300)", "OnPortFrames(17|5)"));
    EXPECT_EQ(link_->enginePort(3).waiting, 44);
    EXPECT_EQ(link_->enginePort(4).waiting, 0);
    for (int port = 1; port <= MAX_PORTS; ++port) {
        if (port != 3) {
            EXPECT_EQ(link_->enginePort(port).waiting, 0) << port;
        }
    }
}

TEST_F(Decoder, RegistrationAnswersSetAndClearRegistered)
{
    recordAllButFrame();
    decodeFrame(1, 'X', "n0srv", "", "\x01"s);
    EXPECT_TRUE(link_->isRegistered());
    decodeFrame(1, 'X', "N0SRV", "", ""s);
    EXPECT_TRUE(link_->isRegistered());
    decodeFrame(1, 'X', "N0SRV", "", "\x00"s);
    EXPECT_FALSE(link_->isRegistered());
    decodeFrame(1, 'x', "N0SRV", "", "\x00"s);
    EXPECT_TRUE(link_->isRegistered());
    decodeFrame(1, 'x', "N0SRV", "", "\x01"s);
    EXPECT_FALSE(link_->isRegistered());
    EXPECT_THAT(takeEvents(),
                ElementsAre("OnRegister(1|N0SRV|\\x01)", "OnRegister(1|N0SRV|)", "OnRegister(1|N0SRV|\\x00)",
                            "OnUnRegister(1|N0SRV|\\x00)", "OnUnRegister(1|N0SRV|\\x01)"));
}

TEST_F(Decoder, IncomingConnectNamesTheStationAfterFourWords)
{
    recordAllButFrame();
    clearTrace();
    const std::string notice = "*** CONNECTED To Station N0USR-2\r\0"s;
    decodeFrame(2, 'C', "n0usr-2", "n0srv", notice);
    EXPECT_THAT(takeEvents(), ElementsAre("OnHisConnect(2|N0USR-2|*** CONNECTED To Station N0USR-2)",
                                          "OnAnyConnect(2|N0USR-2|*** CONNECTED To Station N0USR-2)",
                                          "OnConnectEx(2|N0USR-2|N0SRV|*** CONNECTED To Station N0USR-2)"));
    const auto lines = traceLines();
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 1, lines.end()),
                ElementsAre("{L2} Connect (his) String->" + notice, "{L2} Fired Event <FOnHisConnect>"));
}

TEST_F(Decoder, ConnectRunsBothTests)
{
    recordAllButFrame();
    decodeFrame(1, 'C', "A", "B", "CONNECTED To CONNECTED With X");
    EXPECT_THAT(takeEvents(), ElementsAre("OnHisConnect(1|X|CONNECTED To CONNECTED With X)",
                                          "OnAnyConnect(1|X|CONNECTED To CONNECTED With X)",
                                          "OnConnectEx(1|A|B|CONNECTED To CONNECTED With X)",
                                          "OnMyConnect(1|X|CONNECTED To CONNECTED With X)",
                                          "OnAnyConnect(1|X|CONNECTED To CONNECTED With X)",
                                          "OnConnectEx(1|A|B|CONNECTED To CONNECTED With X)"));

    decodeFrame(1, 'C', "A", "B", "*** connected to Station X\r");
    decodeFrame(1, 'C', "A", "B", "*** CONNECTED\r");
    EXPECT_THAT(takeEvents(), IsEmpty());
}

TEST_F(Decoder, ShortNoticeGivesEmptyCall)
{
    recordAllButFrame();
    decodeFrame(1, 'C', "A", "B", "*** CONNECTED To Station");
    EXPECT_THAT(takeEvents(),
                ElementsAre("OnHisConnect(1||*** CONNECTED To Station)", "OnAnyConnect(1||*** CONNECTED To Station)",
                            "OnConnectEx(1|A|B|*** CONNECTED To Station)"));
}

TEST_F(Decoder, RetryOutWinsOverFrom)
{
    recordAllButFrame();
    clearTrace();
    const std::string notice = "*** DISCONNECTED RETRYOUT From N0USR\r"s;
    decodeFrame(1, 'd', "N0USR", "N0SRV", notice);
    EXPECT_THAT(takeEvents(), ElementsAre("OnRetryOut(1|N0USR|*** DISCONNECTED RETRYOUT From N0USR)",
                                          "OnDisconnect(1|N0USR|*** DISCONNECTED RETRYOUT From N0USR)",
                                          "OnDisconnectEx(1|N0USR|N0SRV|*** DISCONNECTED RETRYOUT From N0USR)"));
    const auto lines = traceLines();
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 1, lines.end()),
                ElementsAre("{L2} Disconnect (retryout) String->" + notice, "{L2} Fired Event <FOnRetryOut>",
                            "{L2} Fired Event <FOnDisconnect>"));
}

TEST_F(Decoder, DisconnectNamesTheHeadersStationNotTheOneInItsText)
{
    link_->onDisconnect = recorder("OnDisconnect");
    clearTrace();
    decodeFrame(1, 'd', "N0USR", "N0SRV", "*** DISCONNECTED From Station AB\r");
    EXPECT_THAT(takeEvents(), ElementsAre("OnDisconnect(1|N0USR|*** DISCONNECTED From Station AB)"));
    const auto lines = traceLines();
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 1, lines.end()),
                ElementsAre("{L2} Disconnect (his) String->*** DISCONNECTED From Station AB\r",
                            " |4E 30 55 53 52 -- -- -- -- -- -- -- -- -- -- -- |N0USR           ",
                            "{L2} Fired Event <FOnDisconnect>"));

    decodeFrame(1, 'd', "N0USR", "N0SRV", "*** DISCONNECTED RETRYOUT With N0BOB\r");
    EXPECT_THAT(takeEvents(), ElementsAre("OnDisconnect(1|N0USR|*** DISCONNECTED RETRYOUT With N0BOB)"));
}

TEST_F(Decoder, DisconnectWithNamesTheHeaderAddressee)
{
    recordAllButFrame();
    decodeFrame(1, 'd', "n0srv", "n0usr", "*** DISCONNECTED With Station SOMEONE\r");
    EXPECT_THAT(takeEvents(), ElementsAre("OnMyDisconnect(1|N0USR|*** DISCONNECTED With Station SOMEONE)",
                                          "OnDisconnect(1|N0USR|*** DISCONNECTED With Station SOMEONE)",
                                          "OnDisconnectEx(1|N0SRV|N0USR|*** DISCONNECTED With Station SOMEONE)"));

    decodeFrame(1, 'd', "n0srv", "n0usr", "*** DISCONNECTED\r");
    decodeFrame(1, 'd', "n0srv", "n0usr", "*** From Station X\r");
    EXPECT_THAT(takeEvents(), IsEmpty());
}

TEST_F(Decoder, DataPassesWholeWithItsTraceLines)
{
    link_->onData = recorder("OnData");
    clearTrace();
    const std::string text = "one\rtwo\r\n\0"s;
    decodeFrame(4, 'D', "N0USR", "N0SRV", text, 0xF0);
    EXPECT_THAT(takeEvents(), ElementsAre("OnData(4|N0USR|N0SRV|240|one\\x0Dtwo\\x0D\\x0A\\x00)"));
    const auto lines = traceLines();
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 1, lines.end()),
                ElementsAre("{L2} About to convert cPid <FOnData>",
                            " |F0 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- |.               ",
                            "{L2} Fired Event <FOnData>"));

    link_->onData = nullptr;
    clearTrace();
    decodeFrame(4, 'D', "N0USR", "N0SRV", text, 0xF0);
    EXPECT_EQ(traceLines().size(), 1u);
}

TEST_F(Decoder, FailingDataHandlerIsTracedAndTheNextFrameDecodes)
{
    link_->onData = [](AgwLink&, uint8_t, AgwLink::TextRef, AgwLink::TextRef, uint8_t, AgwLink::TextRef) {
        throw std::runtime_error("handler failed");
    };
    link_->onDisconnect = recorder("OnDisconnect");
    link_->traceLog().level = 1;
    decodeFrame(1, 'D', "n0usr", "n0srv", "bad\r");
    decodeFrame(1, 'd', "N0USR", "N0SRV", "*** DISCONNECTED From Station N0USR\r");
    EXPECT_THAT(traceLines(), ElementsAre("{L2} Exception on Module TL2.Decode (FrameD) L2(N0SRV)",
                                          "{L2} szFrom=N0USR szTo=N0SRV Data=bad\r"));
    EXPECT_THAT(takeEvents(), ElementsAre("OnDisconnect(1|N0USR|*** DISCONNECTED From Station N0USR)"));
}

TEST_F(Decoder, FailingFrameHandlerEndsTheFrame)
{
    recordAllButFrame();
    link_->onFrame = [](AgwLink&, uint8_t, uint8_t, char, AgwLink::TextRef, AgwLink::TextRef, AgwLink::TextRef) {
        throw std::runtime_error("handler failed");
    };
    link_->traceLog().level = 1;
    decodeFrame(1, 'X', "N0SRV", "", "\x01"s);
    EXPECT_THAT(takeEvents(), IsEmpty());
    EXPECT_FALSE(link_->isRegistered());
    EXPECT_THAT(traceLines(), ElementsAre("{L2} Exception on Module TL2.Decode (Initial)"));
}

TEST_F(Decoder, FailingRegisterHandlerLeavesRegisteredAlone)
{
    link_->onRegister = [](AgwLink&, uint8_t, AgwLink::TextRef, AgwLink::TextRef) {
        throw std::runtime_error("handler failed");
    };
    link_->onUnRegister = link_->onRegister;
    link_->traceLog().level = 1;
    decodeFrame(1, 'X', "N0SRV", "", "\x01"s);
    EXPECT_FALSE(link_->isRegistered());
    AgwLinkProbe::setRegistered(*link_, true);
    decodeFrame(1, 'x', "N0SRV", "", "\x01"s);
    EXPECT_TRUE(link_->isRegistered());
    EXPECT_THAT(traceLines(), ElementsAre("{L2} Exception on Module TL2.Decode (FrameX)",
                                          "{L2} Exception on Module TL2.Decode (Framex)"));
}

TEST_F(Decoder, UnprotoFrameGivesTheMonitorHeaderFields)
{
    recordAllButFrame();
    decodeFrame(1, 'U', "n0usr", "id", " 1:Fm n0usr To ID <UI pid=CF Len=12 PF=0 >[09:34:00]\rplain\nbeacon\r\0"s);
    EXPECT_THAT(takeEvents(), ElementsAre("OnDataUI(1|n0usr|ID|207|plain)"));

    link_->onDataUI = [](AgwLink&, uint8_t, AgwLink::TextRef, AgwLink::TextRef, uint8_t, AgwLink::TextRef) {
        throw std::runtime_error("handler failed");
    };
    link_->traceLog().level = 1;
    clearTrace();
    decodeFrame(1, 'U', "n0usr", "id", " 1:Fm A To B <UI pid=F0 Len=1 >\rx\r");
    EXPECT_THAT(traceLines(), ElementsAre("{L2} Exception on Module TL2.Decode.FrameU(OnDataUI Event)"));
}

TEST_F(Decoder, MonitoredFramesSelectedByMonitorLetters)
{
    recordAllButFrame();
    const std::string ui = " 1:Fm N0USR To CQ <UI pid=F0 Len=3 >[09:00:00]\rabc\r";
    const std::string sabm = " 1:Fm N0SRV To N0USR <SABM P=1 >[09:00:00]\r\0"s;
    const std::string rr = " 1:Fm N0SRV To N0USR <RR R3 F=0 >[09:00:00]\r\0"s;
    const std::string rnr = " 1:Fm N0SRV To N0USR <RNR R2 >[09:00:00]\r\0"s;
    const std::string iframe = " 1:Fm N0USR To N0SRV <I R2 S5 pid=F0 Len=2 >[09:00:00]\rok\r";

    for (const auto& frame : {ui, sabm, rr, iframe})
        decodeFrame(1, 'T', "n0x", "n0y", frame);
    EXPECT_THAT(takeEvents(), IsEmpty());

    AgwLinkProbe::setMonitor(*link_, "UISC");
    decodeFrame(1, 'T', "n0x", "n0y", ui, 0xF0);
    EXPECT_THAT(takeEvents(), ElementsAre("OnMonitor(1|N0X|N0Y|240|" + decode_test::show(ui) + ")",
                                          "OnUIFrame(1|N0USR|CQ||UI|F0|3|abc)"));
    decodeFrame(1, 'T', "n0x", "n0y", sabm);
    EXPECT_THAT(takeEvents(),
                ElementsAre("OnMonitor(1|N0X|N0Y|0|" + decode_test::show(sabm) + ")", "OnSFrame(1|N0X|N0Y||SABM|0)"));
    decodeFrame(1, 'T', "n0x", "n0y", rr);
    decodeFrame(1, 'T', "n0x", "n0y", rnr);
    decodeFrame(1, 'S', "n0x", "n0y", rnr);
    decodeFrame(1, 'S', "n0x", "n0y", rr);
    EXPECT_THAT(takeEvents(),
                ElementsAre("OnMonitor(1|N0X|N0Y|0|" + decode_test::show(rr) + ")", "OnSFrame(1|N0X|N0Y||RR|3)",
                            "OnMonitor(1|N0X|N0Y|0|" + decode_test::show(rnr) + ")", "OnSFrame(1|N0X|N0Y||RNR|2)",
                            "OnMonitor(1|N0X|N0Y|0|" + decode_test::show(rr) + ")", "OnSFrame(1|N0X|N0Y||RR|3)"));
    decodeFrame(1, 'I', "n0x", "n0y", iframe);
    decodeFrame(1, 'T', "n0x", "n0y", iframe);
    const std::string expected = "OnIFrame(1|N0USR|N0SRV||I|F0|2|5|2|ok)";
    EXPECT_THAT(takeEvents(), ElementsAre("OnMonitor(1|N0X|N0Y|0|" + decode_test::show(iframe) + ")", expected,
                                          "OnMonitor(1|N0X|N0Y|0|" + decode_test::show(iframe) + ")", expected));

    AgwLinkProbe::setMonitor(*link_, "usic");
    for (const auto& frame : {ui, sabm, rr, iframe})
        decodeFrame(1, 'T', "n0x", "n0y", frame);
    EXPECT_THAT(takeEvents(), IsEmpty());

    AgwLinkProbe::setMonitor(*link_, "S");
    decodeFrame(1, 'T', "n0x", "n0y", sabm);
    decodeFrame(1, 'I', "n0x", "n0y", iframe);
    EXPECT_THAT(takeEvents(), IsEmpty());
    decodeFrame(1, 'S', "n0x", "n0y", sabm);
    EXPECT_THAT(takeEvents(),
                ElementsAre("OnMonitor(1|N0X|N0Y|0|" + decode_test::show(sabm) + ")", "OnSFrame(1|N0X|N0Y||SABM|0)"));
}

TEST_F(Decoder, FailingMonitorHandlerNamesTheKind)
{
    AgwLinkProbe::setMonitor(*link_, "I");
    link_->onIFrame = [](AgwLink&, uint8_t, AgwLink::TextRef, AgwLink::TextRef, AgwLink::TextRef, AgwLink::TextRef,
                         AgwLink::TextRef, int32_t, int32_t, int32_t,
                         AgwLink::TextRef) { throw std::runtime_error("handler failed"); };
    link_->traceLog().level = 1;
    decodeFrame(1, 'T', "A", "B", " 1:Fm A To B <I R0 S0 pid=F0 Len=1 >\rx\r");
    EXPECT_THAT(traceLines(), ElementsAre("{L2} Exception on Module TL2.Decode (FrameTSI) Kind{T}"));
}

TEST_F(Decoder, RawFrameIsPassedOn)
{
    recordAllButFrame();
    decodeFrame(2, 'K', "N0USR", "N0SRV", "\x00\x9C`\xA6"s);
    EXPECT_THAT(takeEvents(), ElementsAre("OnRawFrame(2|\\x00\\x9C`\\xA6)"));
}

TEST_F(Decoder, HeardAnswerNeedsACallsignWord)
{
    decodeFrame(2, 'H', "", "", "N0ABC heard\0junk"s);
    decodeFrame(2, 'H', "  ", "", "N0ABC heard"s);
    EXPECT_EQ(link_->enginePort(2).heard[0], "");
    decodeFrame(2, 'H', "N0ABC", "", "N0ABC heard\0junk"s);
    EXPECT_EQ(link_->enginePort(2).heard[0], "N0ABC heard");
}

} // namespace
