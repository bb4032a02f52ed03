#include "ChatFixture.h"
#include "fakes/FileSizeLimit.h"

namespace {

class ChatCommands : public ChatTest {
protected:
    ChatCommands() : me(addUser(1, "N0AAA-1")) { form.directory().addArea(5, "Five", true, "N0SRV"); }

    // The replies to one command line from `me`.
    Texts run(const std::string& line)
    {
        command(me, line);
        return takeTo(me.callSign);
    }

    Station& me;
};

const std::string helpText = "\rCommand List\r"
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
    EXPECT_EQ(run("/N\r"), Texts{"\r-- Command N Not Recognized\r"});
    EXPECT_EQ(run("/nx\r"), Texts{"\r-- Command NX Not Recognized\r"});
    EXPECT_EQ(run("/Y\r"), Texts{"\r-- Command Y Not Recognized\r"});
    EXPECT_EQ(run("/x"), Texts{"\r-- Command X Not Recognized\r"});
    // Every word from LI on lists the links; /L, /LE and /LEAVE stay leave.
    EXPECT_EQ(run("/LINKS\r"), Texts{"\r-- No Links Configured\r"});
    EXPECT_EQ(run("/li\r"), Texts{"\r-- No Links Configured\r"});
    EXPECT_EQ(run("/LEAVE\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(run("/L\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(run("/J5\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(run("//J 5\r"), Texts{"\r-- Command /J Not Recognized\r"});
    EXPECT_EQ(run("/?\r"), Texts{helpText});
    EXPECT_EQ(run("/VERSIONS\r"), Texts{"\r-- Palavoro Version 0.10 Build(05)\r"});
    EXPECT_TRUE(traced("{PALAVORO} <ExecuteCommand> Token (nx) Args()"));
}

TEST_F(ChatCommands, SlashAloneIsAnInvalidCommand)
{
    EXPECT_EQ(run("/"), Texts{"\r-- Invalid Command\r"});
    EXPECT_EQ(run("/   \r"), Texts{"\r-- Invalid Command\r"});
}

TEST_F(ChatCommands, BlankAfterTheSlashIsAllowed)
{
    EXPECT_EQ(run("/ J 5\r"), Texts{"\r-- Now at Area(Five) Topic(Five)\r"});
    EXPECT_EQ(me.areaId, 5);
}

TEST_F(ChatCommands, OnlyTheLastCrIsRemoved)
{
    EXPECT_EQ(run("/J 5\r/W\r"), Texts{"\r-- Area(5\r/W) Not Found\r"});
    EXPECT_TRUE(traced("{PALAVORO} <ExecuteCommand> Token (J) Args(5\r/W)"));
    EXPECT_EQ(me.areaId, 0);
}

TEST_F(ChatCommands, AnAreaNumberBeyondThirtyTwoBitsIsNotFound)
{
    EXPECT_EQ(run("/J 2147483648\r"), Texts{"\r-- Area(2147483648) Not Found\r"});
    EXPECT_FALSE(traced("{PALAVORO} Exception on Module ExecuteCommand"));
    EXPECT_EQ(me.areaId, 0);
}

TEST_F(ChatCommands, ThePromptFollowsAFailedCommandsReply)
{
    form.connections().handleData(*form.link(), 1, "N0AAA-1", "N0SRV", 0xF0, "/C 99999999999\r");

    EXPECT_EQ(takeTo("N0AAA-1"), (Texts{"\r-- Area(99999999999) Not Found\r", "\r[0]{N0AAA-1 de N0SRV}:\r"}));
}

TEST_F(ChatCommands, HelpSendsTheBuiltInListOrTheOperatorsFile)
{
    EXPECT_EQ(run("/H\r"), Texts{helpText});
    EXPECT_TRUE(traced("{PALAVORO} Help Command recognized"));

    writeText("HELP.INF", "Ask the sysop\r\n/B to leave\r\n");
    EXPECT_EQ(run("/help\r"), (Texts{"Ask the sysop\r", "/B to leave\r"}));
}

TEST_F(ChatCommands, UsersWithoutNameMaySayOnlyByeHelpVersionAndName)
{
    me.state = NONAME;

    EXPECT_EQ(run("/J 5\r"), Texts{"\r--- This server requires to set your name, use the /NA name command\r"});
    EXPECT_EQ(run("/x\r"), Texts{"\r--- This server requires to set your name, use the /NA name command\r"});
    EXPECT_EQ(me.areaId, 0);
    EXPECT_FALSE(traced("{PALAVORO} Join Command recognized"));
    EXPECT_EQ(run("/V\r"), Texts{"\r-- Palavoro Version 0.10 Build(05)\r"});

    EXPECT_EQ(run("/NAME Ann Smith\r"), Texts{"\r-- User Name for Call(N0AAA-1) Name(Ann Smith)\r"});
    EXPECT_EQ(me.state, ONLINE);
    EXPECT_EQ(run("/J 5\r"), Texts{"\r-- Now at Area(Five) Topic(Five)\r"});
}

TEST_F(ChatCommands, NameCommandShowsSetsAndClears)
{
    me.name = "Ann";
    EXPECT_EQ(run("/NA\r"), Texts{"\r-- User Name for Call(N0AAA-1) Name(Ann)\r"});

    me.state = NONAME;
    EXPECT_EQ(run("/NA x@y\r"), Texts{"\r-- User Name for Call(N0AAA-1) Name()\r"});
    EXPECT_EQ(me.name, "");
    EXPECT_EQ(me.state, NONAME);
    EXPECT_TRUE(traced("{PALAVORO} Name Command recognized"));
}

TEST_F(ChatCommands, NameAndPersonalDataOutliveTheConnection)
{
    writeFile("Palavoro.USR", "");
    command(me, "/NA Ann\r");
    command(me, "/P Rig: 5 W\r");

    std::string name;
    std::string info;
    form.userFile().load("n0aaa-9", name, info);
    EXPECT_EQ(name, "Ann");
    EXPECT_EQ(info, "Rig: 5 W");
}

TEST_F(ChatCommands, AChangeTheFileCannotKeepIsSaidToHoldForThisConnectionOnly)
{
    std::string users = "[USERS]\r\n";
    for (int i = 0; i < 1000; ++i)
        users += "N" + std::to_string(i) + "ABC=Someone\r\n";
    writeFile("Palavoro.USR", users);
    const std::string notSaved = "\r-- Unable to save, kept for this connection only\r";
    Station& gone = addUser(2, "N0BBB");
    {
        FileSizeLimit full(users.size());
        EXPECT_EQ(run("/NA Ann\r"), Texts{"\r-- User Name for Call(N0AAA-1) Name(Ann)\r"});
        EXPECT_EQ(run("/P QTH Porto\r"), Texts{"\r-- User Name for Call(N0AAA-1) Personal(QTH Porto)\r"});
        command(gone, "/NA Bob\r");
        form.directory().removeStation(&gone);
        sentTexts();
        clock.advance(UserFile::WRITE_DELAY);
    }
    // Told once for the write that failed; the station that left is only traced.
    EXPECT_EQ(dataTo(sentTexts(), "N0AAA-1"), Texts{notSaved});
    EXPECT_EQ(me.name, "Ann");
    EXPECT_EQ(me.info, "QTH Porto");
    EXPECT_EQ(readFile(dir_ + "/Palavoro.USR"), users);
    const std::string why = "): cannot write " + dir_ + "/Palavoro.USR.new: File too large";
    EXPECT_TRUE(traced("{PALAVORO} User file not saved for Call(N0AAA-1" + why));
    EXPECT_TRUE(traced("{PALAVORO} User file not saved for Call(N0BBB" + why));

    EXPECT_EQ(run("/NA Ann\r"), Texts{"\r-- User Name for Call(N0AAA-1) Name(Ann)\r"});
    clock.advance(UserFile::WRITE_DELAY);
    EXPECT_TRUE(takeTo(me.callSign).empty());
}

TEST_F(ChatCommands, NamesAndPersonalDataStayOneLine)
{
    addUser(1, "N0BBB");
    command(me, std::string("/NA Ann\r   User(1:N0BBB) Name(Bob\0\r", 34));
    command(me, "/P Porto\nx\r\n");
    EXPECT_EQ(me.name, "Ann    User(1:N0BBB) Name(Bob ");
    EXPECT_EQ(me.info, "Porto x");
}

TEST_F(ChatCommands, PersonalCommandShowsSetsAndClears)
{
    EXPECT_EQ(run("/P QTH Porto \r"), Texts{"\r-- User Name for Call(N0AAA-1) Personal(QTH Porto )\r"});
    EXPECT_EQ(run("/PERSONAL\r"), Texts{"\r-- User Name for Call(N0AAA-1) Personal(QTH Porto )\r"});
    EXPECT_EQ(run("/P @\r"), Texts{"\r-- User Name for Call(N0AAA-1) Personal()\r"});
    EXPECT_EQ(me.info, "");
    EXPECT_TRUE(traced("{PALAVORO} Personal Command recognized"));
}

TEST_F(ChatCommands, ChannelShowsTheCurrentOrNamedAreaOrListsAll)
{
    EXPECT_EQ(run("/C\r"), Texts{"\r-- Area(0) Info(Root)\r"});
    EXPECT_EQ(run("/C 5\r"), Texts{"\r-- Area(5) Info(Five)\r"});
    EXPECT_EQ(run("/C 6\r"), Texts{"\r-- Area(6) Not Found\r"});
    EXPECT_EQ(run("/C five\r"), Texts{"\r-- Area(five) Not Found\r"});
    EXPECT_EQ(run("/C *\r"), (Texts{"\rAreas Available:\r", "Id(0) Topic(Root) Owner(N0SRV) Users(1)\r",
                                    "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r"}));
}

TEST_F(ChatCommands, InfoSendsTheSubjectsFile)
{
    writeText("PALAVORO.INF", "About this server\r\n");
    writeText("RIG.INF", "Our rig\r\n");

    EXPECT_EQ(run("/I\r"), Texts{"About this server\r"});
    EXPECT_EQ(run("/INFO rig\r"), Texts{"Our rig\r"});
    EXPECT_EQ(run("/I antenna\r"), Texts{"\r--- No information on the subject\r"});
    EXPECT_TRUE(traced("{PALAVORO} <SendFile> Sending file(rig.INF) to (1:N0AAA-1)"));
}

TEST_F(ChatCommands, InfoNeverReadsOutsideTheTextDirectory)
{
    writeText("PALAVORO.INF", "inside\r\n");
    writeFile("SECRET.INF", "outside\r\n");

    for (const char* line : {"/I ../SECRET\r", "/I ..\\SECRET\r", "/I TEXT/../../SECRET\r", "/I ..\r", "/I a..b\r"})
        EXPECT_EQ(run(line), Texts{"\r--- No information on the subject\r"}) << line;
    EXPECT_EQ(run(std::string("/I PALAVORO\0x\r", 14)), Texts{"\r--- No information on the subject\r"});
}

TEST_F(ChatCommands, WhoListsAllAreasOrOne)
{
    command(me, "/W\r");
    Texts all = takeTo("N0AAA-1");
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[2], "   User(1:N0AAA-1) Name() Info()\r");

    EXPECT_EQ(run("/W 5\r"),
              (Texts{"\rWho is here:\r", "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r", "   --- Total Users (0)\r"}));
    EXPECT_EQ(run("/W 9\r"), Texts{"\r-- Area(9) Not Found\r"});
}

TEST_F(ChatCommands, TopicIsReadByAnyoneAndChangedOnlyByItsOwner)
{
    form.directory().addArea(150, "Mine", false, "N0AAA-1");

    EXPECT_EQ(run("/T\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(run("/T 5\r"), Texts{"\r-- Area(Five) Topic(Five)\r"});
    EXPECT_EQ(run("/T 5 Changed\r"), Texts{"\r-- Area(Five) Not Owned by Call(N0AAA-1)\r"});
    EXPECT_EQ(run("/T 150 Antennas and  masts\r"),
              Texts{"\r-- Area(Antennas and  masts) Topic(Antennas and  masts)\r"});
    EXPECT_EQ(run("/T 150 @\r"), Texts{"\r-- Area() Topic()\r"});
    EXPECT_EQ(form.directory().findArea(150)->topic, "");
    EXPECT_EQ(form.directory().findArea(5)->topic, "Five");
}

TEST_F(ChatCommands, OwnershipIsTiedToTheExactCallWithSsid)
{
    form.settings().createArea = true;
    command(me, "/NE My area\r");
    Station& sameStation = addUser(1, "N0AAA-2");
    sentTexts();

    command(sameStation, "/T 128 Taken over\r");
    command(sameStation, "/D 128\r");

    EXPECT_EQ(takeTo("N0AAA-2"), (Texts{"\r-- Area(My area) Not Owned by Call(N0AAA-2)\r",
                                        "\r-- Area(128) Not Owned by Call(N0AAA-2)\r"}));
    ASSERT_NE(form.directory().findArea(128), nullptr);
    EXPECT_EQ(form.directory().findArea(128)->topic, "My area");
}

TEST_F(ChatCommands, JoinAndLeave)
{
    EXPECT_EQ(run("/J\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(run("/J x5\r"), Texts{"\r-- Area(x5) Not Found\r"});
    EXPECT_EQ(run("/J 005\r"), Texts{"\r-- Now at Area(Five) Topic(Five)\r"});
    EXPECT_EQ(me.areaId, 5);
    EXPECT_EQ(run("/L 77\r"), Texts{"\r-- Area(77) Not Found\r"});
    EXPECT_EQ(me.areaId, 5);
    EXPECT_EQ(run("/L 0\r"), Texts{"\r-- Now at Area(Root) Topic(Root)\r"});
    EXPECT_EQ(me.areaId, 0);
    EXPECT_TRUE(traced("{PALAVORO} Leave Command recognized"));
}

TEST_F(ChatCommands, FollowJoinsAnotherUsersArea)
{
    addUser(2, "N0BBB", 5);

    EXPECT_EQ(run("/F\r"), Texts{"\r-- Inform Callsign-SSID to follow\r"});
    EXPECT_EQ(run("/F n0ccc\r"), Texts{"\r-- Call(N0CCC) Not Found on Server\r"});
    EXPECT_EQ(run("/F n0bbb\r"),
              (Texts{"\r-- Followed User (N0BBB) into Area(5-Five)\r", "\r-- Now at Area(Five) Topic(Five)\r"}));
    EXPECT_EQ(me.areaId, 5);

    Station& lost = addUser(2, "N0LOST");
    lost.areaId = 99;
    EXPECT_EQ(run("/F N0LOST\r"), Texts{"\r-- Area to Follow Not Found\r"});
}

TEST_F(ChatCommands, NewAreaIsRefusedWhenNotAllowedOrWithoutTopic)
{
    EXPECT_EQ(run("/NE\r"), Texts{"\r-- Server do not allow creation of areas\r"});
    form.settings().createArea = true;
    EXPECT_EQ(run("/NEW\r"), Texts{"\r-- New Area Requires a Description\r"});
    for (int32_t id = 128; id <= 255; ++id)
        form.directory().addArea(id, "x", false, "N0SRV");
    EXPECT_EQ(run("/NE One too many\r"), Texts{"\r-- Unable to allocate a New Area\r"});
}

TEST_F(ChatCommands, TheStationsOfOneCallsignOwnAtMostMaxAreasAtATime)
{
    form.settings().createArea = true;
    Station& sameStation = addUser(2, "n0aaa-2");
    Station& another = addUser(2, "N0BBB");
    run("/NE One\r");
    run("/NE Two\r");
    command(sameStation, "/NE Three\r");
    sentTexts();

    command(sameStation, "/NE Four\r");
    EXPECT_EQ(takeTo("n0aaa-2"), Texts{"\r-- Call(N0AAA) already owns 3 Areas\r"});
    EXPECT_EQ(run("/NE\r"), Texts{"\r-- New Area Requires a Description\r"});
    command(another, "/NE Theirs\r");
    EXPECT_EQ(form.directory().areas().size(), 6u);

    run("/D 128\r");
    EXPECT_EQ(run("/NE Four\r").front(), "\r-- Created Area(Four) Topic(Four)\r");
    form.settings().maxAreas = 0;
    EXPECT_EQ(run("/NE Five\r"), Texts{"\r-- Call(N0AAA) already owns 3 Areas\r"});
}

TEST_F(ChatCommands, NewAreaIsAnnouncedEverywhereAndTheCreatorMovesIn)
{
    form.settings().createArea = true;
    addUser(2, "N0BBB");
    addUser(1, "N0CCC", 5);

    command(me, "/NE Digital  modes\r");

    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0AAA-1"), (Texts{"\r-- Created Area(Digital  modes) Topic(Digital  modes)\r",
                                              "\r-- Now at Area(Digital  modes) Topic(Digital  modes)\r"}));
    EXPECT_EQ(dataTo(sent, "N0BBB"), (Texts{"[0]<N0AAA-1@N0SRV> New Area(128) created by Call(N0AAA-1)\r\r",
                                            "[0]<N0AAA-1@N0SRV> <N0AAA-1 left this area, now in Area(128)>\r\r"}));
    EXPECT_EQ(dataTo(sent, "N0CCC"), Texts{"[5]<N0AAA-1@N0SRV> New Area(128) created by Call(N0AAA-1)\r\r"});
    const Area* area = form.directory().findArea(128);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->owner, "N0AAA-1");
    EXPECT_FALSE(area->lock);
    EXPECT_EQ(area->userCount, 1u);
    EXPECT_EQ(me.areaId, 128);
}

TEST_F(ChatCommands, DestroyChecksTheOwnerBeforeTheLock)
{
    EXPECT_EQ(run("/D 0\r"), Texts{"\r-- Area(0) Not Owned by Call(N0AAA-1)\r"});
    Station& server = addUser(1, "N0SRV");
    command(server, "/D 5\r");
    EXPECT_EQ(takeTo("N0SRV"), Texts{"\r-- Area(5) Can not be removed\r"});
    EXPECT_NE(form.directory().findArea(5), nullptr);
    EXPECT_EQ(run("/D 6\r"), Texts{"\r-- Area(6) Not Found\r"});
}

TEST_F(ChatCommands, DestroyMovesTheUsersToRootAndRemovesTheArea)
{
    form.directory().addArea(140, "Old", false, "N0AAA-1");
    Station& guest = addUser(2, "N0BBB", 140);
    command(me, "/J 140\r");
    sentTexts();

    command(me, "/D 140\r");

    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0AAA-1"),
              (Texts{"\r-- Area(140) Removed by Owner Now at Area(0-Old)\r", "\r-- Now at Area(Root) Topic(Root)\r",
                     "[0]<N0BBB@N0SRV> <N0BBB joined Area>\r\r", "\r-- Area(140) Topic(Old) Removed\r"}));
    EXPECT_EQ(dataTo(sent, "N0BBB"),
              (Texts{"[140]<N0AAA-1@N0SRV> <N0AAA-1 left this area, now in Area(0)>\r\r",
                     "\r-- Area(140) Removed by Owner Now at Area(0-Old)\r", "\r-- Now at Area(Root) Topic(Root)\r",
                     "[0]<N0AAA-1@N0SRV> -- Area(140-Old) Removed by Call(N0AAA-1)\r\r"}));
    EXPECT_EQ(form.directory().findArea(140), nullptr);
    EXPECT_EQ(me.areaId, 0);
    EXPECT_EQ(guest.areaId, 0);
    EXPECT_EQ(form.directory().findArea(0)->userCount, 2u);
}

TEST_F(ChatCommands, PrivateMessageNamesTheTargetsAreaAndTheSender)
{
    addUser(3, "N0BBB-2", 5);

    command(me, "/M n0bbb-2 meet at  the club\r");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].port, 3);
    EXPECT_EQ(sent[0].to, "N0BBB-2");
    EXPECT_EQ(sent[0].data, "[5]<N0BBB-2@N0SRV> ((PRIVATE MESSAGE FROM N0AAA-1))\rmeet at  the club\r");
    EXPECT_TRUE(traced("{PALAVORO} Message Command recognized"));

