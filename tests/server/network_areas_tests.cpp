// Users of other nodes as the stations see them, and our stations on the network.
#include "ChatFixture.h"
#include "fakes/FakeListenSocket.h"
#include "server/ServerStatus.h"

namespace {

std::string hostCmd(const std::string& command, const std::string& end = "\r\n")
{
    return "/\xff\x80" + command + end;
}

} // namespace

class ChatNetwork : public ChatTest {
protected:
    ChatNetwork()
    {
        NetworkConfig config;
        config.hostName = "n0srv";
        config.callSign = "N0SRV";
        config.neighbours = {{"wam1", "", 0, "", true}};
        form.network().start(config);
    }
    // wam1 dials in; what we answered is taken. With `settled`, its users
    // join after the joins of its link-up have been gathered.
    FakeSocket* linkUp(bool settled = false)
    {
        auto socket = std::make_unique<FakeSocket>();
        socket->open = true;
        peer = socket.get();
        form.network().accept(std::move(socket), "127.0.0.1");
        fromPeer("HOST wam1 W-2.81 dpu");
        peer->takeSent();
        if (settled)
            clock.advance(Network::JOIN_GATHERING);
        return peer;
    }
    void fromPeer(const std::string& command) { peer->deliver(hostCmd(command, "\n")); }
    std::vector<std::string> run(Station& user, const std::string& text)
    {
        command(user, text);
        return takeTo(user.callSign);
    }

    FakeSocket* peer = nullptr;
};

TEST_F(ChatNetwork, ARemoteUsersLineReachesTheStationsOfTheAreaAsAnAreaLine)
{
    addUser(1, "N0AAA");
    linkUp(true);
    fromPeer("USER alice wam1 1796644183 -1 0 @");
    // A W node's mark on its user's repeated line is not the user's.
    fromPeer("CMSG alice 0 hi from alice\xa0"
             "1");
    EXPECT_EQ(takeTo("N0AAA"),
              (Texts{"[0]<alice@wam1> <alice@wam1 joined Area>\r\r", "[0]<alice@wam1> hi from alice\r\r"}));
}

TEST_F(ChatNetwork, AStationsLineLeavesAsCmsgAndItsComingAndGoingAsUser)
{
    linkUp();
    fromPeer("USER alice wam1 1 -1 0 @");
    connect(1, "N0AAA-1");
    line(1, "N0AAA-1", "/P at home\r");
    line(1, "N0AAA-1", "hello all\r");
    form.connections().handleDisconnect(*form.link(), 1, "N0AAA-1", "");
    EXPECT_EQ(peer->takeSent(), hostCmd("USER n0aaa-1 n0srv 1 -1 0 @") + hostCmd("USER n0aaa-1 n0srv 2 0 0 at home") +
                                    hostCmd("CMSG n0aaa-1 0 hello all") + hostCmd("USER n0aaa-1 n0srv 3 0 -1 at home"));
}

TEST_F(ChatNetwork, ARemoteMoveMakesANetworkAreaThatGoesWhenEmpty)
{
    Station& ann = addUser(1, "N0AAA");
    linkUp(true);
    fromPeer("USER bob wam1 1 -1 0 @");
    fromPeer("TOPI bob wam1 1 9 Nine");
    fromPeer("USER bob wam1 2 0 7 @");
    EXPECT_EQ(takeTo("N0AAA"), (Texts{"[0]<bob@wam1> <bob@wam1 joined Area>\r\r",
                                      "[0]<bob@wam1> <bob@wam1 left this area, now in Area(7)>\r\r"}));
    ASSERT_NE(form.directory().findArea(7), nullptr);
    EXPECT_EQ(form.directory().findArea(7)->topic, "Channel 7");
    EXPECT_EQ(run(ann, "/C *\r"), (Texts{"\rAreas Available:\r", "Id(0) Topic(Root) Owner(N0SRV) Users(1)\r",
                                         "Id(7) Topic(Channel 7) Owner() Users(1)\r"}));
    EXPECT_EQ(run(ann, "/D 7\r"), Texts{"\r-- Area(7) Not Owned by Call(N0AAA)\r"});
    command(ann, "/J 7\r");
    EXPECT_EQ(peer->takeSent(), hostCmd("USER n0aaa n0srv 10 0 7 @"));
    fromPeer("USER bob wam1 3 7 -1 ");
    EXPECT_EQ(takeTo("N0AAA").back(), "[7]<bob@wam1> <bob@wam1 left Area>\r\r");
    ASSERT_NE(form.directory().findArea(7), nullptr);
    line(1, "N0AAA", "/J 0\r");
    EXPECT_EQ(form.directory().findArea(7), nullptr);
    // The topic came while nobody was on 9: it was not kept.
    fromPeer("USER bob wam1 4 -1 9 @");
    ASSERT_NE(form.directory().findArea(9), nullptr);
    EXPECT_EQ(form.directory().findArea(9)->topic, "Channel 9");
}

