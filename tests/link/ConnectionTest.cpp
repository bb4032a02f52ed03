#include "LinkHarness.h"

#include <algorithm>

using linktest::LinkTest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::string Kinds(const std::vector<AgwFrame>& frames)
{
    std::string kinds;
    for (auto& f : frames)
        kinds += f.Kind;
    return kinds;
}

} // namespace

using LinkConnection = LinkTest;

TEST_F(LinkConnection, StartsWithItsDefaults)
{
    EXPECT_EQ(l2->Port, 8000u);
    EXPECT_EQ(l2->Monitor, "N");
    EXPECT_EQ(l2->PortCount, 16);
    EXPECT_FALSE(l2->Active);
    EXPECT_FALSE(l2->Registered);
    EXPECT_TRUE(l2->PortTimer == nullptr);

    TL2 fresh(std::make_unique<FakeSocket>(), clock);
    EXPECT_EQ(fresh.Log.Debug, "");
    EXPECT_EQ(fresh.Log.Trace, 1);
    EXPECT_EQ(fresh.Log.LogFile, "");
}

TEST_F(LinkConnection, OpenWithoutAddressOrHostOnlyTraces)
{
    l2->CallSign = "N0CALL";
    l2->Open();
    EXPECT_EQ(socket->ConnectCalls, 0);
    EXPECT_THAT(TraceText(), ElementsAre("{L2} ERROR No IP Address or HostName indicated, object creation aborted"));
}

TEST_F(LinkConnection, OpenWithoutCallSignOnlyTraces)
{
    l2->Address = "127.0.0.1";
    l2->Open();
    EXPECT_EQ(socket->ConnectCalls, 0);
    EXPECT_THAT(TraceText(), ElementsAre("{L2} ERROR No CallSign indicated, object creation aborted"));
}

TEST_F(LinkConnection, OpenConnectsToTheAddressAndClearsThePortRecords)
{
    l2->Address = "127.0.0.1";
    l2->Port = 8010;
    l2->CallSign = "N0CALL";
    l2->PortCount = 3;
    l2->Ports[2].PortName = "old";
    l2->Ports[2].Heard[5] = "W1AW";
    l2->Open();
    EXPECT_EQ(socket->ConnectCalls, 1);
    EXPECT_EQ(socket->Host, "127.0.0.1");
    EXPECT_EQ(socket->ConnectPort, 8010u);
    EXPECT_EQ(l2->PortCount, 16);
    EXPECT_EQ(l2->Ports[2].PortName, "");
    EXPECT_EQ(l2->Ports[2].Heard[5], "");
    EXPECT_THAT(TraceText(), ElementsAre("{L2} AGW Object Opened 127.0.0.1:8010"));
}

TEST_F(LinkConnection, OpenPrefersTheHostName)
{
    l2->Address = "127.0.0.1";
    l2->Host = "localhost";
    l2->CallSign = "N0CALL";
    l2->Open();
    EXPECT_EQ(socket->Host, "localhost");
    EXPECT_THAT(TraceText(), ElementsAre("{L2} AGW Object Opened :8000"));
}

TEST_F(LinkConnection, SettersStoreAndTraceWhileInactive)
{
    l2->SetAddress("10.1.2.3");
    l2->SetPort(8010);
    l2->SetCallSign("N0CALL-1");
    l2->SetPort(0);
    EXPECT_EQ(l2->Address, "10.1.2.3");
    EXPECT_EQ(l2->Port, 8010u);
    EXPECT_EQ(l2->CallSign, "N0CALL-1");
    EXPECT_THAT(TraceText(), ElementsAre("{L2} Set Address 10.1.2.3", "{L2} Set TCP Port 8010",
                                         "{L2} Set CallSign N0CALL-1", "{L2} Set TCP Port 0"));
}

TEST_F(LinkConnection, SettersAreRefusedWhileActive)
{
    l2->SetAddress("127.0.0.1");
    l2->SetCallSign("N0CALL");
    BringUp();
    l2->SetAddress("10.0.0.1");
    l2->SetPort(9000);
    l2->SetCallSign("OTHER");
    EXPECT_EQ(l2->Address, "127.0.0.1");
    EXPECT_EQ(l2->Port, 8000u);
    EXPECT_EQ(l2->CallSign, "N0CALL");
    EXPECT_THAT(TraceText(), ElementsAre("{L2} Error can not change the IP Address while active",
                                         "{L2} Error can not change the TCP Port while active",
                                         "{L2} Error can not change the callsign while active"));
}

TEST_F(LinkConnection, SettersTraceAtLevelThree)
{
    l2->Log.Trace = 2;
    l2->SetCallSign("N0CALL");
    EXPECT_THAT(Trace(), IsEmpty());
}

TEST_F(LinkConnection, SetRegisterToTheCurrentStateIsIgnored)
{
    l2->SetCallSign("N0CALL");
    ClearTrace();
    l2->SetRegister(false);
    EXPECT_THAT(TraceText(), ElementsAre("{L2} Set Register FALSE CallSign(N0CALL)",
                                         "{L2} Set Register ignored for CallSign(N0CALL)"));
}

