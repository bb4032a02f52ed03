#include "ChatFixture.h"

namespace {

using ChatDelivery = ChatTest;

TEST_F(ChatDelivery, AreaLineGoesToTheOthersOfTheAreaOnly)
{
    form.AddArea(5, "Five", true, "N0SRV");
    AddUser(1, "N0AAA");
    AddUser(2, "N0BBB");
    AddUser(1, "N0CCC", 5);

    form.BroadCastToArea(1, "N0AAA", 0, "hello");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Kind, 'D');
    EXPECT_EQ(sent[0].Port, 2);
    EXPECT_EQ(sent[0].From, "N0SRV");
    EXPECT_EQ(sent[0].To, "N0BBB");
    EXPECT_EQ(sent[0].Data, "[0]<N0AAA@N0SRV> hello\r");
}

TEST_F(ChatDelivery, BellStandsBeforeTheFinalCr)
{
    form.Bell = true;
    AddUser(1, "N0AAA");
    AddUser(1, "N0BBB");

    form.BroadCastToArea(1, "N0AAA", 0, "ring\r");

    EXPECT_EQ(TakeTo("N0BBB"), Texts{"[0]<N0AAA@N0SRV> ring\r\a\r"});
}

TEST_F(ChatDelivery, NoEchoToAnyConnectionWithTheSendersCall)
{
    AddUser(1, "N0AAA");
    AddUser(2, "N0AAA");
    AddUser(1, "n0aaa");

    form.BroadCastToArea(1, "N0AAA", 0, "mine");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].To, "n0aaa");
}

TEST_F(ChatDelivery, BroadCastAllFramesTheTextInEachUsersArea)
{
    form.AddArea(9, "Nine", true, "N0SRV");
    AddUser(1, "N0AAA");
    AddUser(1, "N0BBB", 9);
    TUser& lost = AddUser(1, "N0LOST");
    lost.AreaId = 77;

    form.BroadCastAll(1, "N0AAA", "news\r");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].To, "N0BBB");
    EXPECT_EQ(sent[0].Data, "[9]<N0AAA@N0SRV> news\r\r");
}

TEST_F(ChatDelivery, ChatLineFromAVanishedAreaReturnsTheUserToRoot)
{
    AddUser(1, "N0BBB");
    TUser& user = AddUser(1, "N0AAA");
    user.AreaId = 130;
    const uint32_t before = form.FindArea(0)->UserCount;

    form.SendData(1, "N0AAA", user, "anyone?\r");

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].To, "N0AAA");
    EXPECT_EQ(sent[0].Data, "\r-- Area(130 no longer exists, returned to Root Area\r");
    EXPECT_EQ(user.AreaId, 0);
    EXPECT_EQ(form.FindArea(0)->UserCount, before + 1);
}

TEST_F(ChatDelivery, JoinAreaTellsBothAreasAndCountsTheMove)
{
    form.AddArea(5, "Five", true, "N0SRV");
    TUser& mover = AddUser(1, "N0AAA");
    AddUser(1, "N0OLD");
    AddUser(1, "N0NEW", 5);

    form.JoinArea(1, "N0AAA", mover, 5);

    std::vector<SentText> sent = Sent();
    EXPECT_EQ(DataTo(sent, "N0OLD"), Texts{"[0]<N0AAA@N0SRV> <N0AAA left this area, now in Area(5)>\r\r"});
    EXPECT_EQ(DataTo(sent, "N0AAA"), Texts{"\r-- Now at Area(Five) Topic(Five)\r"});
    EXPECT_EQ(DataTo(sent, "N0NEW"), Texts{"[5]<N0AAA@N0SRV> <N0AAA joined Area>\r\r"});
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(mover.AreaId, 5);
    EXPECT_EQ(form.FindArea(0)->UserCount, 1u);
    EXPECT_EQ(form.FindArea(5)->UserCount, 2u);
}

