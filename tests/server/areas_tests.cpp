#include "ChatFixture.h"

#include <algorithm>

namespace {

using ChatAreas = ChatTest;

std::vector<int32_t> AreaIds(const TForm1& form)
{
    std::vector<int32_t> ids;
    for (const TArea& area : form.AreaList)
        ids.push_back(area.Id);
    return ids;
}

std::vector<std::string> UserCalls(const TForm1& form)
{
    std::vector<std::string> calls;
    for (const TUser& user : form.UserList)
        calls.push_back(user.CallSign);
    return calls;
}

TEST_F(ChatAreas, AddAreaAppendsInCreationOrderWithItsTraceLines)
{
    TArea* area = form.AddArea(7, "Seven", false, "N0CALL-1");
    form.AddArea(3, "Three", true, "N0SRV");
    form.AddArea(200, "Two hundred", false, "N0CALL-2");

    ASSERT_NE(area, nullptr);
    EXPECT_EQ(AreaIds(form), (std::vector<int32_t>{0, 7, 3, 200}));
    EXPECT_EQ(area, form.FindArea(7));
    EXPECT_EQ(area->Topic, "Seven");
    EXPECT_FALSE(area->Lock);
    EXPECT_EQ(area->Owner, "N0CALL-1");
    EXPECT_EQ(area->UserCount, 0u);
    EXPECT_FALSE(area->Created.empty());
    EXPECT_EQ(form.FindArea(8), nullptr);

    Texts trace = Trace();
    auto at =
        std::find(trace.begin(), trace.end(), "{PALAVORO} <AddArea> Id(7) Topic(Seven) Lock(FALSE) Owner(N0CALL-1)");
    ASSERT_NE(at, trace.end());
    ASSERT_GE(std::distance(at, trace.end()), 3);
    EXPECT_EQ(at[1], "{PALAVORO} Area(7) Created");
    EXPECT_EQ(at[2], "{PALAVORO} <AddArea> Created Id(7) Topic(Seven) Lock(FALSE) Owner(N0CALL-1)");
}

TEST_F(ChatAreas, AddAreaRefusesAnIdInUseAndKeepsTheFirstTopic)
{
    form.AddArea(5, "First", true, "N0SRV");

    EXPECT_EQ(form.AddArea(5, "Second", false, "N0CALL"), nullptr);
    EXPECT_EQ(form.AddArea(0, "Another root", true, "N0SRV"), nullptr);

    EXPECT_EQ(form.FindArea(5)->Topic, "First");
    EXPECT_EQ(form.FindArea(0)->Topic, "Root");
    EXPECT_EQ(AreaIds(form), (std::vector<int32_t>{0, 5}));
    EXPECT_TRUE(Traced("{PALAVORO} <AddArea> Area(5) Already defined, creation ignored"));
    EXPECT_TRUE(Traced("{PALAVORO} <AddArea> Area(0) Already defined, creation ignored"));
}

TEST_F(ChatAreas, UserCountNeverDropsBelowZeroAndIgnoresMissingAreas)
{
    form.IncAreaUsers(0);
    form.DecAreaUsers(0);
    form.DecAreaUsers(0);
    EXPECT_EQ(form.FindArea(0)->UserCount, 0u);

    form.IncAreaUsers(0);
    form.IncAreaUsers(0);
    form.DecAreaUsers(0);
    EXPECT_EQ(form.FindArea(0)->UserCount, 1u);

    form.IncAreaUsers(42);
    form.DecAreaUsers(42);
    EXPECT_EQ(form.FindArea(42), nullptr);
}

TEST_F(ChatAreas, SsidsAndLetterCaseMakeSeparateBlocks)
{
    TUser* upper = form.NewUser(1, "N0CALL-1");
    TUser* lower = form.NewUser(1, "n0call-7");

    ASSERT_NE(upper, nullptr);
    ASSERT_NE(lower, nullptr);
    EXPECT_NE(upper, lower);
    EXPECT_EQ(form.FindUser(1, "N0CALL-1"), upper);
    EXPECT_EQ(form.FindUser(1, "n0call-7"), lower);
    EXPECT_EQ(form.FindUser(1, "N0CALL-7"), nullptr);
    EXPECT_EQ(form.FindUser(1, "n0call-1"), nullptr);
    EXPECT_EQ(form.FindUserByCall("n0call-7"), lower);
    EXPECT_EQ(form.FindUserByCall("N0CALL-7"), nullptr);
}

TEST_F(ChatAreas, SameCallOnTwoPortsIsTwoBlocksButNotTwiceOnOnePort)
{
    TUser* first = form.NewUser(1, "N0CALL");
    TUser* second = form.NewUser(2, "N0CALL");

    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(form.FindUser(2, "N0CALL"), second);
    EXPECT_EQ(form.NewUser(1, "N0CALL"), nullptr);
    EXPECT_EQ(form.UserList.size(), 2u);
}

TEST_F(ChatAreas, RemoveUserKeepsTheOrderOfTheOthers)
{
    for (const char* call : {"A1", "B2", "C3", "D4", "E5"})
        form.NewUser(1, call);

    form.RemoveUser(form.FindUser(1, "A1"));
    EXPECT_EQ(UserCalls(form), (std::vector<std::string>{"B2", "C3", "D4", "E5"}));
    form.RemoveUser(form.FindUser(1, "D4"));
    EXPECT_EQ(UserCalls(form), (std::vector<std::string>{"B2", "C3", "E5"}));
    form.RemoveUser(form.FindUser(1, "E5"));
    EXPECT_EQ(UserCalls(form), (std::vector<std::string>{"B2", "C3"}));

    TUser stranger;
    form.RemoveUser(&stranger);
    form.RemoveUser(nullptr);
    EXPECT_EQ(UserCalls(form), (std::vector<std::string>{"B2", "C3"}));

    form.NewUser(1, "F6");
    EXPECT_EQ(UserCalls(form), (std::vector<std::string>{"B2", "C3", "F6"}));
}

TEST_F(ChatAreas, RemovingTheOnlyUserEmptiesTheList)
{
    form.RemoveUser(form.NewUser(1, "N0CALL"));
    EXPECT_TRUE(form.UserList.empty());
    EXPECT_NE(form.NewUser(1, "N0CALL"), nullptr);
}

TEST_F(ChatAreas, RemoveUserStopsAndReleasesTheTimer)
{
    TUser* user = form.NewUser(1, "N0CALL");
    user->IdleTimer = clock.CreateTimer();
    user->IdleTimer->SetInterval(1000);
    user->IdleTimer->SetEnabled(true);
    ASSERT_EQ(clock.RunningTimers(), 1u);

    form.RemoveUser(user);

    EXPECT_EQ(clock.LiveTimers(), 0u);
}

TEST_F(ChatAreas, FindUserByTimerNeverMatchesBlocksWithoutTimer)
{
    TUser* plain = form.NewUser(1, "PLAIN");
    TUser* timed = form.NewUser(1, "TIMED");
    timed->IdleTimer = clock.CreateTimer();

    EXPECT_EQ(form.FindUserByTimer(timed->IdleTimer.get()), timed);
    EXPECT_EQ(form.FindUserByTimer(nullptr), nullptr);
    EXPECT_EQ(plain->IdleTimer, nullptr);
}

} // namespace