TEST_F(LinkConnection, SetRegisterWhileDownSendsNothing)
{
    l2->SetCallSign("N0CALL");
    ClearTrace();
    l2->SetRegister(true);
    EXPECT_EQ(socket->Sent, "");
    EXPECT_FALSE(l2->Registered);
    EXPECT_THAT(TraceText(), ElementsAre("{L2} Set Register TRUE CallSign(N0CALL)"));
}

TEST_F(LinkConnection, SetRegisterWhileUpSendsXOrLowerX)
{
    l2->SetCallSign("N0CALL");
    BringUp();
    l2->SetRegister(true);
    auto frames = SentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Kind, 'X');
    EXPECT_EQ(frames[0].CallFrom, "N0CALL");
    EXPECT_EQ(frames[0].CallTo, "");
    EXPECT_FALSE(l2->Registered) << "only AGWPE's answer registers";

    l2->Registered = true;
    l2->SetRegister(false);
    frames = SentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Kind, 'x');
    EXPECT_EQ(frames[0].CallFrom, "N0CALL");
}

TEST_F(LinkConnection, SetMonitorAcceptsOnlyMonitorLetters)
{
    l2->SetCallSign("N0CALL");
    ClearTrace();
    l2->SetMonitor("ui");
    EXPECT_EQ(l2->Monitor, "UI");
    l2->Monitor = "N";
    l2->SetMonitor("UX");
    EXPECT_EQ(l2->Monitor, "N");
    l2->SetMonitor("");
    EXPECT_EQ(l2->Monitor, "N");
    EXPECT_EQ(socket->Sent, "") << "nothing is sent while down";
    EXPECT_THAT(TraceText(),
                ElementsAre("{L2} Set Monitor <ui> CallSign(N0CALL)", "{L2} Set Monitor <UX> CallSign(N0CALL)",
                            "{L2} Set Monitor <> CallSign(N0CALL)"));
}

TEST_F(LinkConnection, SetMonitorTogglesAgwpeOnlyOnAndOff)
{
    BringUp();
    l2->SetMonitor("N");
    EXPECT_THAT(SentFrames(), IsEmpty());
    l2->SetMonitor("ui");
    EXPECT_EQ(Kinds(SentFrames()), "m");
    EXPECT_EQ(l2->Monitor, "UI");
    l2->SetMonitor("S");
    EXPECT_THAT(SentFrames(), IsEmpty());
    EXPECT_EQ(l2->Monitor, "UI");
    l2->SetMonitor("n");
    EXPECT_EQ(Kinds(SentFrames()), "m");
    EXPECT_EQ(l2->Monitor, "N");
}

TEST_F(LinkConnection, ConnectLogsInThenRaisesUpThenAsksPortsAndVersion)
{
    l2->SetCallSign("N0CALL");
    l2->LoginUser = "user";
    l2->LoginPassword = "s3cret-pw";
    l2->RawFrames = true;
    l2->Monitor = "U";
    std::string sentBeforeUp;
    l2->FOnAGWUp = [&](TL2& link) {
        sentBeforeUp = socket->Sent;
        link.SetRegister(true);
    };
    ClearTrace();
    socket->Connect();

    EXPECT_TRUE(l2->Active);
    EXPECT_EQ(Kinds(DecodeFrames(sentBeforeUp)), "P");
    auto frames = SentFrames();
    EXPECT_EQ(Kinds(frames), "PXGRkm");
    for (auto& f : frames) {
        EXPECT_EQ(f.WirePort, 0);
        EXPECT_EQ(f.PID, 0);
    }
    EXPECT_EQ(frames[1].CallFrom, "N0CALL");

    const std::vector<std::string> text = TraceText();
    EXPECT_EQ(text[0], "{L2} Connected with AGWPE");
    EXPECT_EQ(text[1], "{L2} Sending Login Frame User(user) Paswd(****)");
    EXPECT_EQ(text[2], "{L2} <OnAGWUp> Login Frame Info Area");
    EXPECT_NE(std::find(text.begin(), text.end(), "{L2} Fired Event <FOnAGWUp>"), text.end());
}

TEST_F(LinkConnection, LoginFrameCarriesTwoFieldsOf255Bytes)
{
    l2->LoginUser = "user";
    l2->LoginPassword = "s3cret-pw";
    socket->Connect();
    const std::string sent = socket->Sent;
    ASSERT_GE(sent.size(), 36u + 510u);
    EXPECT_EQ(sent[4], 'P');
    EXPECT_EQ(static_cast<uint8_t>(sent[28]), 0xFE);
    EXPECT_EQ(static_cast<uint8_t>(sent[29]), 0x01);
    const std::string data = sent.substr(36, 510);
    EXPECT_EQ(data, std::string("user") + std::string(251, '\0') + "s3cret-pw" + std::string(246, '\0'));
}

TEST_F(LinkConnection, LoginPasswordNeverReachesTheTrace)
{
    l2->LoginUser = "user";
    l2->LoginPassword = "s3cret-pw";
    socket->Connect();
    const std::string trace = TraceFile();
    EXPECT_EQ(trace.find("s3cret"), std::string::npos);
    // Neither in the dump's hex column: "s3" is 73 33.
    EXPECT_EQ(trace.find("73 33 63 72 65 74"), std::string::npos);
    EXPECT_NE(trace.find("Paswd(****)"), std::string::npos);
}

