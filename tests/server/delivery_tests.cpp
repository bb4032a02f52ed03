#include "ChatFixture.h"

namespace {

using ChatDelivery = ChatTest;

TEST_F(ChatDelivery, AreaLineGoesToTheOthersOfTheAreaOnly)
{
    form.directory().addArea(5, "Five", true, "N0SRV");
    addUser(1, "N0AAA");
    addUser(2, "N0BBB");
    addUser(1, "N0CCC", 5);

    form.delivery().broadCastToArea(1, "N0AAA", 0, "hello");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 'D');
    EXPECT_EQ(sent[0].port, 2);
    EXPECT_EQ(sent[0].from, "N0SRV");
    EXPECT_EQ(sent[0].to, "N0BBB");
    EXPECT_EQ(sent[0].data, "[0]<N0AAA@N0SRV> hello\r");
}

TEST_F(ChatDelivery, AreaLineLeavesInOneSendForEveryAddressee)
{
    addUser(1, "N0AAA");
    addUser(2, "N0BBB");
    addUser(1, "N0CCC");

    form.delivery().broadCastToArea(1, "N0AAA", 0, "hello");

    const auto sends = fake->sends();
    ASSERT_EQ(sends.size(), 1u);
    const auto frames = decodeFrames(std::string(sends[0]));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].callTo, "N0BBB");
    EXPECT_EQ(frames[1].callTo, "N0CCC");
}

TEST_F(ChatDelivery, AreaLineIsTheSameOnTheWireWithTheLinkTraced)
{
    addUser(1, "N0AAA");
    addUser(2, "N0BBB");
    addUser(1, "N0CCC");
    addUser(3, "N0DDD");
    const auto areaLine = [&] {
        form.delivery().broadCastToArea(1, "N0AAA", 0, "hello");
        return fake->takeSent();
    };
    const std::string quiet = areaLine();
    ASSERT_EQ(decodeFrames(quiet).size(), 3u);

    // Frame by frame when the link traces each one...
    traceInto(form.link()->traceLog(), 4, dir_ + "/link.log");
    EXPECT_EQ(areaLine(), quiet);
    const std::string linkTrace = readFile(dir_ + "/link.log");
    size_t sends = 0;
    for (size_t at = linkTrace.find("<L2 Send>"); at != std::string::npos; at = linkTrace.find("<L2 Send>", at + 1))
        ++sends;
    EXPECT_EQ(sends, 3u);
}

TEST_F(ChatDelivery, BellStandsBeforeTheFinalCr)
{
    form.settings().bell = true;
    addUser(1, "N0AAA");
    addUser(1, "N0BBB");

    form.delivery().broadCastToArea(1, "N0AAA", 0, "ring\r");

    EXPECT_EQ(takeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> ring\r\a\r"});
}

TEST_F(ChatDelivery, NoEchoToAnyConnectionWithTheSendersCall)
{
    addUser(1, "N0AAA");
    addUser(2, "N0AAA");
    addUser(1, "n0aaa");

    form.delivery().broadCastToArea(1, "N0AAA", 0, "mine");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, "n0aaa");
}

TEST_F(ChatDelivery, BroadCastAllFramesTheTextInEachUsersArea)
{
    form.directory().addArea(9, "Nine", true, "N0SRV");
    addUser(1, "N0AAA");
    addUser(1, "N0BBB", 9);
    Station& lost = addUser(1, "N0LOST");
    lost.areaId = 77;

    form.delivery().broadCastAll(1, "N0AAA", "news\r");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, "N0BBB");
    EXPECT_EQ(sent[0].data, "[9]<N0AAA@N0SRV> news\r\r");
}

TEST_F(ChatDelivery, ChatLineFromAVanishedAreaReturnsTheUserToRoot)
{
    addUser(1, "N0BBB");
    Station& user = addUser(1, "N0AAA");
    user.areaId = 130;
    const uint32_t before = form.directory().findArea(0)->userCount;

    form.delivery().sendData(1, "N0AAA", user, "anyone?\r");

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, "N0AAA");
    EXPECT_EQ(sent[0].data, "\r-- Area(130 no longer exists, returned to Root Area\r");
    EXPECT_EQ(user.areaId, 0);
    EXPECT_EQ(form.directory().findArea(0)->userCount, before + 1);
}

TEST_F(ChatDelivery, JoinAreaTellsBothAreasAndCountsTheMove)
{
    form.directory().addArea(5, "Five", true, "N0SRV");
    Station& mover = addUser(1, "N0AAA");
    addUser(1, "N0OLD");
    addUser(1, "N0NEW", 5);

    form.delivery().joinArea(1, "N0AAA", mover, 5);

    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0OLD"), Texts{"[0]<N0AAA@N0SRV> <N0AAA left this area, now in Area(5)>\r\r"});
    EXPECT_EQ(dataTo(sent, "N0AAA"), Texts{"\r-- Now at Area(Five) Topic(Five)\r"});
    EXPECT_EQ(dataTo(sent, "N0NEW"), Texts{"[5]<N0AAA@N0SRV> <N0AAA joined Area>\r\r"});
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(mover.areaId, 5);
    EXPECT_EQ(form.directory().findArea(0)->userCount, 1u);
    EXPECT_EQ(form.directory().findArea(5)->userCount, 2u);
}

