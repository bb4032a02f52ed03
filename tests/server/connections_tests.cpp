#include "ChatFixture.h"
#include "fakes/Frames.h"

namespace {

class ChatConnections : public ChatTest {
protected:
    void disconnect(uint8_t port, const std::string& call)
    {
        form.connections().handleDisconnect(*form.link(), port, call, "*** DISCONNECTED From Station " + call);
    }
    static std::string prompt(const std::string& call, int area = 0)
    {
        return "\r[" + std::to_string(area) + "]{" + call + " de N0SRV}:\r";
    }
    // The engine reports that nothing is left to send to the station.
    void allSent(uint8_t port, const std::string& call, const std::string& own = "N0SRV")
    {
        form.drain().handleConnFrames(*form.link(), port, own, call, 0);
    }
    // The refusal text, the question whether it has gone out, and the
    // disconnect once the engine says it has.
    void expectRefusal(int port, const std::string& call, const std::string& text,
                       const std::string& calledCall = "N0SRV")
    {
        std::vector<SentText> sent = sentTexts();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].kind, 'D');
        EXPECT_EQ(sent[0].port, port);
        EXPECT_EQ(sent[0].to, call);
        EXPECT_EQ(sent[0].data, text);
        EXPECT_EQ(sent[1].kind, 'Y');
        EXPECT_EQ(sent[1].port, port);
        EXPECT_EQ(sent[1].from, calledCall);
        EXPECT_EQ(sent[1].to, call);

        allSent(static_cast<uint8_t>(port), call, calledCall);
        sent = sentTexts();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].kind, 'd');
        EXPECT_EQ(sent[0].port, port);
        EXPECT_EQ(sent[0].from, calledCall);
        EXPECT_EQ(sent[0].to, call);
    }
};

TEST_F(ChatConnections, StationsAreBusyUntilTheRegistrationIsAcknowledged)
{
    form.connections().setRegistered(false);

    connect(1, "N0AAA", "N0SRV-2");

    expectRefusal(1, "N0AAA", "\r--- Server Busy, Try Later\r", "N0SRV-2");
    EXPECT_TRUE(form.directory().stations().empty());
}

TEST_F(ChatConnections, DisabledPortsRefuseAndPortsAbove100AreAdmitted)
{
    form.settings().portEnabled[2] = false;

    form.settings().portEnabled[100] = false;

    connect(2, "N0AAA");
    expectRefusal(2, "N0AAA", "\r--- Connections not Allowed on this Port\r");
    connect(100, "N0AAA");
    expectRefusal(100, "N0AAA", "\r--- Connections not Allowed on this Port\r");
    EXPECT_TRUE(form.directory().stations().empty());

    connect(101, "N0BBB");
    std::vector<SentText> sent = sentTexts();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].port, 101);
    EXPECT_NE(form.directory().findStation(101, "N0BBB"), nullptr);
}

TEST_F(ChatConnections, AStationThatConnectsAgainIsWelcomedAgainAndKeepsItsStay)
{
    writeFile("Palavoro.USR", "[USERS]\r\nN0AAA=Ann\r\n");
    form.directory().addArea(1, "One", true, "N0SRV");
    form.settings().timeout = 60000;
    for (const char* call : {"N0AAA", "N0BBB"}) {
        connect(1, call);
        line(1, call, "/J 1\r");
    }
    clock.advance(30000);
    line(1, "N0AAA", "half a li");
    sentTexts();

    // Its held text first, as it is; the others see no leave or join.
    connect(1, "N0AAA");
    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0BBB"), Texts{"[1]<N0AAA@N0SRV> half a li\r"});
    EXPECT_EQ(dataTo(sent, "N0AAA"),
              (Texts{prompt("N0AAA", 1), "Welcome to the N0SRV Chat Server\r", "\rHello Ann!\r", prompt("N0AAA", 1)}));

    // One that said goodbye stays after all (its disconnect is not sent), and its area hears it is back.
    line(1, "N0BBB", "/B\r");
    connect(1, "N0BBB");
    allSent(1, "N0BBB");
    EXPECT_EQ(takeTo("N0AAA"),
              (Texts{"[1]<N0BBB@N0SRV> <N0BBB left Area>\r\r", "[1]<N0BBB@N0SRV> <N0BBB joined Area>\r\r"}));

    // The time limit counts from the first connect; one that ran out starts a new stay.
    clock.advance(30000);
    EXPECT_EQ(takeTo("N0AAA"), Texts{"\r--- Inactivity Timeout, Logging out\r"});
    connect(1, "N0AAA");
    allSent(1, "N0AAA");
    EXPECT_EQ(sentTexts().size(), 3u); // the welcome, hello and prompt only: no disconnect, no join
    clock.advance(30000);
    EXPECT_EQ(takeTo("N0BBB"), Texts{"\r--- Inactivity Timeout, Logging out\r"});
    clock.advance(30000);
    EXPECT_EQ(takeTo("N0AAA"), Texts{"\r--- Inactivity Timeout, Logging out\r"});
    EXPECT_EQ(shell.connectionLog, (Texts{"connect N0AAA port 1", "connect N0BBB port 1", "reconnect N0AAA port 1",
                                          "reconnect N0BBB port 1", "reconnect N0AAA port 1"}));
}