    EXPECT_EQ(run("/M\r"), Texts{"\r-- Inform Area #\r"});
    EXPECT_EQ(run("/M N0ZZZ hi\r"), Texts{"\r-- Invalid Area or CallSign Informed\r"});
    EXPECT_EQ(run("/M 7 hi\r"), Texts{"\r-- Area(7) Not Found\r"});
}

TEST_F(ChatCommands, MessageToAnAreaNeedNotBeTheSendersArea)
{
    addUser(2, "N0BBB", 5);

    command(me, "/M 5\r");
    command(me, "/M 5 hello five\r");

    EXPECT_EQ(takeTo("N0BBB"), (Texts{"[5]<N0AAA-1@N0SRV> \r", "[5]<N0AAA-1@N0SRV> hello five\r"}));
}

TEST_F(ChatCommands, ByeAnnouncesSaysGoodbyeAndAsksForTheDisconnect)
{
    addUser(2, "N0BBB");

    command(me, "/q\r");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].to, "N0BBB");
    EXPECT_EQ(sent[0].data, "[0]<N0AAA-1@N0SRV> <N0AAA-1 left Area>\r\r");
    EXPECT_EQ(sent[1].to, "N0AAA-1");
    EXPECT_EQ(sent[1].data, "\r--- GoodBye!\r");
    EXPECT_EQ(sent[2].kind, 'Y');
    EXPECT_EQ(sent[2].port, 1);
    EXPECT_EQ(sent[2].from, "N0SRV");
    EXPECT_EQ(sent[2].to, "N0AAA-1");

    form.drain().handleConnFrames(*form.link(), 1, "N0SRV", "N0AAA-1", 0);
    sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'd');
    EXPECT_EQ(sent[0].port, 1);
    EXPECT_EQ(sent[0].from, "N0SRV");
    EXPECT_EQ(sent[0].to, "N0AAA-1");
    EXPECT_EQ(me.state, DISC);
    EXPECT_TRUE(traced("{PALAVORO} BYE Command recognized"));
}

