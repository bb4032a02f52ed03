#include "ChatFixture.h"
#include "fakes/Frames.h"

namespace {

class ChatConnections : public ChatTest {
protected:
    void Disconnect(uint8_t port, const std::string& call)
    {
        form.OnDisconnect(*form.L2, port, call, "*** DISCONNECTED From Station " + call);
    }
    static std::string Prompt(const std::string& call, int area = 0)
    {
        return "\r[" + std::to_string(area) + "]{" + call + " de N0SRV}:\r";
    }
    // The engine reports that nothing is left to send to the station.
    void AllSent(uint8_t port, const std::string& call, const std::string& own = "N0SRV")
    {
        form.OnConnFrames(*form.L2, port, own, call, 0);
    }
    // The refusal text, the question whether it has gone out, and the
    // disconnect once the engine says it has.
    void ExpectRefusal(int port, const std::string& call, const std::string& text,
                       const std::string& calledCall = "N0SRV")
    {
        std::vector<SentText> sent = Sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].Kind, 'D');
        EXPECT_EQ(sent[0].Port, port);
        EXPECT_EQ(sent[0].To, call);
        EXPECT_EQ(sent[0].Data, text);
        EXPECT_EQ(sent[1].Kind, 'Y');
        EXPECT_EQ(sent[1].Port, port);
        EXPECT_EQ(sent[1].From, calledCall);
        EXPECT_EQ(sent[1].To, call);

        AllSent(static_cast<uint8_t>(port), call, calledCall);
        sent = Sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].Kind, 'd');
        EXPECT_EQ(sent[0].Port, port);
        EXPECT_EQ(sent[0].From, calledCall);
        EXPECT_EQ(sent[0].To, call);
    }
};

TEST_F(ChatConnections, StationsAreBusyUntilTheRegistrationIsAcknowledged)
{
    form.Registered = false;

    Connect(1, "N0AAA", "N0SRV-2");

    ExpectRefusal(1, "N0AAA", "\r--- Server Busy, Try Later\r", "N0SRV-2");
    EXPECT_TRUE(form.UserList.empty());
}

TEST_F(ChatConnections, DisabledPortsRefuseAndPortsAbove100AreAdmitted)
{
    form.PortEnabled[2] = false;

    Connect(2, "N0AAA");
    ExpectRefusal(2, "N0AAA", "\r--- Connections not Allowed on this Port\r");
    EXPECT_TRUE(form.UserList.empty());

    Connect(101, "N0BBB");
    std::vector<SentText> sent = Sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].Port, 101);
    EXPECT_NE(form.FindUser(101, "N0BBB"), nullptr);
}

TEST_F(ChatConnections, ASecondConnectWhileTheBlockExistsGetsErrorInf)
{
    WriteText("ERROR.INF", "Please try again\r\n");
    Connect(1, "N0AAA");
    Sent();

    Connect(1, "N0AAA");
    ExpectRefusal(1, "N0AAA", "Please try again\r");
    EXPECT_EQ(form.UserList.size(), 1u);

    Disconnect(1, "N0AAA");
    EXPECT_TRUE(form.UserList.empty());
    Connect(1, "N0AAA");
    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"Welcome to the N0SRV Chat Server\r", Prompt("N0AAA")}));
}

TEST_F(ChatConnections, WelcomeHelloAndPromptComeBeforeTheJoinNotice)
{
    WriteFile("Palavoro.USR", "[USERS]\r\nN0AAA=Ann\r\n[INFO]\r\nN0AAA=QTH Porto\r\n");
    Connect(1, "N0BBB");
    Sent();

    Connect(2, "N0AAA-3", "N0SRV-1");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].Data, "Welcome to the N0SRV Chat Server\r");
    EXPECT_EQ(sent[1].Data, "\rHello Ann!\r");
    EXPECT_EQ(sent[1].From, "N0SRV");
    EXPECT_EQ(sent[2].Data, Prompt("N0AAA-3"));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(sent[i].To, "N0AAA-3");
    EXPECT_EQ(sent[3].To, "N0BBB");
    EXPECT_EQ(sent[3].Data, "[0]<N0AAA-3@N0SRV> <N0AAA-3 joined Area>\r\r");

    const TUser* user = form.FindUser(2, "N0AAA-3");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->ServerCall, "N0SRV-1");
    EXPECT_EQ(user->Name, "Ann");
    EXPECT_EQ(user->Info, "QTH Porto");
    EXPECT_EQ(user->State, ONLINE);
    EXPECT_EQ(user->AreaId, 0);
    EXPECT_EQ(form.FindArea(0)->UserCount, 2u);
}