TEST_F(ChatConnections, WelcomeHelloAndPromptComeBeforeTheJoinNotice)
{
    writeFile("Palavoro.USR", "[USERS]\r\nN0AAA=Ann\r\n[INFO]\r\nN0AAA=QTH Porto\r\n");
    connect(1, "N0BBB");
    sentTexts();

    connect(2, "N0AAA-3", "N0SRV-1");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].data, "Welcome to the N0SRV Chat Server\r");
    EXPECT_EQ(sent[1].data, "\rHello Ann!\r");
    EXPECT_EQ(sent[1].from, "N0SRV");
    EXPECT_EQ(sent[2].data, prompt("N0AAA-3"));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(sent[i].to, "N0AAA-3");
    EXPECT_EQ(sent[3].to, "N0BBB");
    EXPECT_EQ(sent[3].data, "[0]<N0AAA-3@N0SRV> <N0AAA-3 joined Area>\r\r");

    const Station* user = form.directory().findStation(2, "N0AAA-3");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->serverCall, "N0SRV-1");
    EXPECT_EQ(user->name, "Ann");
    EXPECT_EQ(user->info, "QTH Porto");
    EXPECT_EQ(user->state, ONLINE);
    EXPECT_EQ(user->areaId, 0);
    EXPECT_EQ(form.directory().findArea(0)->userCount, 2u);
}

TEST_F(ChatConnections, TheOperatorsWelcomeTextReplacesTheBuiltInOne)
{
    writeText("PALAVORO.INF", "Hi there\r\nBe nice\r\n");

    connect(1, "N0AAA");

    EXPECT_EQ(takeTo("N0AAA"), (Texts{"Hi there\r", "Be nice\r", prompt("N0AAA")}));
}

TEST_F(ChatConnections, OneStationUnderTwoSsidsIsTwoUsersSharingItsName)
{
    writeFile("Palavoro.USR", "[USERS]\r\nN0CALL=Bob\r\n");

    connect(1, "N0CALL-1");
    connect(1, "n0call-7");

    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0CALL-1")[1], "\rHello Bob!\r");
    EXPECT_EQ(dataTo(sent, "n0call-7")[1], "\rHello Bob!\r");
    EXPECT_EQ(form.directory().stations().size(), 2u);

    line(1, "n0call-7", "hi\r");
    EXPECT_EQ(takeTo("N0CALL-1"), Texts{"[0]<n0call-7@N0SRV> hi\r\r"});
}

TEST_F(ChatConnections, OneCallOnTwoPortsIsTwoUsersThatDoNotHearEachOther)
{
    connect(1, "N0AAA");
    connect(2, "N0AAA");
    connect(3, "N0BBB");
    sentTexts();
    EXPECT_EQ(form.directory().stations().size(), 3u);

    line(2, "N0AAA", "hi\r");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].to, "N0BBB");
    EXPECT_EQ(sent[1].port, 2);
    EXPECT_EQ(sent[1].data, prompt("N0AAA"));
}

