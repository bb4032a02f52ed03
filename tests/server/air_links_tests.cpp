// Host links over the air: who a neighbour's callsign turns out to be, our
// dial through the engine, and how much waits at the engine.
#include "ChatFixture.h"
#include "server/ServerStatus.h"

namespace {

const std::string PREFIX{"/\xff\x80", 3};

} // namespace

class AirLinkTest : public ChatTest {
protected:
    AirLinkTest()
    {
        // The engine's own answers to "Y" are what the tests play.
        form.settings().discWait = 5000;
        config.hostName = "n0srv";
        config.callSign = "N0SRV";
        Neighbour wam2{"wam2", "AX25:1:N0NB", 0, "", false};
        wam2.overAir = true;
        wam2.call = "N0NB";
        config.neighbours = {wam2};
    }
    void start() { form.network().start(config); }
    // Our own dial has failed on the air: the next is a while off.
    void startNotDialling()
    {
        start();
        failDial();
        fake->takeSent();
    }
    void failDial()
    {
        form.airLinks().handleDisconnect(*form.link(), 1, "N0NB", "*** DISCONNECTED RETRYOUT With N0NB");
    }
    void connectFrom(const std::string& call)
    {
        form.airLinks().handleConnect(*form.link(), 1, call, "N0SRV", "*** CONNECTED To Station " + call);
    }
    void dataFrom(const std::string& call, const std::string& data)
    {
        form.airLinks().handleData(*form.link(), 1, call, "N0SRV", 0xF0, data);
    }
    void answerY(int32_t frames) { form.airLinks().handleConnFrames(*form.link(), 1, "N0SRV", "N0NB", frames); }
    // Frames as the engine got them, one by one.
    std::vector<AgwFrame> frames() { return decodeFrames(fake->takeSent()); }
    static size_t count(const std::vector<AgwFrame>& sent, char kind)
    {
        return std::count_if(sent.begin(), sent.end(), [kind](const AgwFrame& f) { return f.kind == kind; });
    }
    // wam2 dials in and its HOST makes the connection a link.
    void linkUp()
    {
        connectFrom("N0NB");
        dataFrom("N0NB", PREFIX + "HOST wam2 W-2.81 dpu\r");
        ASSERT_EQ(form.network().links().at(0).state, "up");
        // The engine has sent our HOST and PING.
        answerY(0);
        clock.advance(AirSocket::ASK_EVERY);
        answerY(0);
        fake->takeSent();
    }

    NetworkConfig config;
};

TEST_F(AirLinkTest, ANeighboursHostMakesALinkWithoutWelcomeAfterSkippedJunk)
{
    startNotDialling();
    connectFrom("N0NB");
    EXPECT_TRUE(frames().empty());
    dataFrom("N0NB", "convers\r");
    dataFrom("N0NB", "ppconvers" + PREFIX + "HOST wam2 W-2.81 dpu\r" + PREFIX + "USER alice wam2 7 -1 0 @\r");
    EXPECT_EQ(takeTo("N0NB"), (Texts{PREFIX + "HOST n0srv Palav0.1 p\r\n"}));
    EXPECT_EQ(form.directory().findStation(1, "N0NB"), nullptr);
    const LinkStatus status = form.network().links().at(0);
    EXPECT_EQ(status.state, "up");
    EXPECT_EQ(status.address, "AX25:1:N0NB");
    EXPECT_EQ(status.users, 1u);
    EXPECT_EQ(shell.connectionLog.back(), "link up: wam2 at AX25:1:N0NB (W-2.81)");
    EXPECT_NE(statusJson(form).find("\"address\":\"AX25:1:N0NB\""), std::string::npos);
}

class AirLinkPrompt : public AirLinkTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(AirLinkPrompt, ANodesPromptOnALineOfItsOwnIsSkipped)
{
    startNotDialling();
    connectFrom("N0NB");
    dataFrom("N0NB", GetParam() + std::string("\r") + PREFIX + "HOST wam2 W-2.81 dpu\r");
    EXPECT_EQ(form.network().links().at(0).state, "up");
}

