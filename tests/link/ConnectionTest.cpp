#include "LinkHarness.h"

#include <algorithm>

using linktest::LinkTest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::string kinds(const std::vector<AgwFrame>& frames)
{
    std::string kinds;
    for (auto& f : frames)
        kinds += f.kind;
    return kinds;
}

} // namespace

using LinkConnection = LinkTest;

TEST_F(LinkConnection, StartsWithItsDefaults)
{
    EXPECT_EQ(l2->tcpPort(), 8000u);
    EXPECT_EQ(l2->monitor(), "N");
    EXPECT_EQ(l2->portCount(), 16);
    EXPECT_FALSE(l2->isActive());
    EXPECT_FALSE(l2->isRegistered());
    EXPECT_TRUE(AgwLinkProbe::portTimer(*l2) == nullptr);

    AgwLink fresh(std::make_unique<FakeSocket>(), clock);
    EXPECT_EQ(fresh.traceLog().debug, "");
    EXPECT_EQ(fresh.traceLog().level, 1);
    EXPECT_EQ(fresh.traceLog().logFile, "");
}

TEST_F(LinkConnection, OpenWithoutAddressOrHostOnlyTraces)
{
    AgwLinkProbe::setCallSign(*l2, "N0CALL");
    l2->open();
    EXPECT_EQ(socket->connectCalls, 0);
    EXPECT_THAT(traceText(), ElementsAre("{L2} ERROR No IP Address or HostName indicated, object creation aborted"));
}

TEST_F(LinkConnection, OpenWithoutCallSignOnlyTraces)
{
    AgwLinkProbe::setAddress(*l2, "127.0.0.1");
    l2->open();
    EXPECT_EQ(socket->connectCalls, 0);
    EXPECT_THAT(traceText(), ElementsAre("{L2} ERROR No CallSign indicated, object creation aborted"));
}

TEST_F(LinkConnection, OpenConnectsToTheAddressAndClearsThePortRecords)
{
    AgwLinkProbe::setAddress(*l2, "127.0.0.1");
    AgwLinkProbe::setTcpPort(*l2, 8010);
    AgwLinkProbe::setCallSign(*l2, "N0CALL");
    AgwLinkProbe::setPortCount(*l2, 3);
    AgwLinkProbe::enginePort(*l2, 2).portName = "old";
    AgwLinkProbe::enginePort(*l2, 2).heard[5] = "W1AW";
    l2->open();
    EXPECT_EQ(socket->connectCalls, 1);
    EXPECT_EQ(socket->host, "127.0.0.1");
    EXPECT_EQ(socket->connectPort, 8010u);
    EXPECT_EQ(l2->portCount(), 16);
    EXPECT_EQ(l2->enginePort(2).portName, "");
    EXPECT_EQ(l2->enginePort(2).heard[5], "");
    EXPECT_THAT(traceText(), ElementsAre("{L2} AGW Object Opened 127.0.0.1:8010"));
}

TEST_F(LinkConnection, OpenPrefersTheHostName)
{
    AgwLinkProbe::setAddress(*l2, "127.0.0.1");
    l2->setHost("localhost");
    AgwLinkProbe::setCallSign(*l2, "N0CALL");
    l2->open();
    EXPECT_EQ(socket->host, "localhost");
    EXPECT_THAT(traceText(), ElementsAre("{L2} AGW Object Opened :8000"));
}

TEST_F(LinkConnection, SettersStoreAndTraceWhileInactive)
{
    l2->setAddress("10.1.2.3");
    l2->setPort(8010);
    l2->setCallSign("N0CALL-1");
    l2->setPort(0);
    EXPECT_EQ(l2->address(), "10.1.2.3");
    EXPECT_EQ(l2->tcpPort(), 8010u);
    EXPECT_EQ(l2->callSign(), "N0CALL-1");
    EXPECT_THAT(traceText(), ElementsAre("{L2} Set Address 10.1.2.3", "{L2} Set TCP Port 8010",
                                         "{L2} Set CallSign N0CALL-1", "{L2} Set TCP Port 0"));
}

