#include "ChatFixture.h"

namespace {

class ChatCommands : public ChatTest {
protected:
    ChatCommands() : me(AddUser(1, "N0AAA-1")) { form.AddArea(5, "Five", true, "N0SRV"); }

    // The replies to one command line from `me`.
    Texts Run(const std::string& line)
    {
        Command(me, line);
        return TakeTo(me.CallSign);
    }

    TUser& me;
};

const std::string HelpText = "\rCommand List\r"
                             "/B[ye]\r"
                             "/C[hannel] {#Channel|*} \r"
                             "/NE[w] {Topic of New Channel}\r"
                             "/E[xit]\r"
                             "/H[elp]\r"
                             "/J[oin] {#Channel}\r"
                             "/F[ollow] {CallSign}\r"
                             "/L[eave] {#Channel}\r"
                             "/LI[nks]\r"
                             "/M[sg] {#Channel|CallSign} Message\r"
                             "/NA[me] {Name}\r"
                             "/P[ersonal] {Personal Data|@}  \r"
                             "/T[opic]    {#Channel} {Text|@}\r"
                             "/D[estroy] {#Channel}\r"
                             "/U[ser] {CallSign}         \r"
                             "/W[ho]\r"
                             "/V[ersion]\r";

TEST_F(ChatCommands, DispatchByFirstLettersAndTheirConsequences)
{
    EXPECT_EQ(Run("/N\r"), Texts{"\r-- Command N Not Recognized\r"});
    EXPECT_EQ(Run("/nx\r"), Texts{"\r-- Command NX Not Recognized\r"});
    EXPECT_EQ(Run("/E\r"), Texts{"\r-- Command E Not Recognized\r"});
    EXPECT_EQ(Run("/exit\r"), Texts{"\r-- Command EXIT Not Recognized\r"});
    EXPECT_EQ(Run("/U N0BBB\r"), Texts{"\r-- Command U Not Recognized\r"});
    EXPECT_EQ(Run("/x"), Texts{"\r-- Command X Not Recognized\r"});
    EXPECT_EQ(Run("/LINKS\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(Run("/J5\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(Run("//J 5\r"), Texts{"\r-- Command /J Not Recognized\r"});
    EXPECT_EQ(Run("/?\r"), Texts{HelpText});
    EXPECT_EQ(Run("/VERSIONS\r"), Texts{"\r-- Palavoro Version 0.10 Build(05)\r"});
    EXPECT_TRUE(Traced("{PALAVORO} <ExecuteCommand> Token (nx) Args()"));
}

TEST_F(ChatCommands, SlashAloneIsAnInvalidCommand)
{
    EXPECT_EQ(Run("/"), Texts{"\r-- Invalid Command\r"});
    EXPECT_EQ(Run("/   \r"), Texts{"\r-- Invalid Command\r"});
}

TEST_F(ChatCommands, BlankAfterTheSlashIsAllowed)
{
    EXPECT_EQ(Run("/ J 5\r"), Texts{"\r-- Now at Area(Five) Topic(Five)\r"});
    EXPECT_EQ(me.AreaId, 5);
}

TEST_F(ChatCommands, OnlyTheLastCrIsRemoved)
{
    EXPECT_EQ(Run("/J 5\r/W\r"), Texts{"\r-- Area(5\r/W) Not Found\r"});
    EXPECT_TRUE(Traced("{PALAVORO} <ExecuteCommand> Token (J) Args(5\r/W)"));
    EXPECT_EQ(me.AreaId, 0);
}

TEST_F(ChatCommands, AreaNumberBeyondThirtyTwoBitsGetsNoReply)
{
    EXPECT_TRUE(Run("/J 99999999999\r").empty());
    EXPECT_TRUE(Traced("{PALAVORO} Exception on Module ExecuteCommand"));
    EXPECT_EQ(me.AreaId, 0);
}

TEST_F(ChatCommands, ThePromptStillFollowsAFailedCommand)
{
    form.OnData(*form.L2, 1, "N0AAA-1", "N0SRV", 0xF0, "/C 99999999999\r");

    EXPECT_EQ(TakeTo("N0AAA-1"), Texts{"\r[0]{N0AAA-1 de N0SRV}:\r"});
}

TEST_F(ChatCommands, HelpSendsTheBuiltInListOrTheOperatorsFile)
{
    EXPECT_EQ(Run("/H\r"), Texts{HelpText});
    EXPECT_TRUE(Traced("{PALAVORO} Help Command recognized"));

    WriteText("HELP.INF", "Ask the sysop\r\n/B to leave\r\n");
    EXPECT_EQ(Run("/help\r"), (Texts{"Ask the sysop\r", "/B to leave\r"}));
}

TEST_F(ChatCommands, UsersWithoutNameMaySayOnlyByeHelpVersionAndName)
{
    me.State = NONAME;

    EXPECT_EQ(Run("/J 5\r"), Texts{"\r--- This server requires to set your name, use the /NA name command\r"});
    EXPECT_EQ(Run("/x\r"), Texts{"\r--- This server requires to set your name, use the /NA name command\r"});
    EXPECT_EQ(me.AreaId, 0);
    EXPECT_FALSE(Traced("{PALAVORO} Join Command recognized"));
    EXPECT_EQ(Run("/V\r"), Texts{"\r-- Palavoro Version 0.10 Build(05)\r"});

    EXPECT_EQ(Run("/NAME Ann Smith\r"), Texts{"\r-- User Name for Call(N0AAA-1) Name(Ann Smith)\r"});
    EXPECT_EQ(me.State, ONLINE);
    EXPECT_EQ(Run("/J 5\r"), Texts{"\r-- Now at Area(Five) Topic(Five)\r"});
}

TEST_F(ChatCommands, NameCommandShowsSetsAndClears)
{
    me.Name = "Ann";
    EXPECT_EQ(Run("/NA\r"), Texts{"\r-- User Name for Call(N0AAA-1) Name(Ann)\r"});

    me.State = NONAME;
    EXPECT_EQ(Run("/NA x@y\r"), Texts{"\r-- User Name for Call(N0AAA-1) Name()\r"});
    EXPECT_EQ(me.Name, "");
    EXPECT_EQ(me.State, NONAME);
    EXPECT_TRUE(Traced("{PALAVORO} Name Command recognized"));
}

TEST_F(ChatCommands, NameAndPersonalDataOutliveTheConnection)
{
    WriteFile("Palavoro.USR", "");
    Command(me, "/NA Ann\r");
    Command(me, "/P Rig: 5 W\r");

    std::string name;
    std::string info;
    form.LoadUserInfo("n0aaa-9", name, info);
    EXPECT_EQ(name, "Ann");
    EXPECT_EQ(info, "Rig: 5 W");
}

TEST_F(ChatCommands, PersonalCommandShowsSetsAndClears)
{
    EXPECT_EQ(Run("/P QTH Porto \r"), Texts{"\r-- User Name for Call(N0AAA-1) Personal(QTH Porto )\r"});
    EXPECT_EQ(Run("/PERSONAL\r"), Texts{"\r-- User Name for Call(N0AAA-1) Personal(QTH Porto )\r"});
    EXPECT_EQ(Run("/P @\r"), Texts{"\r-- User Name for Call(N0AAA-1) Personal()\r"});
    EXPECT_EQ(me.Info, "");
    EXPECT_TRUE(Traced("{PALAVORO} Personal Command recognized"));
}

TEST_F(ChatCommands, ChannelShowsTheCurrentOrNamedAreaOrListsAll)
{
    EXPECT_EQ(Run("/C\r"), Texts{"\r-- Area(0) Info(Root)\r"});
    EXPECT_EQ(Run("/C 5\r"), Texts{"\r-- Area(5) Info(Five)\r"});
    EXPECT_EQ(Run("/C 6\r"), Texts{"\r-- Area(6) Not Found\r"});
    EXPECT_EQ(Run("/C five\r"), Texts{"\r-- Area(five) Not Found\r"});
    EXPECT_EQ(Run("/C *\r"), (Texts{"\rAreas Available:\r", "Id(0) Topic(Root) Owner(N0SRV) Users(1)\r",
                                    "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r"}));
}

TEST_F(ChatCommands, InfoSendsTheSubjectsFile)
{
    WriteText("PALAVORO.INF", "About this server\r\n");
    WriteText("RIG.INF", "Our rig\r\n");

    EXPECT_EQ(Run("/I\r"), Texts{"About this server\r"});
    EXPECT_EQ(Run("/INFO rig\r"), Texts{"Our rig\r"});
    EXPECT_EQ(Run("/I antenna\r"), Texts{"\r--- No information on the subject\r"});
    EXPECT_TRUE(Traced("{PALAVORO} <SendFile> Sending file(rig.INF) to (1:N0AAA-1)"));
}

TEST_F(ChatCommands, InfoNeverReadsOutsideTheTextDirectory)
{
    WriteText("PALAVORO.INF", "inside\r\n");
    WriteFile("SECRET.INF", "outside\r\n");

    for (const char* line : {"/I ../SECRET\r", "/I ..\\SECRET\r", "/I TEXT/../../SECRET\r", "/I ..\r", "/I a..b\r"})
        EXPECT_EQ(Run(line), Texts{"\r--- No information on the subject\r"}) << line;
    EXPECT_EQ(Run(std::string("/I PALAVORO\0x\r", 14)), Texts{"\r--- No information on the subject\r"});
}

TEST_F(ChatCommands, WhoListsAllAreasOrOne)
{
    Command(me, "/W\r");
    Texts all = TakeTo("N0AAA-1");
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[2], "   User(1:N0AAA-1) Name() Info()\r");

    EXPECT_EQ(Run("/W 5\r"),
              (Texts{"\rWho is here:\r", "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r", "   --- Total Users (0)\r"}));
    EXPECT_EQ(Run("/W 9\r"), Texts{"\r-- Area(9) Not Found\r"});
}

TEST_F(ChatCommands, TopicIsReadByAnyoneAndChangedOnlyByItsOwner)
{
    form.AddArea(150, "Mine", false, "N0AAA-1");

    EXPECT_EQ(Run("/T\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(Run("/T 5\r"), Texts{"\r-- Area(Five) Topic(Five)\r"});
    EXPECT_EQ(Run("/T 5 Changed\r"), Texts{"\r-- Area(Five) Not Owned by Call(N0AAA-1)\r"});
    EXPECT_EQ(Run("/T 150 Antennas and  masts\r"),
              Texts{"\r-- Area(Antennas and  masts) Topic(Antennas and  masts)\r"});
    EXPECT_EQ(Run("/T 150 @\r"), Texts{"\r-- Area() Topic()\r"});
    EXPECT_EQ(form.FindArea(150)->Topic, "");
    EXPECT_EQ(form.FindArea(5)->Topic, "Five");
}

TEST_F(ChatCommands, OwnershipIsTiedToTheExactCallWithSsid)
{
    form.CreateArea = true;
    Command(me, "/NE My area\r");
    TUser& sameStation = AddUser(1, "N0AAA-2");
    Sent();

    Command(sameStation, "/T 128 Taken over\r");
    Command(sameStation, "/D 128\r");

    EXPECT_EQ(TakeTo("N0AAA-2"), (Texts{"\r-- Area(My area) Not Owned by Call(N0AAA-2)\r",
                                        "\r-- Area(128) Not Owned by Call(N0AAA-2)\r"}));
    ASSERT_NE(form.FindArea(128), nullptr);
    EXPECT_EQ(form.FindArea(128)->Topic, "My area");
}

TEST_F(ChatCommands, JoinAndLeave)
{
    EXPECT_EQ(Run("/J\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(Run("/J x5\r"), Texts{"\r-- Area(x5) Not Found\r"});
    EXPECT_EQ(Run("/J 005\r"), Texts{"\r-- Now at Area(Five) Topic(Five)\r"});
    EXPECT_EQ(me.AreaId, 5);
    EXPECT_EQ(Run("/L 77\r"), Texts{"\r-- Area(77) Not Found\r"});
    EXPECT_EQ(me.AreaId, 5);
    EXPECT_EQ(Run("/L 0\r"), Texts{"\r-- Now at Area(Root) Topic(Root)\r"});
    EXPECT_EQ(me.AreaId, 0);
    EXPECT_TRUE(Traced("{PALAVORO} Leave Command recognized"));
}

TEST_F(ChatCommands, FollowJoinsAnotherUsersArea)
{
    AddUser(2, "N0BBB", 5);

    EXPECT_EQ(Run("/F\r"), Texts{"\r-- Inform Callsign-SSID to follow\r"});
    EXPECT_EQ(Run("/F n0ccc\r"), Texts{"\r-- Call(N0CCC) Not Found on Server\r"});
    EXPECT_EQ(Run("/F n0bbb\r"),
              (Texts{"\r-- Followed User (N0BBB) into Area(5-Five)\r", "\r-- Now at Area(Five) Topic(Five)\r"}));
    EXPECT_EQ(me.AreaId, 5);

    TUser& lost = AddUser(2, "N0LOST");
    lost.AreaId = 99;
    EXPECT_EQ(Run("/F N0LOST\r"), Texts{"\r-- Area to Follow Not Found\r"});
}

TEST_F(ChatCommands, NewAreaIsRefusedWhenNotAllowedOrWithoutTopic)
{
    EXPECT_EQ(Run("/NE\r"), Texts{"\r-- Server do not allow creation of areas\r"});
    form.CreateArea = true;
    EXPECT_EQ(Run("/NEW\r"), Texts{"\r-- New Area Requires a Description\r"});
    for (int32_t id = 128; id <= 255; ++id)
        form.AddArea(id, "x", false, "N0SRV");
    EXPECT_EQ(Run("/NE One too many\r"), Texts{"\r-- Unable to allocate a New Area\r"});
}

TEST_F(ChatCommands, NewAreaIsAnnouncedEverywhereAndTheCreatorMovesIn)
{
    form.CreateArea = true;
    AddUser(2, "N0BBB");
    AddUser(1, "N0CCC", 5);

    Command(me, "/NE Digital  modes\r");

    std::vector<SentText> sent = Sent();
    EXPECT_EQ(DataTo(sent, "N0AAA-1"), (Texts{"\r-- Created Area(Digital  modes) Topic(Digital  modes)\r",
                                              "\r-- Now at Area(Digital  modes) Topic(Digital  modes)\r"}));
    EXPECT_EQ(DataTo(sent, "N0BBB"), (Texts{"[0]<N0AAA-1@N0SRV> New Area(128) created by Call(N0AAA-1)\r\r",
                                            "[0]<N0AAA-1@N0SRV> <N0AAA-1 left this area, now in Area(128)>\r\r"}));
    EXPECT_EQ(DataTo(sent, "N0CCC"), Texts{"[5]<N0AAA-1@N0SRV> New Area(128) created by Call(N0AAA-1)\r\r"});
    const TArea* area = form.FindArea(128);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->Owner, "N0AAA-1");
    EXPECT_FALSE(area->Lock);
    EXPECT_EQ(area->UserCount, 1u);
    EXPECT_EQ(me.AreaId, 128);
}

TEST_F(ChatCommands, DestroyChecksTheOwnerBeforeTheLock)
{
    EXPECT_EQ(Run("/D 0\r"), Texts{"\r-- Area(0) Not Owned by Call(N0AAA-1)\r"});
    TUser& server = AddUser(1, "N0SRV");
    Command(server, "/D 5\r");
    EXPECT_EQ(TakeTo("N0SRV"), Texts{"\r-- Area(5) Can not be removed\r"});
    EXPECT_NE(form.FindArea(5), nullptr);
    EXPECT_EQ(Run("/D 6\r"), Texts{"\r-- Area(6) Not Found\r"});
}

TEST_F(ChatCommands, DestroyMovesTheUsersToRootAndRemovesTheArea)
{
    form.AddArea(140, "Old", false, "N0AAA-1");
    TUser& guest = AddUser(2, "N0BBB", 140);
    Command(me, "/J 140\r");
    Sent();

    Command(me, "/D 140\r");

    std::vector<SentText> sent = Sent();
    EXPECT_EQ(DataTo(sent, "N0AAA-1"),
              (Texts{"\r-- Area(140) Removed by Owner Now at Area(0-Old)\r", "\r-- Now at Area(Root) Topic(Root)\r",
                     "[0]<N0BBB@N0SRV> <N0BBB joined Area>\r\r", "\r-- Area(140) Topic(Old) Removed\r"}));
    EXPECT_EQ(DataTo(sent, "N0BBB"),
              (Texts{"[140]<N0AAA-1@N0SRV> <N0AAA-1 left this area, now in Area(0)>\r\r",
                     "\r-- Area(140) Removed by Owner Now at Area(0-Old)\r", "\r-- Now at Area(Root) Topic(Root)\r",
                     "[0]<N0AAA-1@N0SRV> -- Area(140-Old) Removed by Call(N0AAA-1)\r\r"}));
    EXPECT_EQ(form.FindArea(140), nullptr);
    EXPECT_EQ(me.AreaId, 0);
    EXPECT_EQ(guest.AreaId, 0);
    EXPECT_EQ(form.FindArea(0)->UserCount, 2u);
}

TEST_F(ChatCommands, PrivateMessageNamesTheTargetsAreaAndTheSender)
{
    AddUser(3, "N0BBB-2", 5);

    Command(me, "/M n0bbb-2 meet at  the club\r");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Port, 3);
    EXPECT_EQ(sent[0].To, "N0BBB-2");
    EXPECT_EQ(sent[0].Data, "[5]<N0BBB-2@N0SRV> ((PRIVATE MESSAGE FROM N0AAA-1))\rmeet at  the club\r");
    EXPECT_TRUE(Traced("{PALAVORO} Message Command recognized"));

    EXPECT_EQ(Run("/M\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(Run("/M N0ZZZ hi\r"), Texts{"\r-- Invalid Area or CallSign Informed\r"});
    EXPECT_EQ(Run("/M 7 hi\r"), Texts{"\r-- Area(7) Not Found\r"});
}

TEST_F(ChatCommands, MessageToAnAreaNeedNotBeTheSendersArea)
{
    AddUser(2, "N0BBB", 5);

    Command(me, "/M 5\r");
    Command(me, "/M 5 hello five\r");

    EXPECT_EQ(TakeTo("N0BBB"), (Texts{"[5]<N0AAA-1@N0SRV> \r", "[5]<N0AAA-1@N0SRV> hello five\r"}));
}

TEST_F(ChatCommands, ByeAnnouncesSaysGoodbyeAndAsksForTheDisconnect)
{
    AddUser(2, "N0BBB");

    Command(me, "/q\r");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].To, "N0BBB");
    EXPECT_EQ(sent[0].Data, "[0]<N0AAA-1@N0SRV> <N0AAA-1 left Area>\r\r");
    EXPECT_EQ(sent[1].To, "N0AAA-1");
    EXPECT_EQ(sent[1].Data, "\r--- GoodBye!\r");
    EXPECT_EQ(sent[2].Kind, 'Y');
    EXPECT_EQ(sent[2].Port, 1);
    EXPECT_EQ(sent[2].From, "N0SRV");
    EXPECT_EQ(sent[2].To, "N0AAA-1");

    form.OnConnFrames(*form.L2, 1, "N0SRV", "N0AAA-1", 0);
    sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Kind, 'd');
    EXPECT_EQ(sent[0].Port, 1);
    EXPECT_EQ(sent[0].From, "N0SRV");
    EXPECT_EQ(sent[0].To, "N0AAA-1");
    EXPECT_EQ(me.State, DISC);
    EXPECT_TRUE(Traced("{PALAVORO} BYE Command recognized"));
}

} // namespace