TEST_F(ChatDelivery, JoinAreaToAMissingAreaChangesNothing)
{
    TUser& mover = AddUser(1, "N0AAA");
    AddUser(1, "N0BBB");

    form.JoinArea(1, "N0AAA", mover, 12);

    std::vector<SentText> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Data, "\r-- Error Joining Area(12)\r");
    EXPECT_EQ(mover.AreaId, 0);
    EXPECT_EQ(form.FindArea(0)->UserCount, 2u);
}

TEST_F(ChatDelivery, JoiningTheOwnAreaAnnouncesBothAndKeepsTheCount)
{
    TUser& mover = AddUser(1, "N0AAA");
    AddUser(1, "N0BBB");

    form.JoinArea(1, "N0AAA", mover, 0);

    EXPECT_EQ(TakeTo("N0BBB"), (Texts{"[0]<N0AAA@N0SRV> <N0AAA left this area, now in Area(0)>\r\r",
                                      "[0]<N0AAA@N0SRV> <N0AAA joined Area>\r\r"}));
    EXPECT_EQ(form.FindArea(0)->UserCount, 2u);
}

TEST_F(ChatDelivery, MoveAreaUsersNamesTheOldTopicAfterTheNewNumber)
{
    form.AddArea(140, "Old one", false, "N0AAA");
    form.AddArea(3, "Three", true, "N0SRV");
    AddUser(1, "N0AAA", 140);
    AddUser(2, "N0BBB", 140);
    AddUser(1, "N0CCC", 3);

    form.MoveAreaUsers(140, 3);

    std::vector<SentText> sent = Sent();
    EXPECT_EQ(DataTo(sent, "N0AAA"),
              (Texts{"\r-- Area(140) Removed by Owner Now at Area(3-Old one)\r",
                     "\r-- Now at Area(Three) Topic(Three)\r", "[3]<N0BBB@N0SRV> <N0BBB joined Area>\r\r"}));
    EXPECT_EQ(DataTo(sent, "N0BBB"), (Texts{"[140]<N0AAA@N0SRV> <N0AAA left this area, now in Area(3)>\r\r",
                                            "\r-- Area(140) Removed by Owner Now at Area(3-Old one)\r",
                                            "\r-- Now at Area(Three) Topic(Three)\r"}));
    EXPECT_EQ(DataTo(sent, "N0CCC"),
              (Texts{"[3]<N0AAA@N0SRV> <N0AAA joined Area>\r\r", "[3]<N0BBB@N0SRV> <N0BBB joined Area>\r\r"}));
    EXPECT_EQ(form.FindArea(140)->UserCount, 0u);
    EXPECT_EQ(form.FindArea(3)->UserCount, 3u);
}

TEST_F(ChatDelivery, MoveAreaUsersDoesNothingForEqualIdsOrAMissingArea)
{
    AddUser(1, "N0AAA");
    TUser& stray = AddUser(1, "N0BBB");
    stray.AreaId = 66;

    form.MoveAreaUsers(0, 0);
    form.MoveAreaUsers(66, 0);

    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(stray.AreaId, 66);
}

TEST_F(ChatDelivery, FreeAreaIdHandsOutTheLowestFreeIdFrom128)
{
    form.AddArea(1, "Below", true, "N0SRV");
    EXPECT_EQ(form.FreeAreaId(), 128);
    form.AddArea(128, "x", false, "N0SRV");
    form.AddArea(130, "x", false, "N0SRV");
    EXPECT_EQ(form.FreeAreaId(), 129);

    for (int32_t id = 128; id <= 255; ++id)
        form.AddArea(id, "x", false, "N0SRV");
    EXPECT_EQ(form.FreeAreaId(), 0);

    form.DeleteArea(form.FindArea(200));
    EXPECT_EQ(form.FreeAreaId(), 200);
}

TEST_F(ChatDelivery, ListAreasSendsOneLinePerArea)
{
    form.AddArea(5, "Five", true, "N0SRV");
    AddUser(1, "N0AAA");

    form.ListAreas(1, "N0AAA");

    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"\rAreas Available:\r", "Id(0) Topic(Root) Owner(N0SRV) Users(1)\r",
                                      "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r"}));
}