TEST_F(ChatConnections, TheOperatorsWelcomeTextReplacesTheBuiltInOne)
{
    WriteText("PALAVORO.INF", "Hi there\r\nBe nice\r\n");

    Connect(1, "N0AAA");

    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"Hi there\r", "Be nice\r", Prompt("N0AAA")}));
}

TEST_F(ChatConnections, OneStationUnderTwoSsidsIsTwoUsersSharingItsName)
{
    WriteFile("Palavoro.USR", "[USERS]\r\nN0CALL=Bob\r\n");

    Connect(1, "N0CALL-1");
    Connect(1, "n0call-7");

    std::vector<SentText> sent = Sent();
    EXPECT_EQ(DataTo(sent, "N0CALL-1")[1], "\rHello Bob!\r");
    EXPECT_EQ(DataTo(sent, "n0call-7")[1], "\rHello Bob!\r");
    EXPECT_EQ(form.UserList.size(), 2u);

    Line(1, "n0call-7", "hi\r");
    EXPECT_EQ(TakeTo("N0CALL-1"), Texts{"[0]<n0call-7@N0SRV> hi\r\r"});
}

TEST_F(ChatConnections, OneCallOnTwoPortsIsTwoUsersThatDoNotHearEachOther)
{
    Connect(1, "N0AAA");
    Connect(2, "N0AAA");
    Connect(3, "N0BBB");
    Sent();
    EXPECT_EQ(form.UserList.size(), 3u);

    Line(2, "N0AAA", "hi\r");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].To, "N0BBB");
    EXPECT_EQ(sent[1].Port, 2);
    EXPECT_EQ(sent[1].Data, Prompt("N0AAA"));
}

TEST_F(ChatConnections, ForcedNameIsRemindedOnEveryLineUntilSet)
{
    form.ForceName = true;
    Connect(1, "N0AAA");
    Connect(1, "N0BBB");
    Sent();
    EXPECT_EQ(form.FindUser(1, "N0AAA")->State, NONAME);

    Line(1, "N0AAA", "hello\r");
    std::vector<SentText> sent = Sent();
    EXPECT_EQ(DataTo(sent, "N0AAA"),
              (Texts{"\r--- This server requires to set your name, use the /NA name command\r", Prompt("N0AAA")}));
    EXPECT_EQ(DataTo(sent, "N0BBB"), Texts{"[0]<N0AAA@N0SRV> hello\r\r"});

    Line(1, "N0AAA", "/NA Ann\r");
    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"\r-- User Name for Call(N0AAA) Name(Ann)\r", Prompt("N0AAA")}));
    Line(1, "N0AAA", "again\r");
    EXPECT_EQ(TakeTo("N0AAA"), Texts{Prompt("N0AAA")});
}

TEST_F(ChatConnections, ForcedNameIsSatisfiedByANameOnFile)
{
    form.ForceName = true;
    WriteFile("Palavoro.USR", "[USERS]\r\nN0AAA=Ann\r\n");

    Connect(1, "N0AAA-1");

    EXPECT_EQ(form.FindUser(1, "N0AAA-1")->State, ONLINE);
}

TEST_F(ChatConnections, ThePromptNamesTheAreaAfterTheCommand)
{
    form.AddArea(5, "Five", true, "N0SRV");
    Connect(1, "N0AAA");
    Sent();

    Line(1, "N0AAA", "/J 5\r");

    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"\r-- Now at Area(Five) Topic(Five)\r", Prompt("N0AAA", 5)}));
}

TEST_F(ChatConnections, LinesFromUnknownStationsAndEmptyFramesAreOnlyTraced)
{
    Connect(1, "N0AAA");
    Sent();

    Line(1, "N0ZZZ", "hello\r");
    Line(2, "N0AAA", "hello\r");
    Line(1, "N0AAA", "");
    Disconnect(1, "N0ZZZ");

    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_TRUE(Traced("{PALAVORO} User(1:N0ZZZ) no control block found"));
    EXPECT_TRUE(Traced("{PALAVORO} User(2:N0AAA) no control block found"));
    EXPECT_TRUE(Traced("{PALAVORO} Port(1) <N0AAA> PID(240) Message()"));
    EXPECT_EQ(form.UserList.size(), 1u);
}

