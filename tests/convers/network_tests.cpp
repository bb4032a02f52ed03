#include "convers/NetworkFixture.h"
#include "fakes/FakeResolver.h"

const std::string W_HOST_ANSWER = hostCmd("HOST pvnode Palav0.1 p");

// ---- Handshakes, from PROTOCOL.md's transcripts

TEST_F(NetworkTest, AWNodeDiallingInGetsOurHostAndOurUsersWithNewNumbers)
{
    start({anywhere("wam1")});
    network.localUser("N0AAA-1", 0, "");
    FakeSocket* peer = arrive();
    peer->deliver("convers\n" + hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    EXPECT_EQ(peer->takeSent(), W_HOST_ANSWER + hostCmd("USER n0aaa-1 pvnode 2 -1 0 @"));
    // The dialler repeats its HOST; nothing more happens.
    peer->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    EXPECT_EQ(peer->takeSent(), "");
    EXPECT_EQ(logLines, Lines{"link up: wam1 at 127.0.0.1 (W-2.81)"});
}

TEST_F(NetworkTest, WeDialAWNodeAndSendOurUsersOnceItAnswers)
{
    start({dialling("wam1")});
    ASSERT_EQ(dialled.size(), 1u);
    EXPECT_EQ(dialled[0]->host, "127.0.0.1");
    EXPECT_EQ(dialled[0]->connectPort, 3600u);
    network.localUser("N0AAA", 3, "at home");
    dialled[0]->connect();
    EXPECT_EQ(dialled[0]->takeSent(), W_HOST_ANSWER);
    dialled[0]->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n") + hostCmd("USER alice wam1 1796684258 -1 0 @", "\n"));
    EXPECT_EQ(dialled[0]->takeSent(), hostCmd("USER n0aaa pvnode 2 -1 3 at home"));
    EXPECT_EQ(takeEvents(), Lines{"join alice@wam1 0"});
}

TEST_F(NetworkTest, APpNodeIsDialledWithItsPermlinkCallsignFirst)
{
    start({dialling("xx0xx", "PVNODE"), dialling("xx9xx", "PVNODE")});
    dialled[0]->connect();
    dialled[1]->connect();
    EXPECT_EQ(dialled[0]->takeSent(), "PVNODE\r\n");
    dialled[0]->deliver("Welcome to the node\r\n");
    EXPECT_EQ(dialled[0]->takeSent(), W_HOST_ANSWER);
    // A node that sends no banner gets our HOST after a while.
    clock.advance(Network::BANNER_WAIT);
    EXPECT_EQ(dialled[1]->takeSent(), "PVNODE\r\n" + W_HOST_ANSWER);
    dialled[0]->deliver("Login:" + hostCmd("HOST xx0xx PP-3.14t Admpun", "\n\r") +
                        hostCmd("USER xx1bob xx0xx 1796645178 -1 0 ", "\n\r"));
    EXPECT_EQ(takeEvents(), Lines{"join xx1bob@xx0xx 0"});
    EXPECT_EQ(network.links()[0].state, "up");
    EXPECT_EQ(network.links()[0].software, "PP-3.14t");
}

TEST_F(NetworkTest, APpNodeDiallingInWithItsJunkIsAnswered)
{
    start({anywhere("xx0xx")});
    FakeSocket* peer = arrive();
    peer->deliver("ppconvers" + hostCmd("HOST xx0xx PP-3.14t Admpun", "\r"));
    EXPECT_EQ(peer->takeSent(), W_HOST_ANSWER);
}

TEST_F(NetworkTest, LinesBeforeTheHostAreDropped)
{
    start({anywhere("wam1")});
    FakeSocket* peer = arrive();
    user(peer, "carol wam1 5 -1 0");
    peer->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    EXPECT_EQ(takeEvents(), Lines{});
}

TEST_F(NetworkTest, PingIsAnsweredWithTheLastRoundTripWeMeasured)
{
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    peer->deliver(hostCmd("PING", "\n"));
    EXPECT_EQ(peer->takeSent(), hostCmd("PONG 0"));
    // Our first PING goes out on the first tick, not with the HOST answer.
    clock.advance(Network::PING_EVERY);
    EXPECT_EQ(peer->takeSent(), hostCmd("PING"));
    clock.advance(1600);
    peer->deliver(hostCmd("PONG 0", "\n"));
    EXPECT_EQ(network.links()[0].rttMs, 1600);
    peer->deliver(hostCmd("PING", "\n"));
    EXPECT_EQ(peer->takeSent(), hostCmd("PONG 2"));
}

// ---- Who may link

TEST_F(NetworkTest, AHostNamingAStrangerOrOurselvesIsRefused)
{
    start({dialling("wam1")});
    // A closed link's socket is freed at the network's next event: looked at before.
    FakeSocket* stranger = arrive();
    stranger->deliver(hostCmd("HOST wam9 W-2.81 dpu", "\n"));
    EXPECT_FALSE(stranger->open);
    EXPECT_EQ(stranger->sent, "");
    FakeSocket* mirror = arrive();
    mirror->deliver(hostCmd("HOST PVNODE W-2.81 dpu", "\n"));
    EXPECT_FALSE(mirror->open);
    EXPECT_EQ(mirror->sent, "");
    EXPECT_EQ(logLines, (Lines{"link refused from 127.0.0.1: HOST wam9 is not a neighbour",
                               "link refused from 127.0.0.1: its HOST names this node"}));
    EXPECT_TRUE(traced("{CONVERS} HOST wam9 from 127.0.0.1 is not a neighbour, link closed"));
}

TEST_F(NetworkTest, ANeighbourIsAcceptedOnlyFromItsAddressUnlessListedWithAStar)
{
    start({dialling("wam1")});
    arrive("10.0.0.9");
    EXPECT_EQ(logLines, Lines{"link refused from 10.0.0.9: not a neighbour's address"});
    FakeSocket* mapped = arrive("::ffff:127.0.0.1");
    mapped->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    EXPECT_TRUE(mapped->open);
}

TEST_F(NetworkTest, ConnectionsWithoutAHostAreFewAndShortLived)
{
    start({anywhere("wam1")});
    for (size_t i = 0; i < Network::MAX_UNIDENTIFIED; ++i)
        arrive("10.0.0." + std::to_string(i))->deliver("garbage\n");
    arrive("10.0.1.1");
    EXPECT_EQ(logLines, Lines{"link refused from 10.0.1.1: too many connections waiting for HOST"});
    clock.advance(Network::HOST_WAIT - 1);
    EXPECT_TRUE(accepted[0]->open);
    clock.advance(1);
    EXPECT_TRUE(traced("{CONVERS} Link 10.0.0.0 dropped: no HOST within 30 s"));
    const size_t refusals = logLines.size();
    arrive()->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    EXPECT_EQ(logLines.size(), refusals + 1);
    EXPECT_EQ(logLines.back(), "link up: wam1 at 127.0.0.1 (W-2.81)");
}

TEST_F(NetworkTest, DiallingBacksOffFromOneSecondToAMinuteAndStartsAgainAfterASteadyLink)
{
    start({dialling("wam1")});
    uint32_t expected = 1000;
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Accepted and closed at once, with or without a HOST first: no tight loop.
        dialled.back()->connect();
        if (attempt % 2 == 1)
            dialled.back()->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
        dialled.back()->peerClose();
        const size_t before = dialled.size();
        clock.advance(expected - 1);
        EXPECT_EQ(dialled.size(), before);
        clock.advance(1);
        EXPECT_EQ(dialled.size(), before + 1);
        expected = std::min(expected * 2, Network::LONGEST_RETRY);
    }
    dialled.back()->connect();
    dialled.back()->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    clock.advance(Network::STEADY_LINK);
    dialled.back()->fail();
    const size_t before = dialled.size();
    clock.advance(Network::FIRST_RETRY);
    EXPECT_EQ(dialled.size(), before + 1);
    EXPECT_EQ(logLines.back(), "link broken: wam1: Connection refused");
}