TEST_F(ChatConnections, ForcedNameIsRemindedOnEveryLineUntilSet)
{
    form.settings().forceName = true;
    connect(1, "N0AAA");
    connect(1, "N0BBB");
    sentTexts();
    EXPECT_EQ(form.directory().findStation(1, "N0AAA")->state, NONAME);

    line(1, "N0AAA", "hello\r");
    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0AAA"),
              (Texts{"\r--- This server requires to set your name, use the /NA name command\r", prompt("N0AAA")}));
    EXPECT_EQ(dataTo(sent, "N0BBB"), Texts{"[0]<N0AAA@N0SRV> hello\r\r"});

    line(1, "N0AAA", "/NA Ann\r");
    EXPECT_EQ(takeTo("N0AAA"), (Texts{"\r-- User Name for Call(N0AAA) Name(Ann)\r", prompt("N0AAA")}));
    line(1, "N0AAA", "again\r");
    EXPECT_EQ(takeTo("N0AAA"), Texts{prompt("N0AAA")});
}

TEST_F(ChatConnections, ForcedNameIsSatisfiedByANameOnFile)
{
    form.settings().forceName = true;
    writeFile("Palavoro.USR", "[USERS]\r\nN0AAA=Ann\r\n");

    connect(1, "N0AAA-1");

    EXPECT_EQ(form.directory().findStation(1, "N0AAA-1")->state, ONLINE);
}

TEST_F(ChatConnections, ThePromptNamesTheAreaAfterTheCommand)
{
    form.directory().addArea(5, "Five", true, "N0SRV");
    connect(1, "N0AAA");
    sentTexts();

    line(1, "N0AAA", "/J 5\r");

    EXPECT_EQ(takeTo("N0AAA"), (Texts{"\r-- Now at Area(Five) Topic(Five)\r", prompt("N0AAA", 5)}));
}

TEST_F(ChatConnections, ALineInSeveralFramesIsHandledOnceWhole)
{
    connect(1, "N0AAA");
    connect(1, "N0BBB");
    sentTexts();
    const std::string text = std::string(200, 'a') + " " + std::string(129, 'b');

    line(1, "N0AAA", text.substr(0, 256));
    EXPECT_TRUE(fake->sent.empty());
    line(1, "N0AAA", text.substr(256) + "\r");

    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0BBB"), Texts{"[0]<N0AAA@N0SRV> " + text + "\r\r"});
    EXPECT_EQ(dataTo(sent, "N0AAA"), Texts{prompt("N0AAA")});
}

TEST_F(ChatConnections, EachLineOfAFrameIsItsSendersOwnLine)
{
    connect(1, "N0AAA");
    connect(1, "N0BBB");
    sentTexts();

    line(1, "N0AAA", "hi\r[0]<N0BOB@N0SRV> I said so\r");
    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0BBB"),
              (Texts{"[0]<N0AAA@N0SRV> hi\r\r", "[0]<N0AAA@N0SRV> [0]<N0BOB@N0SRV> I said so\r\r"}));
    EXPECT_EQ(dataTo(sent, "N0AAA"), (Texts{prompt("N0AAA"), prompt("N0AAA")}));

    // CR LF ends one line, also across frames; a lone LF ends one too.
    line(1, "N0AAA", "one\r\ntwo\r");
    line(1, "N0AAA", "\nthree\nfour");
    EXPECT_EQ(dataTo(sentTexts(), "N0BBB"),
              (Texts{"[0]<N0AAA@N0SRV> one\r\n\r", "[0]<N0AAA@N0SRV> two\r\r", "[0]<N0AAA@N0SRV> three\n\r"}));
}

TEST_F(ChatConnections, ACrEndingOneFrameAndAnLfStartingTheNextAreOneLineEnd)
{
    connect(1, "N0AAA");
    connect(1, "N0BBB");
    sentTexts();

    // Only the LF right after a CR that ended the frame before belongs to it.
    for (const char* frame : {"one\r", "\ntwo", "\nthree\rfour", "\nfive\r"})
        line(1, "N0AAA", frame);

    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0BBB"),
              (Texts{"[0]<N0AAA@N0SRV> one\r\r", "[0]<N0AAA@N0SRV> two\n\r", "[0]<N0AAA@N0SRV> three\r\r",
                     "[0]<N0AAA@N0SRV> four\n\r", "[0]<N0AAA@N0SRV> five\r\r"}));
    EXPECT_EQ(dataTo(sent, "N0AAA").size(), 5u) << "one prompt per line";
}