TEST_F(ChatConnections, WithoutTimeLimitNoTimerIsMade)
{
    form.Timeout = 0;
    Connect(1, "N0AAA");

    clock.Advance(24u * 3600 * 1000);

    EXPECT_EQ(clock.LiveTimers(), 0u);
    EXPECT_EQ(form.FindUser(1, "N0AAA")->State, ONLINE);
}

TEST_F(ChatConnections, TheTimeLimitCountsFromTheConnectionWhateverTheUserDoes)
{
    form.Timeout = 60000;
    Connect(1, "N0AAA");
    clock.Advance(30000);
    Connect(1, "N0BBB");
    Sent();

    for (int i = 0; i < 2; ++i) {
        clock.Advance(14999);
        Line(1, "N0AAA", "still here\r");
    }
    EXPECT_EQ(clock.Now(), 59998u);
    clock.Advance(1);
    Sent();
    EXPECT_EQ(form.FindUser(1, "N0AAA")->State, ONLINE);

    clock.Advance(1);

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].To, "N0AAA");
    EXPECT_EQ(sent[0].Data, "\r--- Inactivity Timeout, Logging out\r");
    EXPECT_EQ(sent[1].Kind, 'Y');
    AllSent(1, "N0AAA");
    sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Kind, 'd');
    EXPECT_EQ(sent[0].From, "N0SRV");
    EXPECT_EQ(sent[0].To, "N0AAA");
    TUser* user = form.FindUser(1, "N0AAA");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->State, EXPIRED);
    EXPECT_EQ(user->IdleTimer, nullptr);
    EXPECT_TRUE(Traced("{PALAVORO} User (N0AAA) in <> DISC, send disconnect"));

    Disconnect(1, "N0AAA");
    EXPECT_EQ(TakeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> <N0AAA left Area>\r\r"});
    EXPECT_EQ(form.FindArea(0)->UserCount, 1u);
    EXPECT_EQ(clock.LiveTimers(), 1u);
}

TEST_F(ChatConnections, ByeThenDisconnectAnnouncesTheDepartureOnce)
{
    Connect(1, "N0AAA");
    Connect(1, "N0BBB");
    Sent();
    ASSERT_EQ(form.FindArea(0)->UserCount, 2u);

    Line(1, "N0AAA", "/B\r");
    Disconnect(1, "N0AAA");

    EXPECT_EQ(TakeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> <N0AAA left Area>\r\r"});
    EXPECT_EQ(form.FindArea(0)->UserCount, 1u);
    EXPECT_EQ(form.FindUser(1, "N0AAA"), nullptr);
    EXPECT_TRUE(Traced("{PALAVORO} User Removed"));
}

TEST_F(ChatConnections, TimeLimitAfterByeRemovesTheBlock)
{
    form.Timeout = 60000;
    Connect(1, "N0AAA");
    Line(1, "N0AAA", "/B\r");
    AllSent(1, "N0AAA");
    Sent();

    clock.Advance(60000);

    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_TRUE(form.UserList.empty());
    EXPECT_EQ(clock.LiveTimers(), 0u);
    EXPECT_EQ(form.FindArea(0)->UserCount, 1u);
    EXPECT_TRUE(Traced("{PALAVORO} User (N0AAA) in DISC, clean up control block"));
}

TEST_F(ChatConnections, DisconnectReleasesTheTimer)
{
    form.Timeout = 60000;
    Connect(1, "N0AAA");
    ASSERT_EQ(clock.RunningTimers(), 1u);

    Disconnect(1, "N0AAA");

    EXPECT_EQ(clock.LiveTimers(), 0u);
    EXPECT_EQ(form.FindArea(0)->UserCount, 0u);
}

TEST_F(ChatConnections, ARefusedRegistrationIsFatal)
{
    form.Registered = false;

    form.OnRegister(*form.L2, "N0SRV", std::string(1, '\0'));
    EXPECT_EQ(shell.Fatal, Texts{"Unable to Register CALLSIGN with AGWPE"});
    EXPECT_FALSE(form.Registered);
    EXPECT_TRUE(Traced("{PALAVORO} Registered <N0SRV> rc(0)"));

    form.OnRegister(*form.L2, "N0SRV", "");
    EXPECT_EQ(shell.Fatal.size(), 2u);
    EXPECT_FALSE(form.Registered);

    form.OnRegister(*form.L2, "N0SRV", "\x01");
    EXPECT_EQ(shell.Fatal.size(), 2u);
    EXPECT_TRUE(form.Registered);
    EXPECT_TRUE(Traced("{PALAVORO} Event <OnRegister> N0SRV (1)"));
}

TEST_F(ChatConnections, ABrokenLinkIsFatalAndAClosedOneIsOnlyTraced)
{
    form.OnAGWDown(*form.L2);
    EXPECT_TRUE(shell.Fatal.empty());
    EXPECT_TRUE(Traced("{PALAVORO} Event <OnAGWDown> AGWPE(N0SRV)"));
    EXPECT_TRUE(Traced("{PALAVORO} Main Node L2 Object Terminated"));

    form.OnAGWError(*form.L2);
    EXPECT_EQ(shell.Fatal, Texts{"Link with AGWPE Broken"});
    EXPECT_TRUE(Traced("{PALAVORO} Event <OnAGWError> AGWPE(N0SRV)"));
}

TEST_F(ChatConnections, LinkUpRegistersTheCallsign)
{
    form.OnAGWUp(*form.L2);

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Kind, 'X');
    EXPECT_EQ(sent[0].From, "N0SRV");
    EXPECT_TRUE(Traced("{PALAVORO} Event <OnAGWUp> AGWPE(N0SRV)"));
}