TEST_F(NetworkTest, TwoNeighboursDiallingEachOtherKeepTheLinkDialledByTheFirstName)
{
    // "pvnode" sorts after "alfa": the link alfa dialled stays.
    start({dialling("alfa")});
    dialled[0]->connect();
    dialled[0]->deliver(hostCmd("HOST alfa W-2.81 dpu", "\n") + hostCmd("USER bob alfa 1 -1 0", "\n"));
    FakeSocket* theirs = arrive();
    theirs->deliver(hostCmd("HOST alfa W-2.81 dpu", "\n") + hostCmd("USER bob alfa 1 -1 0", "\n"));
    // bob stays, over the link that stays: stations see no leave and no join.
    EXPECT_EQ(takeEvents(), Lines{"join bob@alfa 0"});
    EXPECT_FALSE(dialled[0]->open);
    EXPECT_TRUE(theirs->open);
    EXPECT_EQ(network.links()[0].state, "up");
    EXPECT_EQ(logLines, (Lines{"link up: alfa at 127.0.0.1:3600 (W-2.81)",
                               "link down: alfa: the link alfa dialled stays", "link up: alfa at 127.0.0.1 (W-2.81)"}));
    clock.advance(Network::LONGEST_RETRY);
    EXPECT_EQ(dialled.size(), 1u);
}

TEST_F(NetworkTest, TwoNeighboursDiallingEachOtherKeepOurLinkWhenWeSortFirst)
{
    start({dialling("zulu")});
    FakeSocket* theirs = arrive();
    theirs->deliver(hostCmd("HOST zulu W-2.81 dpu", "\n"));
    dialled[0]->connect();
    dialled[0]->deliver(hostCmd("HOST zulu W-2.81 dpu", "\n"));
    EXPECT_TRUE(dialled[0]->open);
    EXPECT_FALSE(theirs->open);
}

// ---- Remote users

TEST_F(NetworkTest, UserLinesJoinMoveRenoteAndLeave)
{
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    user(peer, "bob wam1 1796644183 -1 0 @");
    user(peer, "bob wam1 1796644184 0 7 @");
    user(peer, "bob wam1 1796644185 7 7 testing the link");
    user(peer, "bob wam1 1796644186 7 -1 ");
    EXPECT_EQ(takeEvents(),
              (Lines{"join bob@wam1 0", "move bob@wam1 0 7", "note bob@wam1 testing the link", "leave bob@wam1 7"}));
    EXPECT_EQ(network.remoteCount(), 0u);
}

TEST_F(NetworkTest, APpUserIsOnSeveralChannelsAndLeavesEach)
{
    start({anywhere("xx0xx")});
    FakeSocket* peer = linkedFrom("xx0xx", "PP-3.14t", "Admpun");
    user(peer, "xx1bob xx0xx 1796645178 -1 0 ");
    user(peer, "xx1bob xx0xx 1796645178 -1 5 ");
    ASSERT_NE(network.findRemote("XX1BOB@XX0XX"), nullptr);
    EXPECT_EQ(network.findRemote("xx1bob")->channels, (std::vector<int32_t>{0, 5}));
    user(peer, "xx1bob xx0xx 1796645190 5 -1 /quit");
    user(peer, "xx1bob xx0xx 1796645190 0 -1 /quit");
    EXPECT_EQ(takeEvents(),
              (Lines{"join xx1bob@xx0xx 0", "join xx1bob@xx0xx 5", "leave xx1bob@xx0xx 5", "leave xx1bob@xx0xx 0"}));
}