TEST_F(LinkConnection, SettersAreRefusedWhileActive)
{
    l2->setAddress("127.0.0.1");
    l2->setCallSign("N0CALL");
    bringUp();
    l2->setAddress("10.0.0.1");
    l2->setPort(9000);
    l2->setCallSign("OTHER");
    EXPECT_EQ(l2->address(), "127.0.0.1");
    EXPECT_EQ(l2->tcpPort(), 8000u);
    EXPECT_EQ(l2->callSign(), "N0CALL");
    EXPECT_THAT(traceText(), ElementsAre("{L2} Error can not change the IP Address while active",
                                         "{L2} Error can not change the TCP Port while active",
                                         "{L2} Error can not change the callsign while active"));
}

TEST_F(LinkConnection, SettersTraceAtLevelThree)
{
    l2->traceLog().level = 2;
    l2->setCallSign("N0CALL");
    EXPECT_THAT(trace(), IsEmpty());
}

TEST_F(LinkConnection, SetRegisterToTheCurrentStateIsIgnored)
{
    l2->setCallSign("N0CALL");
    clearTrace();
    l2->setRegister(false);
    EXPECT_THAT(traceText(), ElementsAre("{L2} Set Register FALSE CallSign(N0CALL)",
                                         "{L2} Set Register ignored for CallSign(N0CALL)"));
}

TEST_F(LinkConnection, SetRegisterWhileDownSendsNothing)
{
    l2->setCallSign("N0CALL");
    clearTrace();
    l2->setRegister(true);
    EXPECT_EQ(socket->sent, "");
    EXPECT_FALSE(l2->isRegistered());
    EXPECT_THAT(traceText(), ElementsAre("{L2} Set Register TRUE CallSign(N0CALL)"));
}

TEST_F(LinkConnection, SetRegisterWhileUpSendsXOrLowerX)
{
    l2->setCallSign("N0CALL");
    bringUp();
    l2->setRegister(true);
    auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, 'X');
    EXPECT_EQ(frames[0].callFrom, "N0CALL");
    EXPECT_EQ(frames[0].callTo, "");
    EXPECT_FALSE(l2->isRegistered()) << "only AGWPE's answer registers";

    AgwLinkProbe::setRegistered(*l2, true);
    l2->setRegister(false);
    frames = sentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, 'x');
    EXPECT_EQ(frames[0].callFrom, "N0CALL");
}

TEST_F(LinkConnection, SetMonitorAcceptsOnlyMonitorLetters)
{
    l2->setCallSign("N0CALL");
    clearTrace();
    l2->setMonitor("ui");
    EXPECT_EQ(l2->monitor(), "UI");
    AgwLinkProbe::setMonitor(*l2, "N");
    l2->setMonitor("UX");
    EXPECT_EQ(l2->monitor(), "N");
    l2->setMonitor("");
    EXPECT_EQ(l2->monitor(), "N");
    EXPECT_EQ(socket->sent, "") << "nothing is sent while down";
    EXPECT_THAT(traceText(),
                ElementsAre("{L2} Set Monitor <ui> CallSign(N0CALL)", "{L2} Set Monitor <UX> CallSign(N0CALL)",
                            "{L2} Set Monitor <> CallSign(N0CALL)"));
}

TEST_F(LinkConnection, SetMonitorTogglesAgwpeOnlyOnAndOff)
{
    bringUp();
    l2->setMonitor("N");
    EXPECT_THAT(sentFrames(), IsEmpty());
    l2->setMonitor("ui");
    EXPECT_EQ(kinds(sentFrames()), "m");
    EXPECT_EQ(l2->monitor(), "UI");
    l2->setMonitor("S");
    EXPECT_THAT(sentFrames(), IsEmpty());
    EXPECT_EQ(l2->monitor(), "UI");
    l2->setMonitor("n");
    EXPECT_EQ(kinds(sentFrames()), "m");
    EXPECT_EQ(l2->monitor(), "N");
}