TEST_F(ChatDelivery, ListUsersByAreaListsEveryAreaWithItsUsers)
{
    form.AddArea(5, "Five", true, "N0SRV");
    TUser& asker = AddUser(1, "N0AAA");
    asker.Name = "Ann";
    TUser& other = AddUser(2, "N0BBB");
    other.Info = "QTH Lisbon";

    form.ListUsersByArea(1, "N0AAA", nullptr);

    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"\rWho is here:\r", "Id(0) Topic(Root) Owner(N0SRV) Users(2)\r",
                                      "   User(1:N0AAA) Name(Ann) Info()\r",
                                      "   User(2:N0BBB) Name() Info(QTH Lisbon)\r", "   --- Total Users (2)\r",
                                      "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r", "   --- Total Users (0)\r"}));

    form.ListUsersByArea(1, "N0AAA", form.FindArea(5));
    EXPECT_EQ(TakeTo("N0AAA"),
              (Texts{"\rWho is here:\r", "Id(5) Topic(Five) Owner(N0SRV) Users(0)\r", "   --- Total Users (0)\r"}));
}

TEST_F(ChatDelivery, SendFileSendsOneLinePerSendWhateverTheLineEnd)
{
    WriteText("LINES.INF", "one\r\ntwo\rthree\nstill three\r\n\r\nlast");

    form.SendFile(1, "N0AAA", "LINES.INF", "fallback\r");

    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"one\r", "two\r", "three\nstill three\r", "\r", "last\r"}));
}

TEST_F(ChatDelivery, SendFileStopsAtCtrlZ)
{
    WriteText("EOF.INF", "first\r\nsecond\x1A\r\nnever sent\r\n");

    form.SendFile(1, "N0AAA", "EOF.INF", "fallback\r");

    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"first\r", "second\r"}));
}

TEST_F(ChatDelivery, SendFileSendsTheFallbackOnceWhenTheFileIsMissing)
{
    WriteText("EMPTY.INF", "");

    form.SendFile(1, "N0AAA", "MISSING.INF", "\r--- fallback\r");
    form.SendFile(1, "N0AAA", "EMPTY.INF", "\r--- not this\r");

    EXPECT_EQ(TakeTo("N0AAA"), Texts{"\r--- fallback\r"});
}

TEST_F(ChatDelivery, SendFileMatchesTheNameWithoutRegardToCase)
{
    WriteText("help.inf", "lower\r\n");
    WriteText("Goodbye.Inf", "mixed\r\n");
    WriteText("BYE.INF", "exact\r\n");
    WriteText("bye.inf", "other\r\n");

    form.SendFile(1, "N0AAA", "HELP.INF", "fallback\r");
    form.SendFile(1, "N0AAA", "GOODBYE.INF", "fallback\r");
    form.SendFile(1, "N0AAA", "BYE.INF", "fallback\r");

    EXPECT_EQ(TakeTo("N0AAA"), (Texts{"lower\r", "mixed\r", "exact\r"}));
}

TEST_F(ChatDelivery, SendFileSendsNothingWithoutAnActiveLink)
{
    WriteText("HELP.INF", "help\r\n");
    fake->PeerClose();

    form.SendFile(1, "N0AAA", "HELP.INF", "fallback\r");
    form.SendFile(1, "N0AAA", "MISSING.INF", "fallback\r");

    EXPECT_TRUE(fake->Sent.empty());
    EXPECT_TRUE(Traced("{PALAVORO} <SendFile> L2 Object not Active"));
    EXPECT_FALSE(Traced("{PALAVORO} <SendFile> Sending file(HELP.INF) to (1:N0AAA)"));

    form.L2.reset();
    form.SendFile(1, "N0AAA", "HELP.INF", "fallback\r");
    EXPECT_TRUE(Traced("{PALAVORO} <SendFile> L2 Object not ready"));
}

} // namespace