TEST_F(ChatNetwork, RemoteUsersMakeAreasBelowOurOwnRangeThatGoWithTheLastOfThem)
{
    linkUp();
    fromPeer("USER bob wam1 1 -1 127 @");
    fromPeer("USER carol wam1 1 -1 128 @");
    EXPECT_NE(form.directory().findArea(127), nullptr);
    EXPECT_EQ(form.directory().findArea(128), nullptr);
    fromPeer("USER bob wam1 2 127 -1 @");
    EXPECT_EQ(form.directory().findArea(127), nullptr);
}

TEST_F(ChatNetwork, ANeighboursTopicGoesWithItsLink)
{
    Station& ann = addUser(1, "N0AAA");
    linkUp();
    fromPeer("USER bob wam1 1 -1 5 @");
    command(ann, "/J 5\r");
    fromPeer("TOPI bob wam1 1 5 Fishing");
    EXPECT_EQ(form.directory().findArea(5)->topic, "Fishing");
    peer->peerClose();
    EXPECT_EQ(form.directory().findArea(5)->topic, "Channel 5");
}

TEST_F(ChatNetwork, MoreThanThreeUsersOfALinkComingOrGoingInOneAreaMakeOneLine)
{
    addUser(1, "N0AAA");
    form.directory().addArea(5, "Five", true, "N0SRV");
    addUser(1, "N0BBB", 5);
    linkUp();
    for (const char* name : {"a1", "a2", "a3", "a4"})
        fromPeer("USER " + std::string(name) + " wam1 1 -1 0 @");
    for (const char* name : {"b1", "b2", "b3"})
        fromPeer("USER " + std::string(name) + " wam1 1 -1 5 @");
    fromPeer("USER b9 wam1 1 -1 0 @");
    fromPeer("USER b9 wam1 2 0 -1 @");
    EXPECT_TRUE(sentTexts().empty());
    clock.advance(Network::JOIN_GATHERING);
    const std::vector<SentText> joins = sentTexts();
    EXPECT_EQ(dataTo(joins, "N0AAA"), Texts{"[0]<wam1> <4 users of wam1 joined Area>\r\r"});
    EXPECT_EQ(dataTo(joins, "N0BBB"), (Texts{"[5]<b1@wam1> <b1@wam1 joined Area>\r\r", "[5]<b2@wam1> <b2@wam1 joined Area>\r\r",
                                      "[5]<b3@wam1> <b3@wam1 joined Area>\r\r"}));
    peer->peerClose();
    const std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0AAA"), Texts{"[0]<wam1> <4 users of wam1 left Area>\r\r"});
    EXPECT_EQ(dataTo(sent, "N0BBB").size(), 3u);
}