TEST_F(NetworkTest, AUserNamingOurHostOrCallsignOrPosingAsAnAreaLineIsDropped)
{
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    user(peer, "mallory PVNODE 1 -1 0");
    user(peer, "mallory n0srv 1 -1 0");
    user(peer, "N0AAA@N0SRV> wam1 1 -1 0");
    EXPECT_EQ(network.remoteCount(), 0u);
    EXPECT_TRUE(traced("{CONVERS} USER mallory@PVNODE from wam1 names this node as its host, dropped"));
}

TEST_F(NetworkTest, RemoteUsersPerLinkAreBounded)
{
    maxUsers = 2;
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    for (const char* name : {"a1", "a2", "a3", "a4"})
        user(peer, std::string(name) + " wam1 1 -1 0");
    EXPECT_EQ(network.remoteCount(), 2u);
    EXPECT_TRUE(peer->open);
}

TEST_F(NetworkTest, NamesAndTextsReachStationsWithoutControlBytes)
{
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    user(peer, "b\x07ob wam1 1 -1 0 n\x1bote");
    peer->deliver(hostCmd("CMSG b\x07ob 0 hi\x0c there", "\n"));
    EXPECT_EQ(takeEvents(), (Lines{"join bob@wam1 0", "said bob@wam1 0 hi there"}));
    ASSERT_NE(network.findRemote("bob@wam1"), nullptr);
    EXPECT_EQ(network.findRemote("bob@wam1")->note, "note");
}

TEST_F(NetworkTest, ALostLinkTakesEachOfItsUsersOnceAndTellsTheOtherLinks)
{
    start({anywhere("wam1"), anywhere("wam2")});
    FakeSocket* one = linkedFrom("wam1");
    FakeSocket* two = linkedFrom("wam2");
    user(one, "bob wam1 1 -1 0");
    user(one, "carol wam3 1 -1 7");
    two->takeSent();
    takeEvents();
    one->peerClose();
    EXPECT_EQ(takeEvents(), (Lines{"leave bob@wam1 0", "leave carol@wam3 7"}));
    // Numbers above those sent for them on that link: a W node ignores any other.
    EXPECT_EQ(two->takeSent(), hostCmd("USER bob wam1 2 0 -1 @") + hostCmd("USER carol wam3 2 7 -1 @"));
    EXPECT_EQ(logLines.back(), "link down: wam1: closed by the neighbour");
}

// ---- Our stations

TEST_F(NetworkTest, OurStationsAreAnnouncedWithGrowingNumbers)
{
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    clock.advance(5000);
    network.localUser("N0AAA", 0, "");
    network.localUser("N0AAA", 0, "at home");
    network.localUser("N0AAA", 7, "at home");
    network.localUser("N0AAA", -1, "at home"); // into an area of our own
    network.localUser("N0AAA", 0, "at home");
    network.localLeft("N0AAA");
    network.localUser("N0AAA", 0, ""); // back within the same second
    EXPECT_EQ(peer->takeSent(),
              hostCmd("USER n0aaa pvnode 5 -1 0 @") + hostCmd("USER n0aaa pvnode 6 0 0 at home") +
                  hostCmd("USER n0aaa pvnode 7 0 7 at home") + hostCmd("USER n0aaa pvnode 8 7 -1 at home") +
                  hostCmd("USER n0aaa pvnode 9 -1 0 at home") + hostCmd("USER n0aaa pvnode 10 0 -1 at home") +
                  hostCmd("USER n0aaa pvnode 11 -1 0 @"));
}

TEST_F(NetworkTest, AMoveReachesAPpNodeAsALeaveAndAJoin)
{
    start({anywhere("xx0xx")});
    FakeSocket* peer = linkedFrom("xx0xx", "PP-3.14t", "Admpun");
    network.localUser("N0AAA", 0, "");
    network.localUser("N0AAA", 5, "");
    EXPECT_EQ(peer->takeSent(), hostCmd("USER n0aaa pvnode 1 -1 0 @") + hostCmd("USER n0aaa pvnode 2 0 -1 @") +
                                    hostCmd("USER n0aaa pvnode 2 -1 5 @"));
}

TEST_F(NetworkTest, AStationsLineGoesAsCmsgOnlyToLinksWithUsersOnItsChannel)
{
    start({anywhere("wam1"), anywhere("wam2")});
    FakeSocket* one = linkedFrom("wam1");
    FakeSocket* two = linkedFrom("wam2");
    user(one, "bob wam1 1 -1 0");
    one->takeSent();
    two->takeSent();
    network.localSaid("N0AAA", 0, "hello\r");
    EXPECT_EQ(one->takeSent(), hostCmd("CMSG n0aaa 0 hello"));
    EXPECT_EQ(two->takeSent(), "");
}

TEST_F(NetworkTest, PrivateLinesBothWays)
{
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    user(peer, "Bob wam1 1 -1 0");
    network.localUser("N0AAA", 0, "");
    peer->takeSent();
    EXPECT_TRUE(network.privateLine("N0AAA", "BOB@WAM1", "psst"));
    EXPECT_FALSE(network.privateLine("N0AAA", "nobody", "psst"));
    EXPECT_EQ(peer->takeSent(), hostCmd("UMSG n0aaa Bob psst"));
    peer->deliver(hostCmd("UMSG bob n0aaa back at you", "\n"));
    EXPECT_EQ(takeEvents().back(), "private bob@wam1 n0aaa back at you");
}