INSTANTIATE_TEST_SUITE_P(AirLinkTest, AirLinkPrompt, ::testing::Values("convers", "ppconvers", "CONV"));

TEST_F(AirLinkTest, ANeighbourIsAStationWhenItsFirstLineRunsTooLongOrTheCallsignIsNotYetOurs)
{
    startNotDialling();
    connectFrom("N0NB");
    dataFrom("N0NB", std::string(LineSplitter::MAX_LINE, 'x'));
    EXPECT_EQ(form.airLinks().waitingCount(), 1u);
    dataFrom("N0NB", "x");
    EXPECT_NE(form.directory().findStation(1, "N0NB"), nullptr);

    form.connections().setRegistered(false);
    connectFrom("N0NB");
    EXPECT_EQ(form.airLinks().waitingCount(), 0u);
    EXPECT_EQ(takeTo("N0NB").back(), "\r--- Server Busy, Try Later\r");
}

TEST_F(AirLinkTest, ANeighboursOtherFirstLineMakesAStationWelcomedFirst)
{
    startNotDialling();
    addUser(1, "N0ABC");
    connectFrom("N0NB");
    dataFrom("N0NB", "hello all\r");
    ASSERT_NE(form.directory().findStation(1, "N0NB"), nullptr);
    const std::vector<SentText> sent = sentTexts();
    const Texts toStation = dataTo(sent, "N0NB");
    ASSERT_EQ(toStation.size(), 3u);
    EXPECT_EQ(toStation.front(), "Welcome to the N0SRV Chat Server\r");
    EXPECT_EQ(dataTo(sent, "N0ABC"),
              (Texts{"[0]<N0NB@N0SRV> <N0NB joined Area>\r\r", "[0]<N0NB@N0SRV> hello all\r\r"}));
}

TEST_F(AirLinkTest, ANeighbourSilentForThirtySecondsIsAStation)
{
    startNotDialling();
    connectFrom("N0NB");
    clock.advance(AirLinks::FIRST_LINE_WAIT - 1);
    EXPECT_EQ(form.directory().findStation(1, "N0NB"), nullptr);
    clock.advance(1);
    EXPECT_NE(form.directory().findStation(1, "N0NB"), nullptr);
    EXPECT_EQ(form.airLinks().waitingCount(), 0u);
}

TEST_F(AirLinkTest, AHostFromAnUnlistedCallsignIsRefused)
{
    start();
    connectFrom("N0XYZ");
    fake->takeSent();
    dataFrom("N0XYZ", PREFIX + "HOST wam9 W-2.81 dpu\r");
    EXPECT_EQ(shell.connectionLog.back(), "link refused from AX25:1:N0XYZ: not a neighbour's callsign");
    EXPECT_TRUE(form.drain().isPending(1, "N0XYZ"));
    EXPECT_TRUE(takeTo("N0XYZ").empty());
}

TEST_F(AirLinkTest, WeDialThroughTheDigipeatersAndSendHostOnceConnected)
{
    config.neighbours[0].via = "DIGI1 DIGI2-3";
    start();
    const std::vector<AgwFrame> dial = frames();
    ASSERT_EQ(dial.size(), 1u);
    EXPECT_EQ(dial[0].kind, 'v');
    EXPECT_EQ(dial[0].callFrom, "N0SRV");
    EXPECT_EQ(dial[0].callTo, "N0NB");
    EXPECT_EQ(dial[0].data, AgwLink::viaList("DIGI1 DIGI2-3"));
    EXPECT_EQ(form.network().links().at(0).state, "dialling");
    form.airLinks().handleConnect(*form.link(), 1, "N0NB", "N0SRV", "*** CONNECTED With Station N0NB");
    EXPECT_EQ(takeTo("N0NB"), Texts{PREFIX + "HOST n0srv Palav0.1 p\r\n"});
    EXPECT_EQ(form.directory().findStation(1, "N0NB"), nullptr);
}