TEST_F(ChatDelivery, JoinAreaToAMissingAreaChangesNothing)
{
    Station& mover = addUser(1, "N0AAA");
    addUser(1, "N0BBB");

    form.delivery().joinArea(1, "N0AAA", mover, 12);

    std::vector<SentText> sent = sentTexts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, "\r-- Error Joining Area(12)\r");
    EXPECT_EQ(mover.areaId, 0);
    EXPECT_EQ(form.directory().findArea(0)->userCount, 2u);
}

TEST_F(ChatDelivery, JoiningTheOwnAreaAnnouncesBothAndKeepsTheCount)
{
    Station& mover = addUser(1, "N0AAA");
    addUser(1, "N0BBB");

    form.delivery().joinArea(1, "N0AAA", mover, 0);

    EXPECT_EQ(takeTo("N0BBB"), (Texts{"[0]<N0AAA@N0SRV> <N0AAA left this area, now in Area(0)>\r\r",
                                      "[0]<N0AAA@N0SRV> <N0AAA joined Area>\r\r"}));
    EXPECT_EQ(form.directory().findArea(0)->userCount, 2u);
}

TEST_F(ChatDelivery, MoveAreaUsersNamesTheOldTopicAfterTheNewNumber)
{
    form.directory().addArea(140, "Old one", false, "N0AAA");
    form.directory().addArea(3, "Three", true, "N0SRV");
    addUser(1, "N0AAA", 140);
    addUser(2, "N0BBB", 140);
    addUser(1, "N0CCC", 3);

    form.delivery().moveAreaUsers(140, 3);

    std::vector<SentText> sent = sentTexts();
    EXPECT_EQ(dataTo(sent, "N0AAA"),
              (Texts{"\r-- Area(140) Removed by Owner Now at Area(3-Old one)\r",
                     "\r-- Now at Area(Three) Topic(Three)\r", "[3]<N0BBB@N0SRV> <N0BBB joined Area>\r\r"}));
    EXPECT_EQ(dataTo(sent, "N0BBB"), (Texts{"[140]<N0AAA@N0SRV> <N0AAA left this area, now in Area(3)>\r\r",
                                            "\r-- Area(140) Removed by Owner Now at Area(3-Old one)\r",
                                            "\r-- Now at Area(Three) Topic(Three)\r"}));
    EXPECT_EQ(dataTo(sent, "N0CCC"),
              (Texts{"[3]<N0AAA@N0SRV> <N0AAA joined Area>\r\r", "[3]<N0BBB@N0SRV> <N0BBB joined Area>\r\r"}));
    EXPECT_EQ(form.directory().findArea(140)->userCount, 0u);
    EXPECT_EQ(form.directory().findArea(3)->userCount, 3u);
}

TEST_F(ChatDelivery, MoveAreaUsersDoesNothingForEqualIdsOrAMissingArea)
{
    addUser(1, "N0AAA");
    Station& stray = addUser(1, "N0BBB");
    stray.areaId = 66;

    form.delivery().moveAreaUsers(0, 0);
    form.delivery().moveAreaUsers(66, 0);

    EXPECT_TRUE(sentTexts().empty());
    EXPECT_EQ(stray.areaId, 66);
}

TEST_F(ChatDelivery, FreeAreaIdHandsOutTheLowestFreeIdFrom128)
{
    form.directory().addArea(1, "Below", true, "N0SRV");
    EXPECT_EQ(form.directory().freeAreaId(), 128);
    form.directory().addArea(128, "x", false, "N0SRV");
    form.directory().addArea(130, "x", false, "N0SRV");
    EXPECT_EQ(form.directory().freeAreaId(), 129);

    for (int32_t id = 128; id <= 255; ++id)
        form.directory().addArea(id, "x", false, "N0SRV");
    EXPECT_EQ(form.directory().freeAreaId(), 0);

    form.directory().deleteArea(form.directory().findArea(200));
    EXPECT_EQ(form.directory().freeAreaId(), 200);
}

TEST_F(ChatDelivery, ListAreasSendsOneLinePerArea)
{
    form.directory().addArea(5, "Five", true, "N0SRV");
    addUser(1, "N0AAA");

    form.delivery().listAreas(1, "N0AAA");

    EXPECT_EQ(takeTo("N0AAA"), (Texts{"\rAreas Available:\r", "Id(0) Topic(Root) Owner(N0SRV) Users(1)\r",
                                      "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r"}));
}