TEST_F(ChatCommands, ExitEndsTheConnectionLikeByeEvenWithoutAName)
{
    for (const char* line : {"/E\r", "/EXIT\r", "/exit\r", "/B\r"}) {
        Station& leaving = addUser(1, "N0EEE");
        leaving.state = NONAME;
        addUser(2, "N0BBB");
        command(leaving, line);
        form.drain().handleConnFrames(*form.link(), 1, "N0SRV", "N0EEE", 0);

        const std::vector<SentText> sent = sentTexts();
        EXPECT_EQ(dataTo(sent, "N0BBB"), Texts{"[0]<N0EEE@N0SRV> <N0EEE left Area>\r\r"}) << line;
        EXPECT_EQ(dataTo(sent, "N0EEE"), Texts{"\r--- GoodBye!\r"}) << line;
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().kind, 'd') << line;
        EXPECT_EQ(leaving.state, DISC) << line;
        form.directory().removeStation(form.directory().findStation(2, "N0BBB"));
        form.directory().removeStation(&leaving);
    }
}

TEST_F(ChatCommands, UserShowsEveryConnectionOfTheCallOrThatItIsNotConnected)
{
    Station& ann = addUser(2, "N0BBB-7", 5);
    ann.name = "Ann";
    ann.info = "QTH Porto";
    Station& lost = addUser(3, "N0BBB-7");
    lost.areaId = 99;

    EXPECT_EQ(run("/U\r"), Texts{"\r-- Inform Callsign-SSID\r"});
    EXPECT_EQ(run("/USER n0bbb-7\r"), (Texts{"\r-- User(2:N0BBB-7) Name(Ann) Info(QTH Porto) Area(5-Five)\r",
                                             "\r-- User(3:N0BBB-7) Name() Info() Area(99-)\r"}));
    EXPECT_EQ(run("/U N0BBB\r"), Texts{"\r-- Call(N0BBB) Not Found on Server\r"});
    EXPECT_TRUE(traced("{PALAVORO} User Command recognized"));
}