TEST_F(ChatConnections, AHeldLineIsHandledAfterTwoSecondsWithoutTextOrAt1024Bytes)
{
    connect(1, "N0AAA");
    connect(1, "N0BBB");
    sentTexts();

    line(1, "N0AAA", "no line end");
    clock.advance(1999);
    line(1, "N0AAA", " yet");
    clock.advance(1999);
    EXPECT_TRUE(fake->sent.empty());
    clock.advance(1);
    EXPECT_EQ(takeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> no line end yet\r"});

    line(1, "N0AAA", "/W");
    clock.advance(2000);
    EXPECT_EQ(takeTo("N0AAA").front(), "\rWho is here:\r");

    line(1, "N0AAA", std::string(1000, 'x'));
    line(1, "N0AAA", std::string(30, 'y') + "\r");
    EXPECT_EQ(takeTo("N0BBB"), (Texts{"[0]<N0AAA@N0SRV> " + std::string(1000, 'x') + std::string(24, 'y') + "\r",
                                      "[0]<N0AAA@N0SRV> yyyyyy\r\r"}));
    clock.advance(10000);
    EXPECT_TRUE(fake->sent.empty());
}

TEST_F(ChatConnections, AnAreaAUserMadeGoesOnceItIsEmptyAndItsOwnerHasLeft)
{
    form.settings().createArea = true;
    connect(1, "N0AAA");
    connect(1, "N0BBB");
    line(1, "N0AAA", "/NE Mine\r");
    line(1, "N0BBB", "/J 128\r");

    disconnect(1, "N0AAA");
    ASSERT_NE(form.directory().findArea(128), nullptr) << "N0BBB is still in it";
    line(1, "N0BBB", "/J 0\r");
    EXPECT_EQ(form.directory().findArea(128), nullptr);
    EXPECT_TRUE(traced("{PALAVORO} Area(128) Removed, its owner gone and nobody in it"));

    line(1, "N0BBB", "/NE Empty\r");
    line(1, "N0BBB", "/J 0\r");
    ASSERT_NE(form.directory().findArea(128), nullptr) << "its owner is still here";
    disconnect(1, "N0BBB");
    EXPECT_EQ(form.directory().findArea(128), nullptr);
    EXPECT_EQ(form.directory().areas().size(), 1u);
    EXPECT_TRUE(form.directory().countsAreTrue());
}

TEST_F(ChatConnections, DisconnectsOfUnknownStationsAndEmptyFramesAreOnlyTraced)
{
    connect(1, "N0AAA");
    sentTexts();

    line(1, "N0AAA", "");
    disconnect(1, "N0ZZZ");

    EXPECT_TRUE(fake->sent.empty());
    EXPECT_TRUE(traced("{PALAVORO} User(1:N0ZZZ) no control block found"));
    EXPECT_TRUE(traced("{PALAVORO} Port(1) <N0AAA> PID(240) Message()"));
    EXPECT_EQ(form.directory().stations().size(), 1u);
}

TEST_F(ChatConnections, WithoutTimeLimitNoTimerIsMade)
{
    form.settings().timeout = 0;
    connect(1, "N0AAA");

    clock.advance(24u * 3600 * 1000);

    EXPECT_EQ(clock.liveTimers(), 0u);
    EXPECT_EQ(form.directory().findStation(1, "N0AAA")->state, ONLINE);
}

TEST_F(ChatConnections, TheTimeLimitCountsFromTheConnectionWhateverTheUserDoes)
{
    form.settings().timeout = 60000;
    connect(1, "N0AAA");
    clock.advance(30000);
    connect(1, "N0BBB");
    sentTexts();

    for (int i = 0; i < 2; ++i) {
        clock.advance(14999);
        line(1, "N0AAA", "still here\r");
    }
    EXPECT_EQ(clock.now(), 59998u);
    clock.advance(1);
    sentTexts();
    EXPECT_EQ(form.directory().findStation(1, "N0AAA")->state, ONLINE);

    clock.advance(1);

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].to, "N0AAA");
    EXPECT_EQ(sent[0].data, "\r--- Inactivity Timeout, Logging out\r");
    EXPECT_EQ(sent[1].kind, 'Y');
    allSent(1, "N0AAA");
    sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'd');
    EXPECT_EQ(sent[0].from, "N0SRV");
    EXPECT_EQ(sent[0].to, "N0AAA");
    Station* user = form.directory().findStation(1, "N0AAA");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->state, EXPIRED);
    EXPECT_EQ(user->timeLimit, nullptr);
    EXPECT_TRUE(traced("{PALAVORO} User (N0AAA) in <> DISC, send disconnect"));

    disconnect(1, "N0AAA");
    EXPECT_EQ(takeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> <N0AAA left Area>\r\r"});
    EXPECT_EQ(form.directory().findArea(0)->userCount, 1u);
    EXPECT_EQ(clock.liveTimers(), 1u);
}