TEST_F(ChatDelivery, ListUsersByAreaListsEveryAreaWithItsUsers)
{
    form.directory().addArea(5, "Five", true, "N0SRV");
    Station& asker = addUser(1, "N0AAA");
    asker.name = "Ann";
    Station& other = addUser(2, "N0BBB");
    other.info = "QTH Lisbon";

    form.delivery().listStationsByArea(1, "N0AAA", nullptr);

    EXPECT_EQ(takeTo("N0AAA"), (Texts{"\rWho is here:\r", "Id(0) Topic(Root) Owner(N0SRV) Users(2)\r",
                                      "   User(1:N0AAA) Name(Ann) Info()\r",
                                      "   User(2:N0BBB) Name() Info(QTH Lisbon)\r", "   --- Total Users (2)\r",
                                      "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r", "   --- Total Users (0)\r"}));

    form.delivery().listStationsByArea(1, "N0AAA", form.directory().findArea(5));
    EXPECT_EQ(takeTo("N0AAA"),
              (Texts{"\rWho is here:\r", "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r", "   --- Total Users (0)\r"}));
}

TEST_F(ChatDelivery, SendFileSendsOneLinePerSendWhateverTheLineEnd)
{
    writeText("LINES.INF", "one\r\ntwo\rthree\nstill three\r\n\r\nlast");

    form.delivery().sendFile(1, "N0AAA", "LINES.INF", "fallback\r");

    EXPECT_EQ(takeTo("N0AAA"), (Texts{"one\r", "two\r", "three\r", "still three\r", "\r", "last\r"}));

    // A text saved on Linux goes out as the same text saved on DOS.
    writeText("UNIX.INF", "Welcome\n\nto the net\n");
    writeText("DOS.INF", "Welcome\r\n\r\nto the net\r\n");
    form.delivery().sendFile(1, "N0AAA", "UNIX.INF", "fallback\r");
    const Texts unix = takeTo("N0AAA");
    form.delivery().sendFile(1, "N0AAA", "DOS.INF", "fallback\r");
    EXPECT_EQ(unix, (Texts{"Welcome\r", "\r", "to the net\r"}));
    EXPECT_EQ(takeTo("N0AAA"), unix);
}

TEST_F(ChatDelivery, SendFileStopsAtCtrlZ)
{
    writeText("EOF.INF", "first\r\nsecond\x1A\r\nnever sent\r\n");

    form.delivery().sendFile(1, "N0AAA", "EOF.INF", "fallback\r");

    EXPECT_EQ(takeTo("N0AAA"), (Texts{"first\r", "second\r"}));
}

TEST_F(ChatDelivery, SendFileSendsTheFallbackOnceWhenTheFileIsMissing)
{
    writeText("EMPTY.INF", "");

    form.delivery().sendFile(1, "N0AAA", "MISSING.INF", "\r--- fallback\r");
    form.delivery().sendFile(1, "N0AAA", "EMPTY.INF", "\r--- not this\r");

    EXPECT_EQ(takeTo("N0AAA"), Texts{"\r--- fallback\r"});
}

TEST_F(ChatDelivery, SendFileMatchesTheNameWithoutRegardToCase)
{
    writeText("help.inf", "lower\r\n");
    writeText("Goodbye.Inf", "mixed\r\n");
    writeText("BYE.INF", "exact\r\n");
    writeText("bye.inf", "other\r\n");

    form.delivery().sendFile(1, "N0AAA", "HELP.INF", "fallback\r");
    form.delivery().sendFile(1, "N0AAA", "GOODBYE.INF", "fallback\r");
    form.delivery().sendFile(1, "N0AAA", "BYE.INF", "fallback\r");

    EXPECT_EQ(takeTo("N0AAA"), (Texts{"lower\r", "mixed\r", "exact\r"}));
}

TEST_F(ChatDelivery, SendFileSendsNothingWithoutAnActiveLink)
{
    writeText("HELP.INF", "help\r\n");
    fake->peerClose();

    form.delivery().sendFile(1, "N0AAA", "HELP.INF", "fallback\r");
    form.delivery().sendFile(1, "N0AAA", "MISSING.INF", "fallback\r");

    EXPECT_TRUE(fake->sent.empty());
    EXPECT_TRUE(traced("{PALAVORO} <SendFile> L2 Object not Active"));
    EXPECT_FALSE(traced("{PALAVORO} <SendFile> Sending file(HELP.INF) to (1:N0AAA)"));

    form.replaceLink(nullptr);
    form.delivery().sendFile(1, "N0AAA", "HELP.INF", "fallback\r");
    EXPECT_TRUE(traced("{PALAVORO} <SendFile> L2 Object not ready"));
}

} // namespace