TEST_F(ChatCommands, HashBeforeAnAreaNumberIsTheNumber)
{
    form.directory().addArea(150, "Mine", false, "N0AAA-1");
    addUser(2, "N0BBB", 5);

    EXPECT_EQ(run("/C #5\r"), Texts{"\r-- Area(5) Info(Five)\r"});
    EXPECT_EQ(run("/W #5\r"), (Texts{"\rWho is here:\r", "Id(5) Topic(Five) Owner(N0SRV) Users(1)\r",
                                     "   User(2:N0BBB) Name() Info()\r", "   --- Total Users (1)\r"}));
    EXPECT_EQ(run("/T #150 Masts\r"), Texts{"\r-- Area(Masts) Topic(Masts)\r"});
    command(me, "/M #5 hello five\r");
    EXPECT_EQ(takeTo("N0BBB"), Texts{"[5]<N0AAA-1@N0SRV> hello five\r"});
    EXPECT_EQ(run("/J #150\r"), Texts{"\r-- Now at Area(Masts) Topic(Masts)\r"});
    EXPECT_EQ(run("/L #150\r"), Texts{"\r-- Now at Area(Root) Topic(Root)\r"});
    EXPECT_EQ(run("/D #150\r"), Texts{"\r-- Area(150) Topic(Masts) Removed\r"});
    EXPECT_EQ(form.directory().findArea(150), nullptr);

    EXPECT_EQ(run("/J #\r"), Texts{"\r-- Area(#) Not Found\r"});
    EXPECT_EQ(run("/J ##5\r"), Texts{"\r-- Area(##5) Not Found\r"});
    EXPECT_EQ(run("/M #N0BBB hi\r"), Texts{"\r-- Invalid Area or CallSign Informed\r"});
}

} // namespace