TEST_F(ChatConnections, ByeThenDisconnectAnnouncesTheDepartureOnce)
{
    connect(1, "N0AAA");
    connect(1, "N0BBB");
    sentTexts();
    ASSERT_EQ(form.directory().findArea(0)->userCount, 2u);

    line(1, "N0AAA", "/B\r");
    disconnect(1, "N0AAA");

    EXPECT_EQ(takeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> <N0AAA left Area>\r\r"});
    EXPECT_EQ(form.directory().findArea(0)->userCount, 1u);
    EXPECT_EQ(form.directory().findStation(1, "N0AAA"), nullptr);
    EXPECT_TRUE(traced("{PALAVORO} User Removed"));
}

TEST_F(ChatConnections, TimeLimitAfterByeRemovesTheBlock)
{
    form.settings().timeout = 60000;
    connect(1, "N0AAA");
    line(1, "N0AAA", "/B\r");
    allSent(1, "N0AAA");
    sentTexts();

    clock.advance(60000);

    EXPECT_TRUE(fake->sent.empty());
    EXPECT_TRUE(form.directory().stations().empty());
    EXPECT_EQ(clock.liveTimers(), 0u);
    EXPECT_EQ(form.directory().findArea(0)->userCount, 0u) << "the block's user went with it";
    EXPECT_TRUE(traced("{PALAVORO} User (N0AAA) in DISC, clean up control block"));
}

TEST_F(ChatConnections, DisconnectReleasesTheTimer)
{
    form.settings().timeout = 60000;
    connect(1, "N0AAA");
    ASSERT_EQ(clock.runningTimers(), 1u);

    disconnect(1, "N0AAA");

    EXPECT_EQ(clock.liveTimers(), 0u);
    EXPECT_EQ(form.directory().findArea(0)->userCount, 0u);
}

TEST_F(ChatConnections, ARefusedRegistrationIsFatalAndAnswersNotAskedForChangeNothing)
{
    form.connections().setRegistered(false);
    form.connections().handleLinkUp(*form.link());

    form.connections().handleRegistration(*form.link(), 1, "N0SRV", std::string(1, '\0'));
    EXPECT_EQ(shell.fatal, Texts{"Unable to Register CALLSIGN with AGWPE"});
    EXPECT_FALSE(form.connections().isRegistered());
    EXPECT_TRUE(traced("{PALAVORO} Registered <N0SRV> rc(0)"));

    form.connections().handleRegistration(*form.link(), 1, "N0SRV", "\x01");
    EXPECT_EQ(shell.fatal.size(), 1u);
    EXPECT_FALSE(form.connections().isRegistered());
    EXPECT_TRUE(traced("{PALAVORO} Event <OnRegister> N0SRV (1)"));
}

TEST_F(ChatConnections, AStrayRegistrationAnswerAfterTheConfirmationIsIgnored)
{
    form.connections().setRegistered(false);
    form.connections().handleLinkUp(*form.link());
    form.connections().handleRegistration(*form.link(), 1, "N0SRV", "\x01");
    ASSERT_TRUE(form.connections().isRegistered());

    form.connections().handleRegistration(*form.link(), 1, "N0SRV", "");
    form.connections().handleRegistration(*form.link(), 1, "N0SRV", std::string(1, '\0'));
    EXPECT_TRUE(shell.fatal.empty());
    EXPECT_TRUE(form.connections().isRegistered());
    EXPECT_TRUE(traced("{PALAVORO} Registration answer Port(1) <N0SRV> rc(0) not asked for, ignored"));
}

TEST_F(ChatConnections, AnAnswerOnAnotherPortDoesNotDecideTheFirstPortsRegistration)
{
    form.connections().setRegistered(false);
    form.connections().handleLinkUp(*form.link());

    form.connections().handleRegistration(*form.link(), 2, "N0SRV", std::string(1, '\0'));
    form.connections().handleRegistration(*form.link(), 2, "N0SRV", "\x01");
    EXPECT_TRUE(shell.fatal.empty());
    EXPECT_FALSE(form.connections().isRegistered());
    EXPECT_TRUE(traced("{PALAVORO} Registration answer Port(2) <N0SRV> rc(1) not asked for, ignored"));

    form.connections().handleRegistration(*form.link(), 1, "N0SRV", "\x01");
    EXPECT_TRUE(form.connections().isRegistered());
}

TEST_F(ChatConnections, EachConnectionWaitsTheFullTimeForItsRegistration)
{
    form.connections().setRegistered(false);
    form.connections().handleLinkUp(*form.link());
    form.connections().handleVersion(*form.link(), 2005, 127);
    clock.advance(20000);
    form.connections().handleRegistration(*form.link(), 1, "N0SRV", "\x01");

    form.connections().handleLinkUp(*form.link()); // the next connection
    form.connections().handleVersion(*form.link(), 2005, 127);
    sentTexts();
    clock.advance(20000);
    EXPECT_EQ(sentTexts().size(), 2u) << "asked again twice";
    EXPECT_TRUE(fake->isOpen());
}

TEST_F(ChatConnections, AnUnansweredRegistrationIsAskedAgainThenBreaksTheLink)
{
    form.link()->onBroken = [this](AgwLink& link, const std::string& why) {
        form.connections().handleBroken(link, why);
    };
    form.connections().setRegistered(false);
    form.connections().handleLinkUp(*form.link());
    form.connections().handleVersion(*form.link(), 2005, 127);
    sentTexts();
    clock.advance(10000);
    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'X');
    clock.advance(10000);
    EXPECT_EQ(sentTexts().size(), 1u);

    clock.advance(10000);
    EXPECT_FALSE(fake->isOpen());
    clock.advance(1);
    EXPECT_EQ(shell.fatal, Texts{"Link with AGWPE Broken"}) << "with RECONNECT=NOT a broken link ends the program";
}