TEST_F(LinkConnection, ConnectLogsInThenRaisesUpThenAsksPortsAndVersion)
{
    l2->setCallSign("N0CALL");
    l2->setLogin("user", "s3cret-pw");
    l2->setRawFrames(true);
    AgwLinkProbe::setMonitor(*l2, "U");
    std::string sentBeforeUp;
    l2->onAgwUp = [&](AgwLink& link) {
        sentBeforeUp = socket->sent;
        link.setRegister(true);
    };
    clearTrace();
    socket->connect();

    EXPECT_TRUE(l2->isActive());
    EXPECT_EQ(kinds(decodeFrames(sentBeforeUp)), "P");
    auto frames = sentFrames();
    EXPECT_EQ(kinds(frames), "PXGRkm");
    for (auto& f : frames) {
        EXPECT_EQ(f.wirePort, 0);
        EXPECT_EQ(f.pid, 0);
    }
    EXPECT_EQ(frames[1].callFrom, "N0CALL");

    const std::vector<std::string> text = traceText();
    EXPECT_EQ(text[0], "{L2} Connected with AGWPE");
    EXPECT_EQ(text[1], "{L2} Sending Login Frame User(user) Paswd(****)");
    EXPECT_EQ(text[2], "{L2} <OnAGWUp> Login Frame Info Area");
    EXPECT_NE(std::find(text.begin(), text.end(), "{L2} Fired Event <FOnAGWUp>"), text.end());
}

TEST_F(LinkConnection, LoginFrameCarriesTwoFieldsOf255Bytes)
{
    l2->setLogin("user", "s3cret-pw");
    socket->connect();
    const std::string sent = socket->sent;
    ASSERT_GE(sent.size(), 36u + 510u);
    EXPECT_EQ(sent[4], 'P');
    EXPECT_EQ(static_cast<uint8_t>(sent[28]), 0xFE);
    EXPECT_EQ(static_cast<uint8_t>(sent[29]), 0x01);
    const std::string data = sent.substr(36, 510);
    EXPECT_EQ(data, std::string("user") + std::string(251, '\0') + "s3cret-pw" + std::string(246, '\0'));
}

TEST_F(LinkConnection, LoginPasswordNeverReachesTheTrace)
{
    l2->setLogin("user", "s3cret-pw");
    socket->connect();
    const std::string trace = traceFile();
    EXPECT_EQ(trace.find("s3cret"), std::string::npos);
    // Neither in the dump's hex column: "s3" is 73 33.
    EXPECT_EQ(trace.find("73 33 63 72 65 74"), std::string::npos);
    EXPECT_NE(trace.find("Paswd(****)"), std::string::npos);
}

TEST_F(LinkConnection, LongLoginFieldsAreCutTo255)
{
    l2->setLogin(std::string(300, 'u'), std::string(300, 'p'));
    socket->connect();
    EXPECT_EQ(l2->loginUser(), std::string(255, 'u'));
    EXPECT_EQ(l2->loginPassword(), std::string(255, 'p'));
    auto frames = sentFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].data, std::string(255, 'u') + std::string(255, 'p'));
}

TEST_F(LinkConnection, NoLoginWithoutBothUserAndPassword)
{
    l2->setLogin("user", "");
    bool up = false;
    l2->onAgwUp = [&](AgwLink&) { up = true; };
    socket->connect();
    EXPECT_TRUE(up);
    EXPECT_EQ(kinds(sentFrames()), "GR");
}

TEST_F(LinkConnection, MonitorLetterMAloneDoesNotSwitchMonitoringOnAtConnect)
{
    AgwLinkProbe::setMonitor(*l2, "M");
    socket->connect();
    EXPECT_EQ(kinds(sentFrames()), "GR");
}