// ---- Several links

TEST_F(NetworkTest, LinesAreRelayedBetweenLinksAndNeverBack)
{
    start({anywhere("wam1"), anywhere("wam2")});
    FakeSocket* one = linkedFrom("wam1");
    FakeSocket* two = linkedFrom("wam2");
    user(one, "bob wam1 1 -1 0");
    user(two, "carol wam2 1 -1 0");
    one->takeSent();
    two->takeSent();
    one->deliver(hostCmd("CMSG bob 0 hello", "\n") + hostCmd("UMSG bob carol hi carol", "\n") +
                 hostCmd("TOPI bob wam1 1 0 Chat", "\n") + hostCmd("DEST wam1 2 W-2.81", "\n"));
    EXPECT_EQ(one->takeSent(), "");
    EXPECT_EQ(two->takeSent(), hostCmd("CMSG bob 0 hello") + hostCmd("UMSG bob carol hi carol") +
                                   hostCmd("TOPI bob wam1 1 0 Chat") + hostCmd("DEST wam1 2 W-2.81"));
    EXPECT_EQ(network.topic(0), "Chat");
}

TEST_F(NetworkTest, AHostReachedOverTwoLinksDropsTheNewerLink)
{
    start({anywhere("wam1"), anywhere("wam2")});
    FakeSocket* one = linkedFrom("wam1");
    user(one, "carol wam3 1 -1 0");
    clock.advance(1000);
    FakeSocket* two = linkedFrom("wam2");
    user(two, "dave wam3 1 -1 0");
    EXPECT_TRUE(one->open);
    EXPECT_FALSE(two->open);
    EXPECT_EQ(logLines.back(), "link looping: wam2: wam3 is reached over wam1 too");
    EXPECT_EQ(network.findRemote("dave"), nullptr);
}

// ---- Hostile and slow peers

TEST_F(NetworkTest, ALineTooLongDropsTheLink)
{
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    peer->deliver(std::string(LineSplitter::MAX_LINE + 1, 'x'));
    EXPECT_FALSE(peer->open);
    EXPECT_EQ(logLines.back(), "link broken: wam1: a line longer than 2048 bytes");
}

TEST_F(NetworkTest, ANeighbourThatStopsReadingIsDroppedAndDialledAgain)
{
    start({dialling("wam1")});
    dialled[0]->connect();
    dialled[0]->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    user(dialled[0], "bob wam1 1 -1 0");
    dialled[0]->unsent = Network::MAX_QUEUED + 1;
    network.localSaid("N0AAA", 0, "hello");
    EXPECT_FALSE(dialled[0]->open);
    EXPECT_EQ(logLines.back(), "link broken: wam1: it does not read what we send");
    clock.advance(Network::FIRST_RETRY);
    EXPECT_EQ(dialled.size(), 2u);
}

TEST_F(NetworkTest, PausedInputWaitsInTheSocketUntilResumed)
{
    start({anywhere("wam1")});
    FakeSocket* peer = linkedFrom("wam1");
    network.pauseInput(true);
    user(peer, "bob wam1 1 -1 0");
    // A notification queued before the pause reads nothing either.
    peer->onDataAvailable();
    EXPECT_EQ(takeEvents(), Lines{});
    network.pauseInput(false);
    EXPECT_EQ(takeEvents(), Lines{"join bob@wam1 0"});
}

// ---- Links dropped between events, hostile neighbours

// Both neighbours' queues are full: relaying L's line drops O, whose users'
// departures then drop L. The user whose line it was is still there until
// the line has been handled.
struct DropInHandler {
    const char* line;
    const char* event;
};

void PrintTo(const DropInHandler& c, std::ostream* os)
{
    *os << c.line;
}

class LinksDroppedInAHandler : public NetworkTest, public ::testing::WithParamInterface<DropInHandler> {};