TEST_F(ChatConnections, ABrokenLinkIsFatalAndAClosedOneIsOnlyTraced)
{
    form.connections().handleLinkDown(*form.link());
    EXPECT_TRUE(shell.fatal.empty());
    EXPECT_TRUE(traced("{PALAVORO} Event <OnAGWDown> AGWPE(N0SRV)"));
    EXPECT_TRUE(traced("{PALAVORO} Main Node L2 Object Terminated"));

    form.connections().handleLinkError(*form.link());
    EXPECT_EQ(shell.fatal, Texts{"Link with AGWPE Broken"});
    EXPECT_TRUE(traced("{PALAVORO} Event <OnAGWError> AGWPE(N0SRV)"));
}

TEST_F(ChatConnections, LinkUpRegistersTheCallsign)
{
    form.connections().handleLinkUp(*form.link());

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'X');
    EXPECT_EQ(sent[0].from, "N0SRV");
    EXPECT_TRUE(traced("{PALAVORO} Event <OnAGWUp> AGWPE(N0SRV)"));
}

TEST_F(ChatConnections, PortListStartsTheBeaconWhichPostsThroughTheServer)
{
    AgwLinkProbe::setPortCount(*form.link(), 1);
    form.connections().handlePortList(*form.link());
    EXPECT_TRUE(traced("{PALAVORO} Event <OnPort> AGWPE(N0SRV)"));

    form.replaceBeacon(std::make_unique<Beacon>(clock));
    form.beacon()->setLink(form.link());
    form.beacon()->setCallSign("N0SRV");
    form.beacon()->setText("Chat here");
    form.beacon()->onBeacon = [this](AgwLink& link, uint8_t port, const std::string& call, const std::string& id,
                                     const std::string& via, const std::string& text) {
        form.connections().handleBeacon(link, port, call, id, via, text);
    };
    form.connections().handlePortList(*form.link());

    EXPECT_TRUE(form.beacon()->isActive());
    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'M');
    EXPECT_EQ(sent[0].data, "Chat here");
    EXPECT_TRUE(traced("{PALAVORO} Event <OnBeacon>"));
}