TEST_F(LinkConnection, LongLoginFieldsAreCutTo255)
{
    l2->LoginUser = std::string(300, 'u');
    l2->LoginPassword = std::string(300, 'p');
    socket->Connect();
    EXPECT_EQ(l2->LoginUser, std::string(255, 'u'));
    EXPECT_EQ(l2->LoginPassword, std::string(255, 'p'));
    auto frames = SentFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].Data, std::string(255, 'u') + std::string(255, 'p'));
}

TEST_F(LinkConnection, NoLoginWithoutBothUserAndPassword)
{
    l2->LoginUser = "user";
    bool up = false;
    l2->FOnAGWUp = [&](TL2&) { up = true; };
    socket->Connect();
    EXPECT_TRUE(up);
    EXPECT_EQ(Kinds(SentFrames()), "GR");
}

TEST_F(LinkConnection, MonitorLetterMAloneDoesNotSwitchMonitoringOnAtConnect)
{
    l2->Monitor = "M";
    socket->Connect();
    EXPECT_EQ(Kinds(SentFrames()), "GR");
}

TEST_F(LinkConnection, CloseClearsActiveAndRaisesDown)
{
    int downs = 0;
    l2->FOnAGWDown = [&](TL2&) { ++downs; };
    BringUp();
    socket->PeerClose();
    EXPECT_FALSE(l2->Active);
    EXPECT_EQ(downs, 1);
    EXPECT_THAT(TraceText(), ElementsAre("{L2} Disconnected from AGWPE", "{L2} Fired Event <FOnAGWDown>"));
}

TEST_F(LinkConnection, SocketErrorClearsActiveRaisesErrorAndZeroesTheCode)
{
    int errors = 0;
    l2->FOnAGWError = [&](TL2& link) {
        ++errors;
        EXPECT_FALSE(link.Active);
    };
    BringUp();
    EXPECT_EQ(socket->Fail(10061), 0);
    EXPECT_FALSE(l2->Active);
    EXPECT_EQ(errors, 1);
    EXPECT_THAT(TraceText(), ElementsAre("{L2} <AGWError> Socket Error from AGWPE", "{L2} Fired Event <FOnAGWError>"));
}

TEST_F(LinkConnection, UnassignedEventsWriteNoFiredLine)
{
    socket->Fail();
    socket->Connect();
    socket->PeerClose();
    for (auto& line : TraceText())
        EXPECT_EQ(line.find("Fired Event"), std::string::npos) << line;
}

TEST_F(LinkConnection, FailedConnectLeavesTheLinkInactive)
{
    l2->SetAddress("127.0.0.1");
    l2->SetCallSign("N0CALL");
    bool error = false;
    l2->FOnAGWError = [&](TL2&) { error = true; };
    l2->Open();
    socket->Fail(10061);
    EXPECT_TRUE(error);
    EXPECT_FALSE(l2->Active);
    EXPECT_FALSE(l2->Write(0, 0, 'G', "", "", ""));
}

TEST_F(LinkConnection, ReadPassesEveryReadyByteToTheReassembly)
{
    BringUp();
    socket->Deliver(Frame(0, 'R', 0, "", "", std::string(8, '\0')) + Frame(1, 'y', 0, "", "", std::string(4, '\0')));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Kind, 'R');
    EXPECT_EQ(seen[1].Kind, 'y');
    EXPECT_EQ(seen[1].Port, 2);
    EXPECT_EQ(socket->Incoming, "");
}

TEST_F(LinkConnection, PortPollingAsksForThePortListAgainAfterAMinute)
{
    l2->PortPolling = true;
    BringUp();
    socket->Deliver(Frame(0, 'G', 0, "", "", std::string("0;") + '\0'));
    ASSERT_TRUE(l2->PortTimer != nullptr);
    socket->TakeSent();
    clock.Advance(59999);
    EXPECT_EQ(socket->Sent, "");
    clock.Advance(1);
    auto frames = SentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Kind, 'G');
    EXPECT_EQ(frames[0].WirePort, 0);
    EXPECT_FALSE(l2->PortTimer->Enabled());
    clock.Advance(600000);
    EXPECT_EQ(socket->Sent, "") << "only the next port list arms the timer again";
}

TEST_F(LinkConnection, DestructionTracesThenRaisesDestroy)
{
    l2->PortPolling = true;
    BringUp();
    socket->Deliver(Frame(0, 'G', 0, "", "", "0;"));
    ASSERT_EQ(clock.LiveTimers(), 1u);
    ClearTrace();
    bool destroyed = false;
    l2->FOnDestroy = [&](TL2&) {
        destroyed = true;
        EXPECT_THAT(TraceText(), ElementsAre("{L2} AGW Object Destroyed"));
    };
    l2.reset();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(clock.LiveTimers(), 0u);
    EXPECT_THAT(TraceText(), ElementsAre("{L2} AGW Object Destroyed"));
}