TEST_F(ChatConnections, PortListStartsTheBeaconWhichPostsThroughTheServer)
{
    form.OnPort(*form.L2);
    EXPECT_TRUE(Traced("{PALAVORO} Event <OnPort> AGWPE(N0SRV)"));

    form.Beacon = std::make_unique<TL2Beacon>(clock);
    form.Beacon->AGWL2 = form.L2.get();
    form.Beacon->CallSign = "N0SRV";
    form.Beacon->Text = "Chat here";
    form.Beacon->OnBeacon = [this](TL2& link, uint8_t port, const std::string& call, const std::string& id,
                                   const std::string& via,
                                   const std::string& text) { form.OnBeacon(link, port, call, id, via, text); };
    form.L2->PortCount = 1;

    form.OnPort(*form.L2);

    EXPECT_TRUE(form.Beacon->Active);
    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Kind, 'M');
    EXPECT_EQ(sent[0].Data, "Chat here");
    EXPECT_TRUE(Traced("{PALAVORO} Event <OnBeacon>"));
}

TEST_F(ChatConnections, FramesFromTheEngineReachTheHandlers)
{
    TL2& link = *form.L2;
    link.FOnConnectEx = [this](TL2& l, uint8_t port, const std::string& from, const std::string& to,
                               const std::string& text) { form.OnConnect(l, port, from, to, text); };
    link.FOnData = [this](TL2& l, uint8_t port, const std::string& from, const std::string& to, uint8_t pid,
                          const std::string& data) { form.OnData(l, port, from, to, pid, data); };
    link.FOnDisconnect = [this](TL2& l, uint8_t port, const std::string& call, const std::string& text) {
        form.OnDisconnect(l, port, call, text);
    };
    auto frame = [](char kind, const std::string& data) {
        return Frame(1, kind, kind == 'D' ? 0xF0 : 0, "N0AAA", "N0SRV", data);
    };

    fake->Deliver(frame('C', "*** CONNECTED To Station N0AAA\r"));
    fake->Deliver(frame('D', "/V\r"));

    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"Welcome to the N0SRV Chat Server\r", Prompt("N0AAA"),
                                      "\r-- Palavoro Version 0.10 Build(05)\r", Prompt("N0AAA")}));
    EXPECT_NE(form.FindUser(2, "N0AAA"), nullptr);

    fake->Deliver(frame('d', "*** DISCONNECTED From Station N0AAA\r"));
    EXPECT_TRUE(form.UserList.empty());
}

} // namespace