TEST_F(LinkConnection, CloseClearsActiveAndRaisesDown)
{
    int downs = 0;
    l2->onAgwDown = [&](AgwLink&) { ++downs; };
    bringUp();
    socket->peerClose();
    EXPECT_FALSE(l2->isActive());
    EXPECT_EQ(downs, 1);
    EXPECT_THAT(traceText(), ElementsAre("{L2} Disconnected from AGWPE", "{L2} Fired Event <FOnAGWDown>"));
}

TEST_F(LinkConnection, SocketErrorClearsActiveRaisesErrorAndZeroesTheCode)
{
    int errors = 0;
    l2->onAgwError = [&](AgwLink& link) {
        ++errors;
        EXPECT_FALSE(link.isActive());
    };
    bringUp();
    EXPECT_EQ(socket->fail(10061), 0);
    EXPECT_FALSE(l2->isActive());
    EXPECT_EQ(errors, 1);
    EXPECT_THAT(traceText(), ElementsAre("{L2} <AGWError> Socket Error from AGWPE", "{L2} Fired Event <FOnAGWError>"));
}

TEST_F(LinkConnection, UnassignedEventsWriteNoFiredLine)
{
    socket->fail();
    socket->connect();
    socket->peerClose();
    for (auto& line : traceText())
        EXPECT_EQ(line.find("Fired Event"), std::string::npos) << line;
}

TEST_F(LinkConnection, FailedConnectLeavesTheLinkInactive)
{
    l2->setAddress("127.0.0.1");
    l2->setCallSign("N0CALL");
    bool error = false;
    l2->onAgwError = [&](AgwLink&) { error = true; };
    l2->open();
    socket->fail(10061);
    EXPECT_TRUE(error);
    EXPECT_FALSE(l2->isActive());
    EXPECT_FALSE(l2->write(0, 0, 'G', "", "", ""));
}

TEST_F(LinkConnection, ReadPassesEveryReadyByteToTheReassembly)
{
    bringUp();
    socket->deliver(agwFrame(0, 'R', 0, "", "", std::string(8, '\0')) +
                    agwFrame(1, 'y', 0, "", "", std::string(4, '\0')));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, 'R');
    EXPECT_EQ(seen[1].kind, 'y');
    EXPECT_EQ(seen[1].port, 2);
    EXPECT_EQ(socket->incoming, "");
}

TEST_F(LinkConnection, PortPollingAsksForThePortListAgainAfterAMinute)
{
    l2->setPortPolling(true);
    bringUp();
    socket->deliver(agwFrame(0, 'G', 0, "", "", std::string("0;") + '\0'));
    ASSERT_TRUE(AgwLinkProbe::portTimer(*l2) != nullptr);
    socket->takeSent();
    clock.advance(59999);
    EXPECT_EQ(socket->sent, "");
    clock.advance(1);
    auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, 'G');
    EXPECT_EQ(frames[0].wirePort, 0);
    EXPECT_FALSE(AgwLinkProbe::portTimer(*l2)->enabled());
    clock.advance(600000);
    EXPECT_EQ(socket->sent, "") << "only the next port list arms the timer again";
}

TEST_F(LinkConnection, DestructionTracesThenRaisesDestroy)
{
    l2->setPortPolling(true);
    bringUp();
    socket->deliver(agwFrame(0, 'G', 0, "", "", "0;"));
    ASSERT_EQ(clock.liveTimers(), 1u);
    clearTrace();
    bool destroyed = false;
    l2->onDestroy = [&](AgwLink&) {
        destroyed = true;
        EXPECT_THAT(traceText(), ElementsAre("{L2} AGW Object Destroyed"));
    };
    l2.reset();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(clock.liveTimers(), 0u);
    EXPECT_THAT(traceText(), ElementsAre("{L2} AGW Object Destroyed"));
}