TEST_F(ChatConnections, FramesFromTheEngineReachTheHandlers)
{
    AgwLink& link = *form.link();
    link.onConnectEx = [this](AgwLink& l, uint8_t port, const std::string& from, const std::string& to,
                              const std::string& text) { form.connections().handleConnect(l, port, from, to, text); };
    link.onData = [this](AgwLink& l, uint8_t port, const std::string& from, const std::string& to, uint8_t pid,
                         const std::string& data) { form.connections().handleData(l, port, from, to, pid, data); };
    link.onDisconnect = [this](AgwLink& l, uint8_t port, const std::string& call, const std::string& text) {
        form.connections().handleDisconnect(l, port, call, text);
    };
    auto frame = [](char kind, const std::string& data) {
        return agwFrame(1, kind, kind == 'D' ? 0xF0 : 0, "N0AAA", "N0SRV", data);
    };

    fake->deliver(frame('C', "*** CONNECTED To Station N0AAA\r"));
    fake->deliver(frame('D', "/V\r"));

    EXPECT_EQ(takeTo("N0AAA"), (Texts{"Welcome to the N0SRV Chat Server\r", prompt("N0AAA"),
                                      "\r-- Palavoro Version 0.10 Build(05)\r", prompt("N0AAA")}));
    EXPECT_NE(form.directory().findStation(2, "N0AAA"), nullptr);

    fake->deliver(frame('d', "*** DISCONNECTED From Station N0AAA\r"));
    EXPECT_TRUE(form.directory().stations().empty());
}

TEST_F(ChatConnections, TheIdleLimitCountsFromTheStationsLastLine)
{
    form.settings().idle = 60000;
    connect(1, "N0AAA");
    for (int i = 0; i < 3; ++i) {
        clock.advance(59999);
        line(1, "N0AAA", "still here\r");
    }
    sentTexts();
    EXPECT_EQ(form.directory().findStation(1, "N0AAA")->state, ONLINE);

    clock.advance(60000);

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, "\r--- Inactivity Timeout, Logging out\r");
    EXPECT_EQ(sent[1].kind, 'Y');
    allSent(1, "N0AAA");
    sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'd');
    Station* user = form.directory().findStation(1, "N0AAA");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->state, EXPIRED);
    EXPECT_EQ(clock.liveTimers(), 0u);

    disconnect(1, "N0AAA");
    EXPECT_EQ(shell.connectionLog.back(), "left N0AAA port 1: idle limit");
}

TEST_F(ChatConnections, TheFirstLimitToRunOutEndsTheConnectionOnce)
{
    form.settings().timeout = 100000;
    form.settings().idle = 30000;
    connect(1, "N0AAA");
    sentTexts();

    clock.advance(30000);
    EXPECT_EQ(takeTo("N0AAA"), Texts{"\r--- Inactivity Timeout, Logging out\r"});
    clock.advance(24u * 3600 * 1000);
    EXPECT_TRUE(takeTo("N0AAA").empty());

    // The other way round: the time limit first, then no idle limit.
    form.settings().timeout = 20000;
    connect(1, "N0BBB");
    sentTexts();
    clock.advance(20000);
    EXPECT_EQ(takeTo("N0BBB"), Texts{"\r--- Inactivity Timeout, Logging out\r"});
    EXPECT_EQ(form.directory().findStation(1, "N0BBB")->endedBy, "time limit");
    clock.advance(24u * 3600 * 1000);
    EXPECT_TRUE(takeTo("N0BBB").empty());
}