TEST_F(AirLinkTest, AFailedDialIsTriedAgainWithBackOff)
{
    start();
    EXPECT_EQ(count(frames(), 'C'), 1u);
    failDial();
    clock.advance(Network::FIRST_RETRY - 1);
    EXPECT_EQ(count(frames(), 'C'), 0u);
    clock.advance(1);
    EXPECT_EQ(count(frames(), 'C'), 1u);
    failDial();
    clock.advance(2 * Network::FIRST_RETRY - 1);
    EXPECT_EQ(count(frames(), 'C'), 0u);
}

TEST_F(AirLinkTest, ALinkLostOnTheAirDropsItsUsersAndTheStationsNeverSeeIt)
{
    startNotDialling();
    linkUp();
    dataFrom("N0NB", PREFIX + "USER alice wam2 7 -1 0 @\r");
    EXPECT_EQ(form.network().remoteCount(), 1u);
    form.airLinks().handleDisconnect(*form.link(), 1, "N0NB", "*** DISCONNECTED From Station N0NB");
    EXPECT_EQ(form.network().remoteCount(), 0u);
    EXPECT_EQ(shell.connectionLog.back(), "link down: wam2: closed by the neighbour");
    EXPECT_FALSE(traced("{PALAVORO} User(1:N0NB) no control block found"));
}

TEST_F(AirLinkTest, NoMoreThanTheAllowedFramesWaitAtTheEngine)
{
    startNotDialling();
    linkUp();
    dataFrom("N0NB", PREFIX + "USER alice wam2 7 -1 0 @\r");
    fake->takeSent();
    Station& user = addUser(1, "N0ABC");
    for (int i = 0; i < 40; ++i)
        form.network().localSaid(user.callSign, 0, std::string(100, 'a' + i % 26));
    std::vector<AgwFrame> sent = frames();
    EXPECT_EQ(count(sent, 'D'), static_cast<size_t>(AirSocket::MAX_OUTSTANDING));
    EXPECT_EQ(count(sent, 'Y'), 1u);
    answerY(0); // the first, asked about, is gone; three are still out
    sent = frames();
    EXPECT_EQ(count(sent, 'D'), 1u);
    answerY(AirSocket::MAX_OUTSTANDING);
    EXPECT_EQ(count(frames(), 'D'), 0u);
    clock.advance(AirSocket::ASK_EVERY);
    EXPECT_EQ(count(frames(), 'Y'), 1u);
    answerY(0);
    EXPECT_EQ(count(frames(), 'D'), static_cast<size_t>(AirSocket::MAX_OUTSTANDING));
}

TEST_F(AirLinkTest, FramesSentAfterTheQuestionCountOnTopOfTheAnswer)
{
    startNotDialling();
    linkUp();
    dataFrom("N0NB", PREFIX + "USER alice wam2 7 -1 0 @\r");
    fake->takeSent();
    Station& user = addUser(1, "N0ABC");
    form.network().localSaid(user.callSign, 0, "one");
    EXPECT_EQ(count(frames(), 'Y'), 1u);
    for (int i = 0; i < 10; ++i)
        form.network().localSaid(user.callSign, 0, "more");
    frames();
    answerY(0); // counts only the first; three more are still out
    EXPECT_EQ(count(frames(), 'D'), 1u);
}

TEST_F(AirLinkTest, ANeighbourThatTakesNothingIsDroppedOnceTooMuchWaits)
{
    startNotDialling();
    linkUp();
    dataFrom("N0NB", PREFIX + "USER alice wam2 7 -1 0 @\r");
    Station& user = addUser(1, "N0ABC");
    const std::string line(200, 'x');
    for (size_t sent = 0; sent <= AirSocket::MAX_HELD + 4 * 255; sent += line.size())
        form.network().localSaid(user.callSign, 0, line);
    EXPECT_NE(form.network().links().at(0).state, "up");
    EXPECT_EQ(shell.connectionLog.back().rfind("link broken: wam2: ", 0), 0u);
}