TEST_F(ChatNetwork, AHostLinkTakesItsTurnLikeAStation)
{
    addUser(1, "N0AAA");
    connect(1, "N0BBB");
    linkUp(true);
    fromPeer("USER alice wam1 1 -1 0 @");
    sentTexts();
    form.link()->setOutputMarks(1000, 200);
    fake->unsent = 1001;
    form.delivery().sendTo(1, "N0AAA", "x");
    takeTo("N0AAA");
    std::string paste;
    for (int i = 1; i <= 12; ++i)
        paste += "p" + std::to_string(i) + "\r";
    line(1, "N0BBB", paste);
    fromPeer("CMSG alice 0 from afar");
    fake->take(1001);
    const Texts got = takeTo("N0AAA");
    ASSERT_EQ(got.size(), 13u);
    EXPECT_EQ(got[Connections::TURN_ITEMS], "[0]<alice@wam1> from afar\r\r");
}

TEST_F(ChatNetwork, AStationInAnAreaOfOurOwnIsOffTheNetworksChannels)
{
    form.settings().createArea = true;
    Station& ann = addUser(1, "N0AAA");
    linkUp();
    command(ann, "/NE Ours\r");
    command(ann, "/J 0\r");
    EXPECT_EQ(peer->takeSent(), hostCmd("USER n0aaa n0srv 3 0 -1 @") + hostCmd("USER n0aaa n0srv 4 -1 0 @"));
}

TEST_F(ChatNetwork, ANeighboursLinesWaitWhileTheEngineIsBehind)
{
    addUser(1, "N0AAA");
    linkUp();
    fromPeer("USER alice wam1 1 -1 0 @");
    form.link()->setOutputMarks(1000, 200);
    fake->unsent = 1001;
    form.delivery().sendTo(1, "N0AAA", "x");
    takeTo("N0AAA");
    ASSERT_TRUE(form.outputBacklogged());

    EXPECT_FALSE(peer->reading);
    fromPeer("CMSG alice 0 later");
    EXPECT_TRUE(takeTo("N0AAA").empty());
    fake->take(1001);
    EXPECT_TRUE(peer->reading);
    EXPECT_EQ(takeTo("N0AAA"), Texts{"[0]<alice@wam1> later\r\r"});
}

TEST_F(ChatNetwork, WhoListsRemoteUsersUnderTheirAreas)
{
    Station& ann = addUser(1, "N0AAA");
    linkUp();
    fromPeer("USER alice wam1 1 -1 0 testing the link");
    takeTo("N0AAA");
    EXPECT_EQ(run(ann, "/W\r"), (Texts{"\rWho is here:\r", "Id(0) Topic(Root) Owner(N0SRV) Users(2)\r",
                                       "   User(1:N0AAA) Name() Info()\r",
                                       "   User(alice@wam1) Info(testing the link)\r", "   --- Total Users (2)\r"}));
}

TEST_F(ChatNetwork, StationsGetInvitationsAndSeeAwayTexts)
{
    Station& ann = addUser(1, "N0AAA");
    linkUp();
    fromPeer("USER bob wam1 1 -1 0 @");
    fromPeer("INVI bob N0AAA 5");
    fromPeer("AWAY bob wam1 1796703913 gone fishing");
    EXPECT_EQ(takeTo("N0AAA").back(), "\r-- Invitation from bob@wam1 to Area(5)\r");
    EXPECT_EQ(run(ann, "/W\r").at(3), "   User(bob@wam1) Info() Away(gone fishing)\r");
    EXPECT_NE(statusJson(form).find("\"away\":\"gone fishing\""), std::string::npos);
    fromPeer("AWAY bob wam1 1796703914 ");
    EXPECT_EQ(run(ann, "/W\r").at(3), "   User(bob@wam1) Info()\r");
}

TEST_F(ChatNetwork, UserAndFollowFindRemoteUsersInAnyCase)
{
    Station& ann = addUser(1, "N0AAA");
    linkUp();
    fromPeer("USER Alice wam1 1 -1 3 at home");
    takeTo("N0AAA");
    EXPECT_EQ(run(ann, "/U ALICE@WAM1\r"), Texts{"\r-- User(wam1:Alice) Name() Info(at home) Area(3-Channel 3)\r"});
    EXPECT_EQ(run(ann, "/F alice\r").front(), "\r-- Followed User (Alice@wam1) into Area(3-Channel 3)\r");
    EXPECT_EQ(ann.areaId, 3);
}