TEST_F(ChatConnections, TheConnectionLogNamesEachConnectRefusalAndDeparture)
{
    form.connections().setRegistered(false);
    connect(1, "N0BSY");
    form.connections().handleLinkUp(*form.link());
    form.connections().handleRegistration(*form.link(), 1, "N0SRV", "\x01");
    form.settings().portEnabled[2] = false;
    connect(2, "N0PRT");
    connect(1, "N0AAA");
    connect(1, "N0AAA");
    connect(3, "N0BBB");
    connect(1, "N0CCC");
    form.settings().timeout = 1000;
    connect(1, "N0DDD");
    line(1, "N0AAA", "/B\r");
    allSent(1, "N0AAA");
    disconnect(1, "N0AAA");
    disconnect(3, "N0BBB");
    clock.advance(1000);
    disconnect(1, "N0DDD");
    form.connections().handleLinkDown(*form.link());

    EXPECT_EQ(shell.connectionLog, (Texts{
                                       "refused N0BSY port 1: busy, the engine has not taken the callsign yet",
                                       "link up: engine at 127.0.0.1:8000",
                                       "link ready: N0SRV registered",
                                       "refused N0PRT port 2: disabled port",
                                       "connect N0AAA port 1",
                                       "reconnect N0AAA port 1",
                                       "connect N0BBB port 3",
                                       "connect N0CCC port 1",
                                       "connect N0DDD port 1",
                                       "left N0AAA port 1: bye",
                                       "left N0BBB port 3: disconnected by the station",
                                       "left N0DDD port 1: time limit",
                                       "link down: the engine closed the connection",
                                   }));
    EXPECT_EQ(form.stats().connects, 4u);
    EXPECT_EQ(form.stats().refusals, 2u);
    EXPECT_EQ(form.stats().linkSince, 1000);
}

TEST_F(ChatConnections, StationsAreStampedAndTheirLinesCounted)
{
    form.stats().bytesSent = 0;
    writeFile("Palavoro.USR", "[USERS]\r\nN0AAA=Ann\r\n");
    clock.advance(5000);
    connect(1, "N0AAA");
    connect(1, "N0BBB");
    clock.advance(2000);
    line(1, "N0AAA", "hello\r");
    line(1, "N0AAA", "/W\r");
    line(1, "N0BBB", "hi\r");

    const Station* a = form.directory().findStation(1, "N0AAA");
    EXPECT_EQ(a->connectedAt, 5000);
    EXPECT_EQ(a->lastLineAt, 7000);
    EXPECT_EQ(a->linesSaid, 2u);
    EXPECT_EQ(form.directory().findStation(1, "N0BBB")->linesSaid, 1u);
    EXPECT_EQ(form.stats().linesRelayed, 2u);
    uint64_t bytes = 0;
    for (const SentText& text : sentTexts())
        bytes += text.kind == 'D' ? text.data.size() : 0;
    EXPECT_EQ(form.stats().bytesSent, bytes);
}

} // namespace

TEST_F(ChatConnections, TheSysopSendsEveryStationOfACallAwayAndTellsEveryoneANotice)
{
    connect(1, "N0ABC");
    connect(2, "N0ABC");
    connect(1, "N0DEF");
    sentTexts();
    EXPECT_EQ(form.control({"kick", "N9XYZ"}, 0).text, "N9XYZ is not connected\n");
    const ControlReply kicked = form.control({"kick", "n0abc", "see", "you"}, 1000);
    EXPECT_TRUE(kicked.done);
    EXPECT_EQ(kicked.text, "N0ABC: 2 stations disconnected\n");
    EXPECT_EQ(shell.connectionLog.back(), "ctl: kick n0abc see you (uid 1000)");
    EXPECT_EQ(takeTo("N0ABC"), (Texts{"\rsee you\r", "\rsee you\r"}));
    EXPECT_TRUE(form.drain().isPending(1, "N0ABC"));
    EXPECT_TRUE(form.drain().isPending(2, "N0ABC"));
    EXPECT_FALSE(form.drain().isPending(1, "N0DEF"));
    EXPECT_EQ(form.control({"notice", "back", "at", "nine"}, 0).text, "told 3 stations\n");
    EXPECT_EQ(takeTo("N0DEF"), Texts{"\r-- Sysop: back at nine\r"});
    EXPECT_FALSE(form.control({"link", "sideways", "wam1"}, 0).done);
}