TEST_F(AirLinkTest, WhatWaitsForTheAirIsBoundedToTheByte)
{
    auto owned = std::make_unique<FakeSocket>();
    owned->open = true;
    const std::unique_ptr<AgwLink> engine = std::make_unique<AgwLink>(std::move(owned), clock);
    AirSocket socket(engine, clock, "N0SRV", "");
    socket.adoptOpen(1, "N0NB", "");
    int errors = 0;
    socket.onError = [&errors](int&) { ++errors; };
    // Four frames go to the engine; what comes after them waits here.
    socket.sendBytes(std::string(AirSocket::MAX_OUTSTANDING * AirSocket::FRAME_BYTES, 'x'));
    socket.sendBytes(std::string(AirSocket::MAX_HELD, 'x'));
    EXPECT_EQ(errors, 0);
    socket.sendBytes("x");
    EXPECT_EQ(errors, 1);
}

TEST_F(AirLinkTest, ThePoliteStopDisconnectsTheLinkFirstAndWaitsForTheEngine)
{
    startNotDialling();
    linkUp();
    bool done = false;
    form.stop([&done] { done = true; });
    answerY(0); // what was sent is on the air: the disconnect goes
    const std::vector<AgwFrame> sent = frames();
    ASSERT_EQ(count(sent, 'd'), 1u);
    EXPECT_EQ(sent.back().callTo, "N0NB");
    EXPECT_FALSE(done);
    form.airLinks().handleDisconnect(*form.link(), 1, "N0NB", "*** DISCONNECTED From Station N0NB");
    EXPECT_TRUE(done);
    EXPECT_FALSE(traced("{PALAVORO} User(1:N0NB) no control block found"));
}

TEST_F(AirLinkTest, ThePoliteStopWaitsNoLongerThanItsLimitForTheEngine)
{
    startNotDialling();
    linkUp();
    bool done = false;
    form.stop([&done] { done = true; });
    clock.advance(AirLinks::STOP_WAIT - 1);
    EXPECT_FALSE(done);
    clock.advance(1);
    EXPECT_TRUE(done);
}

TEST_F(AirLinkTest, ThePoliteStopWithALinkAndAStationKeepsTheStationsLimit)
{
    startNotDialling();
    linkUp();
    addUser(1, "N0ABC");
    bool done = false;
    form.stop([&done] { done = true; });
    clock.advance(Connections::STOP_WAIT);
    EXPECT_TRUE(done);
}

TEST_F(AirLinkTest, ANeighboursCallsignCannotLinkAsAnotherNeighbour)
{
    config.neighbours.push_back({"wam9", "", 0, "", true});
    startNotDialling();
    connectFrom("N0NB");
    dataFrom("N0NB", PREFIX + "HOST wam9 W-2.81 dpu\r");
    EXPECT_EQ(shell.connectionLog.back(), "link refused from AX25:1:N0NB: HOST wam9 is not a neighbour");
    EXPECT_EQ(form.network().links().at(1).state, "listening");
}

TEST_F(AirLinkTest, TheNodeWhoseNameSortsAfterItsNeighboursDialsLater)
{
    config.hostName = "xsrv";
    start();
    EXPECT_EQ(count(frames(), 'C'), 0u);
    clock.advance(Network::AIR_YIELD);
    EXPECT_EQ(count(frames(), 'C'), 1u);
    failDial();
    clock.advance(Network::AIR_YIELD + Network::FIRST_RETRY - 1);
    EXPECT_EQ(count(frames(), 'C'), 0u);
    clock.advance(1);
    EXPECT_EQ(count(frames(), 'C'), 1u);
}