TEST_P(LinksDroppedInAHandler, GoOnlyOnceTheLineIsHandled)
{
    linkTwo();
    FakeSocket* l = one;
    FakeSocket* o = two;
    user(l, "bob wam1 1 -1 0");
    user(o, "olga wam2 1 -1 0");
    takeEvents();
    l->unsent = o->unsent = Network::MAX_QUEUED + 1;
    l->deliver(hostCmd(GetParam().line, "\n"));
    Lines expected{GetParam().event, "leave olga@wam2 0", "leave bob@wam1 0"};
    if (std::string(GetParam().event).starts_with("join dave"))
        expected.push_back("leave dave@wam1 0");
    EXPECT_EQ(takeEvents(), expected);
    EXPECT_FALSE(l->open);
    EXPECT_FALSE(o->open);
    EXPECT_EQ(network.remoteCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(NetworkTest, LinksDroppedInAHandler,
                         ::testing::Values(DropInHandler{"CMSG bob 0 hello", "said bob@wam1 0 hello"},
                                           DropInHandler{"USER bob wam1 2 0 0 away", "note bob@wam1 away"},
                                           DropInHandler{"USER dave wam1 1 -1 0", "join dave@wam1 0"}));

TEST_F(NetworkTest, AStationsLineThatFillsAQueueDropsTheLinkAfterwards)
{
    linkTwo();
    user(one, "bob wam1 1 -1 0");
    user(two, "olga wam2 1 -1 0");
    two->takeSent();
    takeEvents();
    one->unsent = Network::MAX_QUEUED + 1;
    network.localSaid("N0AAA", 0, "hello");
    // wam2 still got the line, and then bob's departure.
    EXPECT_EQ(two->takeSent(), hostCmd("CMSG n0aaa 0 hello") + hostCmd("USER bob wam1 2 0 -1 @"));
    EXPECT_EQ(takeEvents(), Lines{"leave bob@wam1 0"});
}

TEST_F(NetworkTest, ConnectionsWaitingForHostAreFewPerAddressAndLeaveEachNeighbourAPlace)
{
    start({anywhere("wam1"), {"wam2", "10.0.0.2", 3600, "", false}});
    arrive("10.9.0.1");
    arrive("10.9.0.1");
    arrive("10.9.0.1");
    EXPECT_EQ(logLines, Lines{"link refused from 10.9.0.1: too many connections waiting for HOST"});
    // Strangers take every place but wam2's.
    for (size_t i = 3; i < Network::MAX_UNIDENTIFIED; ++i)
        arrive("10.9.1." + std::to_string(i));
    arrive("10.9.2.1");
    arrive("10.0.0.2")->deliver(hostCmd("HOST wam2 W-2.81 dpu", "\n"));
    // Refusals of one cause are logged once a minute at the most.
    clock.advance(LogThrottle::EVERY);
    EXPECT_EQ(logLines, (Lines{"link refused from 10.9.0.1: too many connections waiting for HOST",
                               "link up: wam2 at 10.0.0.2 (W-2.81)",
                               "link unreachable: wam2 at 10.0.0.2:3600: no HOST within 30 s",
                               "link refused from 10.9.2.1: too many connections waiting for HOST (1 since the last "
                               "such line)"}));
}

TEST_F(NetworkTest, AHostNamingANeighbourFromAnotherNeighboursAddressOrALoopIsRefused)
{
    start({{"wam1", "10.0.0.1", 3600, "", false}, {"wam2", "10.0.0.2", 3600, "", false}, anywhere("wam3")});
    arrive("10.0.0.2")->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    EXPECT_EQ(logLines.back(), "link refused from 10.0.0.2: HOST wam1 is not a neighbour");
    FakeSocket* one = arrive("10.0.0.1");
    one->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    user(one, "carol wam3 1 -1 0");
    arrive("10.0.0.3")->deliver(hostCmd("HOST wam3 W-2.81 dpu", "\n"));
    EXPECT_EQ(logLines.back(), "link looping: wam3: wam3 is reached over wam1 too");
    EXPECT_EQ(network.findRemote("carol")->link, "wam1");
}

TEST_F(NetworkTest, NothingGoesBackOverTheLinkItCameFrom)
{
    linkTwo();
    user(one, "bob wam1 1 -1 0");
    user(one, "ann wam1 1 -1 0");
    user(two, "carol wam2 1 -1 0");
    one->takeSent();
    two->takeSent();
    one->deliver(hostCmd("UMSG bob ann hi ann", "\n") + hostCmd("USER bob wam1 2 0 -1 ", "\n"));
    EXPECT_EQ(one->takeSent(), "");
    EXPECT_EQ(two->takeSent(), hostCmd("USER bob wam1 2 0 -1 @"));
}

TEST_F(NetworkTest, RelayedLinesAreBuiltForEachLinkFromCleanedText)
{
    start({anywhere("xx0xx"), anywhere("wam1")});
    FakeSocket* pp = linkedFrom("xx0xx", "PP-3.14t", "Admpun");
    FakeSocket* w = linkedFrom("wam1");
    user(pp, "xx1bob xx0xx 1796645178 -1 0 ");
    user(w, "ali wam1 1 -1 0");
    w->takeSent();
    takeEvents();
    pp->deliver(hostCmd("CMSG xx1bob:Bobby 0 hi\x1b[2J there\x07\x85", "\n") +
                hostCmd("DEST wam9\x07 2 W-2.81", "\n"));
    EXPECT_EQ(takeEvents(), Lines{"said xx1bob@xx0xx 0 hi[2J there\x85"});
    EXPECT_EQ(w->takeSent(), hostCmd("CMSG xx1bob 0 hi[2J there\x85") + hostCmd("DEST wam9 2 W-2.81"));
}

TEST_F(NetworkTest, WhatANeighbourMayMakeUsKeepIsBounded)
{
    struct Case {
        std::string line;
        Lines events;
    };
    const std::string name32(32, 'n');
    const std::vector<Case> cases{
        {"USER " + name32 + " wam1 1 -1 0", {"join " + name32 + "@wam1 0"}},
        {"USER " + name32 + "x wam1 1 -1 0", {}},
        {"USER bob " + std::string(33, 'h') + " 1 -1 0", {}},
        {"USER ann wam1 1 -1 0 " + std::string(256, 'a'), {"join ann@wam1 0"}},
        {"USER cid wam1 1 -1 0 " + std::string(257, 'a'), {}},
        {"UMSG N0BBB@N0SRV n0aaa you are mine", {}},
        {"UMSG <n0bbb> n0aaa you are mine", {}},
        {"UMSG n0bbb n0aaa hi", {"private n0bbb@wam1 n0aaa hi"}},
    };
    start({anywhere("wam1")});
    network.localUser("N0AAA", 0, "");
    FakeSocket* peer = linkedFrom("wam1");
    for (const Case& c : cases) {
        peer->deliver(hostCmd(c.line, "\n"));
        EXPECT_EQ(takeEvents(), c.events) << c.line;
    }
}

TEST_F(NetworkTest, TopicsAreKeptShortAndOnlyForChannelsInUseAndGoWithTheirLink)
{
    linkTwo();
    one->deliver(hostCmd("TOPI bob wam1 1 5 Nobody here", "\n"));
    EXPECT_EQ(network.topic(5), "");
    EXPECT_EQ(two->takeSent(), hostCmd("TOPI bob wam1 1 5 Nobody here"));
    user(one, "bob wam1 1 -1 5");
    one->deliver(hostCmd("TOPI bob wam1 1 5 " + std::string(300, 't'), "\n"));
    EXPECT_EQ(network.topic(5), std::string(Network::MAX_TOPIC, 't'));
    network.localUser("N0AAA", 6, "");
    one->deliver(hostCmd("TOPI bob wam1 1 6 Ours", "\n"));
    takeEvents();
    one->peerClose();
    EXPECT_EQ(takeEvents(), (Lines{"leave bob@wam1 5", "topic 6 "}));
    EXPECT_EQ(network.topic(6), "");
}

// ---- What real W and PP nodes do, on a bridge between them

// wam1 (W) and xx0xx (PP) linked; our station n0abc, W's xx1ali and PP's
// xx1bob on channel 0. Each case: lines from one side (or the station's own
// lines), and what goes to each node and to the stations.
struct Exchange {
    const char* name;
    std::string from; // "wam1", "xx0xx" or "station"
    Lines lines;
    Lines toW;
    Lines toPp;
    Lines events;
};

void PrintTo(const Exchange& e, std::ostream* os)
{
    *os << e.name;
}

class OnTheBridge : public NetworkTest, public ::testing::WithParamInterface<Exchange> {
protected:
    static Lines commands(FakeSocket* socket)
    {
        Lines lines;
        std::string sent = socket->takeSent();
        for (size_t end; (end = sent.find("\r\n")) != std::string::npos; sent.erase(0, end + 2))
            lines.push_back(sent.substr(3, end - 3));
        return lines;
    }
};

TEST_P(OnTheBridge, WhatEachSideGets)
{
    start({anywhere("wam1"), anywhere("xx0xx")});
    network.localUser("N0ABC", 0, "");
    FakeSocket* w = linkedFrom("wam1");
    FakeSocket* pp = linkedFrom("xx0xx", "PP-3.14t", "Admpun");
    user(w, "xx1ali wam1 1796703810 -1 0 @");
    user(pp, "xx1bob xx0xx 1796703802 -1 0 ");
    w->takeSent();
    pp->takeSent();
    takeEvents();
    const Exchange& e = GetParam();
    for (const std::string& line : e.lines) {
        if (e.from == "station")
            network.localSaid("N0ABC", 0, line);
        else
            (e.from == "wam1" ? w : pp)->deliver(hostCmd(line, "\n"));
    }
    EXPECT_EQ(commands(w), e.toW);
    EXPECT_EQ(commands(pp), e.toPp);
    EXPECT_EQ(takeEvents(), e.events);
}

INSTANTIATE_TEST_SUITE_P(
    NetworkTest, OnTheBridge,
    ::testing::Values(
        // n0abc went out as 1, then 2 and 3 at each link-up.
        Exchange{"WRaisesOurNumberAfterALostLink",
                 "wam1",
                 {"USER n0abc pvnode 4 -1 -1 ", "USER n0abc pvnode 5 -1 0 @", "USER n0abc pvnode 2 -1 0 @",
                  "USER n0abc pvnode 5 -1 -1 "},
                 {"USER n0abc pvnode 5 -1 0 @", "USER n0abc pvnode 6 -1 0 @"},
                 {"USER n0abc pvnode 5 -1 0 @", "USER n0abc pvnode 6 -1 0 @"},
                 {}},
        Exchange{"AWUsersRepeatIsShownWithoutWsMark",
                 "wam1",
                 {"CMSG xx1ali 0 same words", "CMSG xx1ali 0 same words\xa0" "1"},
                 {},
                 {"CMSG xx1ali 0 same words", "CMSG xx1ali 0 same words"},
                 {"said xx1ali@wam1 0 same words", "said xx1ali@wam1 0 same words"}},
        Exchange{"AStationsRepeatIsMarkedForWOnly",
                 "station",
                 {"yes", "yes", "yes"},
                 {"CMSG n0abc 0 yes", "CMSG n0abc 0 yes\xa0" "1", "CMSG n0abc 0 yes\xa0" "2"},
                 {"CMSG n0abc 0 yes", "CMSG n0abc 0 yes", "CMSG n0abc 0 yes"},
                 {}},
        Exchange{"APpUsersNoBreakSpaceStaysAndARepeatIsMarkedForW",
                 "xx0xx",
                 {"CMSG xx1bob:Bobby 0 a\xa0" "1", "CMSG xx1bob 0 a\xa0" "1"},
                 {"CMSG xx1bob 0 a\xa0" "1", "CMSG xx1bob 0 a\xa0" "1\xa0" "1"},
                 {},
                 {"said xx1bob@xx0xx 0 a\xa0" "1", "said xx1bob@xx0xx 0 a\xa0" "1"}},
        Exchange{"PpNumbersGrowTowardW",
                 "xx0xx",
                 {"USER xx1bob xx0xx 1796703802 0 0 PP note", "USER xx1bob xx0xx 1796703802 -1 3 PP note"},
                 {"USER xx1bob xx0xx 1796703803 0 0 PP note", "USER xx1bob xx0xx 1796703804 -1 3 PP note"},
                 {},
                 {"note xx1bob@xx0xx PP note", "join xx1bob@xx0xx 3"}},
        Exchange{"AWDumpOfWhatWeKnowChangesNothing", "wam1", {"USER xx1ali wam1 1796703811 -1 0 @"}, {}, {}, {}},
        Exchange{"AWDepartureGoesOnOnce",
                 "wam1",
                 {"USER xx1ali wam1 1796703818 0 -1 "},
                 {},
                 {"USER xx1ali wam1 1796703818 0 -1 @"},
                 {"leave xx1ali@wam1 0"}},
        Exchange{"PresenceLines",
                 "wam1",
                 {"INVI xx1ali N0ABC 5 ", "INVI xx1ali xx1bob 7", "INVI xx1ali@evil n0abc 5"},
                 {},
                 {"INVI xx1ali xx1bob 7"},
                 {"invite xx1ali@wam1 N0ABC 5"}},
        Exchange{"APpUsersAwayGoesOn",
                 "xx0xx",
                 {"AWAY xx1bob xx0xx 1796703913 gone fishing", "AWAY xx1ali wam1 1796703913 not mine"},
                 {"AWAY xx1bob xx0xx 1796703913 gone fishing"},
                 {},
                 {}}),
    [](const ::testing::TestParamInfo<Exchange>& info) { return std::string(info.param.name); });

TEST_F(NetworkTest, UsersOfALinkDroppedForALoopStayAndItsNeighbourWaitsTillItsHostIsUnreached)
{
    start({dialling("wam2"), anywhere("wam1")});
    FakeSocket* one = linkedFrom("wam1");
    user(one, "xx1c01 wam1 1 -1 0");
    clock.advance(1000);
    dialled[0]->connect();
    dialled[0]->deliver(hostCmd("HOST wam2 W-2.81 dpu", "\n") + hostCmd("USER xx1bob wam2 1 -1 0", "\n") +
                        hostCmd("USER xx1c01 wam1 1 -1 0", "\n"));
    EXPECT_FALSE(dialled[0]->open);
    // wam1 passes on wam2's correction: bob never left.
    user(one, "xx1bob wam2 2 -1 0 @");
    EXPECT_EQ(takeEvents(), (Lines{"join xx1c01@wam1 0", "join xx1bob@wam2 0"}));
    EXPECT_EQ(network.findRemote("xx1bob")->link, "wam1");
    clock.advance(LinkSet::LOOP_RETRY);
    EXPECT_EQ(dialled.size(), 1u);
    user(one, "xx1bob wam2 3 0 -1");
    clock.advance(Network::FIRST_RETRY);
    EXPECT_EQ(dialled.size(), 2u);
}

TEST_F(NetworkTest, AUserMovedByALoopIsNeverToldToTheNeighbourThatTaughtIt)
{
    linkTwo();
    user(two, "dan uam2 1 -1 0");
    user(two, "xx1 wam1 1 -1 0");
    EXPECT_EQ(network.findRemote("dan")->link, "wam1");
    FakeSocket* again = arrive();
    again->deliver(hostCmd("HOST wam2 W-2.81 dpu", "\n"));
    user(one, "dan uam2 2 0 0 back");
    EXPECT_EQ(again->takeSent().find("dan"), std::string::npos);
}

TEST_F(NetworkTest, ALinkSilentForTwoPingIntervalsAfterAPingIsDroppedButNotWhileWeDoNotReadIt)
{
    start({anywhere("wam1"), anywhere("wam2")});
    FakeSocket* pinged = linkedFrom("wam1");
    FakeSocket* unpinged = linkedFrom("wam2", "W-2.81", "du");
    user(pinged, "bob wam1 1 -1 0");
    takeEvents();
    network.pauseInput(true);
    clock.advance(4 * Network::PING_EVERY);
    network.pauseInput(false);
    clock.advance(Network::PING_EVERY);
    EXPECT_TRUE(pinged->open);
    // Its socket is gone with the other link's tick.
    clock.advance(Network::PING_EVERY);
    EXPECT_EQ(network.links()[0].state, "listening");
    EXPECT_EQ(takeEvents(), Lines{"leave bob@wam1 0"});
    EXPECT_EQ(logLines.back(), "link broken: wam1: nothing heard for 600 s");
    EXPECT_TRUE(unpinged->open);
    EXPECT_EQ(unpinged->takeSent().find("PING"), std::string::npos);
}

// ---- Flow control between links

Lines commandsIn(std::string sent)
{
    Lines lines;
    for (size_t end; (end = sent.find("\r\n")) != std::string::npos; sent.erase(0, end + 2))
        lines.push_back(sent.substr(3, end - 3));
    return lines;
}

TEST_F(NetworkTest, AFloodingLinkWaitsForTheSlowOneItFillsWhileTheOthersGoOn)
{
    start({anywhere("wam1"), anywhere("wam2"), anywhere("wam3")});
    FakeSocket* flood = linkedFrom("wam1");
    FakeSocket* slow = linkedFrom("wam2");
    FakeSocket* other = linkedFrom("wam3");
    user(flood, "bob wam1 1 -1 0");
    user(slow, "sam wam2 1 -1 0");
    user(other, "carol wam3 1 -1 0");
    slow->holdSent = true;
    other->deliver(hostCmd("CMSG carol 0 first", "\n"));
    slow->takeSent();
    takeEvents();
    std::string lines;
    for (int i = 0; i < 100; ++i)
        lines += hostCmd("CMSG bob 0 " + std::to_string(i) + std::string(1000, 'x'), "\n");
    flood->deliver(lines);
    // Paused at the line that passed the high-water mark, not a turn later.
    EXPECT_FALSE(flood->reading);
    EXPECT_EQ(events.size(), LinkSet::HIGH_WATER / 1015 + 1);
    other->deliver(hostCmd("CMSG carol 0 still here", "\n"));
    EXPECT_EQ(events.back(), "said carol@wam3 0 still here");
    // wam2 reads: below the low-water mark wam1 goes on, and nothing is lost.
    size_t before = 0;
    while (!flood->reading) {
        before = network.links()[1].waiting;
        slow->take(1024);
    }
    EXPECT_GE(before, LinkSet::LOW_WATER);
    EXPECT_LT(before, LinkSet::LOW_WATER + 1024);
    while (slow->unsent > 0)
        slow->take(LinkSet::HIGH_WATER);
    EXPECT_EQ(takeEvents().size(), 100u + 1);
    EXPECT_EQ(commandsIn(slow->takeSent()).size(), 100u + 1);

    // A link that holds another and takes nothing for a minute does not read.
    flood->deliver(lines);
    clock.advance(LinkSet::HOLD_WAIT);
    EXPECT_FALSE(slow->open);
    EXPECT_TRUE(flood->reading);
}

TEST_F(NetworkTest, NoteChangesWaitingForASlowLinkMergeButAMoveKeepsItsPlace)
{
    linkTwo();
    two->unsent = LinkSet::SOCKET_SHARE;
    user(one, "bob wam1 1 -1 0");
    user(one, "bob wam1 2 0 0 a");
    user(one, "bob wam1 3 0 0 b");
    user(one, "bob wam1 4 0 5 b");
    user(one, "bob wam1 5 5 5 c");
    user(one, "bob wam1 6 5 5 d");
    two->takeSent();
    two->take(two->unsent);
    EXPECT_EQ(commandsIn(two->takeSent()), (Lines{"USER bob wam1 1 -1 0 @", "USER bob wam1 3 0 0 b",
                                                  "USER bob wam1 4 0 5 b", "USER bob wam1 6 5 5 d"}));
}

// ---- The sysop's hands: neighbours by name, taken down, reconfigured

TEST_F(NetworkTest, ANeighbourByNameIsAcceptedFromWhatItsNameResolvesToNow)
{
    FakeResolver resolver;
    network.setResolver(&resolver);
    Neighbour named{"xx0xx", "node.example.net", 3600, "", false};
    named.byName = true;
    start({named});
    FakeSocket* moved = arrive("10.1.1.1");
    moved->deliver(hostCmd("HOST xx0xx PP-3.14t Admpun", "\n"));
    // The HOST waits, unread, for the name.
    ASSERT_EQ(resolver.asked.size(), 1u);
    EXPECT_EQ(resolver.asked[0].name, "node.example.net");
    EXPECT_EQ(logLines, Lines{});
    resolver.answer({"::ffff:10.1.1.1"});
    EXPECT_EQ(logLines, Lines{"link up: xx0xx at 10.1.1.1 (PP-3.14t)"});
    arrive("10.2.2.2");
    resolver.answer({"10.1.1.1"});
    EXPECT_EQ(logLines.back(), "link refused from 10.2.2.2: not a neighbour's address");
}

TEST_F(NetworkTest, ANeighbourTakenDownStaysDownUntilTakenUp)
{
    start({dialling("wam1"), anywhere("wam2")});
    dialled[0]->connect();
    dialled[0]->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    EXPECT_FALSE(network.setLinkDown("wam9", true));
    EXPECT_TRUE(network.setLinkDown("WAM1", true));
    EXPECT_TRUE(network.setLinkDown("wam2", true));
    EXPECT_EQ(logLines.back(), "link down: wam1: taken down by the sysop");
    clock.advance(Network::LONGEST_RETRY);
    EXPECT_EQ(dialled.size(), 1u);
    arrive()->deliver(hostCmd("HOST wam2 W-2.81 dpu", "\n"));
    EXPECT_EQ(logLines.back(), "link refused from 127.0.0.1: wam2 is taken down");
    EXPECT_EQ(network.links()[0].state, "down");
    network.setLinkDown("wam1", false);
    EXPECT_EQ(dialled.size(), 2u);
}

TEST_F(NetworkTest, AReconfigurationTouchesOnlyTheNeighboursWhoseLinesChanged)
{
    start({anywhere("wam1"), dialling("wam2"), dialling("wam3")});
    FakeSocket* kept = linkedFrom("wam1");
    user(kept, "bob wam1 1 -1 0");
    dialled[0]->connect();
    dialled[0]->deliver(hostCmd("HOST wam2 W-2.81 dpu", "\n"));
    takeEvents();
    Neighbour moved = dialling("wam2");
    moved.port = 3601;
    NetworkConfig config = network.config();
    config.neighbours = {anywhere("WAM1"), moved, dialling("wam4")};
    EXPECT_EQ(network.reconfigure(config), (Lines{"[LINKS] wam2 changed", "[LINKS] wam3 removed", "[LINKS] wam4 added"}));
    EXPECT_TRUE(kept->open);
    EXPECT_EQ(takeEvents(), Lines{});
    EXPECT_FALSE(dialled[0]->open);
    EXPECT_EQ(network.links().size(), 3u);
    ASSERT_EQ(dialled.size(), 4u);
    EXPECT_EQ(dialled[2]->connectPort, 3601u);
    EXPECT_EQ(dialled[3]->connectCalls, 1);
}

TEST_F(NetworkTest, AFailingDialIsLoggedOnceAndShownAsTheLinksLastError)
{
    start({dialling("wam1")});
    dialled[0]->fail();
    // Long after, still failing: still the one line.
    clock.advance(LogThrottle::EVERY + Network::FIRST_RETRY);
    dialled.back()->fail();
    EXPECT_EQ(logLines, Lines{"link unreachable: wam1 at 127.0.0.1:3600: Connection refused"});
    EXPECT_EQ(network.links()[0].lastError, "Connection refused");
    clock.advance(Network::LONGEST_RETRY);
    dialled.back()->connect();
    dialled.back()->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    const LinkStatus up = network.links()[0];
    EXPECT_EQ(up.direction, "out");
    EXPECT_EQ(up.lastError, "");
}