TEST_F(ChatNetwork, PrivateLinesBetweenStationsAndRemoteUsers)
{
    Station& ann = addUser(1, "N0AAA");
    linkUp();
    fromPeer("USER alice wam1 1 -1 0 @");
    takeTo("N0AAA");
    peer->takeSent();
    command(ann, "/M Alice@wam1 psst\r");
    EXPECT_EQ(peer->takeSent(), hostCmd("UMSG n0aaa alice psst"));
    fromPeer("UMSG alice n0aaa back at you");
    EXPECT_EQ(takeTo("N0AAA"), Texts{"[0]<N0AAA@N0SRV> ((PRIVATE MESSAGE FROM alice@wam1))\rback at you\r"});
}

TEST_F(ChatNetwork, ALostLinkTakesEveryRemoteUserOnce)
{
    addUser(1, "N0AAA");
    linkUp(true);
    fromPeer("USER alice wam1 1 -1 0 @");
    fromPeer("USER bob wam1 1 -1 0 @");
    takeTo("N0AAA");
    peer->peerClose();
    EXPECT_EQ(takeTo("N0AAA"),
              (Texts{"[0]<alice@wam1> <alice@wam1 left Area>\r\r", "[0]<bob@wam1> <bob@wam1 left Area>\r\r"}));
    EXPECT_EQ(form.directory().findArea(0)->remoteCount, 0u);
    EXPECT_EQ(shell.connectionLog.back(), "link down: wam1: closed by the neighbour");
}

TEST_F(ChatNetwork, LinksAreListedByLiAndOnTheStatusPage)
{
    Station& ann = addUser(1, "N0AAA");
    clock.advance(1000);
    linkUp();
    fromPeer("USER alice wam1 1 -1 0 @");
    takeTo("N0AAA");
    EXPECT_EQ(run(ann, "/LI\r"), Texts{"\rNode(n0srv) Listen()\rLinks:\rLink(wam1) Address(127.0.0.1) Dir(in) State(up) "
                                       "Software(W-2.81) "
                                       "Since(1970-01-01T00:00:01Z) Rtt() Users(1)\r"});
    const std::string json = statusJson(form);
    EXPECT_NE(
        json.find("\"hostName\":\"n0srv\",\"listen\":\"\",\"links\":[{\"name\":\"wam1\",\"address\":\"127.0.0.1\","
                  "\"direction\":\"in\",\"state\":\"up\",\"lastError\":\"\",\"software\":"
                  "\"W-2.81\",\"since\":\"1970-01-01T00:00:01Z\",\"rtt\":null,\"rttSeconds\":null,\"users\":1,"
                  "\"waiting\":0}],\"remoteUsers\":[{\"name\":\"alice\",\"host\":\"wam1\",\"area\":0,\"note\":"
                  "\"\",\"link\":\"wam1\",\"away\":\"\"}]"),
        std::string::npos)
        << json;

    clock.advance(Network::PING_EVERY);
    clock.advance(1600);
    fromPeer("PONG 0");
    EXPECT_NE(statusJson(form).find("\"rtt\":1600,\"rttSeconds\":1.6,"), std::string::npos) << statusJson(form);
}

TEST_F(ChatNetwork, TheShellsListenerTakesHostLinks)
{
    FakeListenSocket* listener = nullptr;
    form.setListenFactory([&listener] {
        auto made = std::make_unique<FakeListenSocket>();
        listener = made.get();
        return made;
    });
    writeFile("Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\n[CONVERS]\r\nLISTEN=3600\r\n[LINKS]\r\nwam1=*\r\n");
    form.start();
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->address, "127.0.0.1");
    EXPECT_EQ(listener->port, 3600u);
    FakeSocket* socket = listener->arrive("127.0.0.1");
    socket->deliver(hostCmd("HOST wam1 W-2.81 dpu", "\n"));
    EXPECT_EQ(socket->takeSent(), hostCmd("HOST n0srv Palav0.1 p"));
}
