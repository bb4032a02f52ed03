#include "ChatFixture.h"

#include <algorithm>

namespace {

using ChatAreas = ChatTest;

std::vector<int32_t> areaIds(const ChatServer& form)
{
    std::vector<int32_t> ids;
    for (const Area& area : form.directory().areas())
        ids.push_back(area.id);
    return ids;
}

std::vector<std::string> userCalls(const ChatServer& form)
{
    std::vector<std::string> calls;
    for (const Station& user : form.directory().stations())
        calls.push_back(user.callSign);
    return calls;
}

TEST_F(ChatAreas, AddAreaAppendsInCreationOrderWithItsTraceLines)
{
    Area* area = form.directory().addArea(7, "Seven", false, "N0CALL-1");
    form.directory().addArea(3, "Three", true, "N0SRV");
    form.directory().addArea(200, "Two hundred", false, "N0CALL-2");

    ASSERT_NE(area, nullptr);
    EXPECT_EQ(areaIds(form), (std::vector<int32_t>{0, 7, 3, 200}));
    EXPECT_EQ(area, form.directory().findArea(7));
    EXPECT_EQ(area->topic, "Seven");
    EXPECT_FALSE(area->lock);
    EXPECT_EQ(area->owner, "N0CALL-1");
    EXPECT_EQ(area->userCount, 0u);
    EXPECT_FALSE(area->created.empty());
    EXPECT_EQ(form.directory().findArea(8), nullptr);

    Texts trace = traceLines();
    auto at =
        std::find(trace.begin(), trace.end(), "{PALAVORO} <AddArea> Id(7) Topic(Seven) Lock(FALSE) Owner(N0CALL-1)");
    ASSERT_NE(at, trace.end());
    ASSERT_GE(std::distance(at, trace.end()), 3);
    EXPECT_EQ(at[1], "{PALAVORO} Area(7) Created");
    EXPECT_EQ(at[2], "{PALAVORO} <AddArea> Created Id(7) Topic(Seven) Lock(FALSE) Owner(N0CALL-1)");
}

TEST_F(ChatAreas, AddAreaRefusesAnIdInUseAndKeepsTheFirstTopic)
{
    form.directory().addArea(5, "First", true, "N0SRV");

    EXPECT_EQ(form.directory().addArea(5, "Second", false, "N0CALL"), nullptr);
    EXPECT_EQ(form.directory().addArea(0, "Another root", true, "N0SRV"), nullptr);

    EXPECT_EQ(form.directory().findArea(5)->topic, "First");
    EXPECT_EQ(form.directory().findArea(0)->topic, "Root");
    EXPECT_EQ(areaIds(form), (std::vector<int32_t>{0, 5}));
    EXPECT_TRUE(traced("{PALAVORO} <AddArea> Area(5) Already defined, creation ignored"));
    EXPECT_TRUE(traced("{PALAVORO} <AddArea> Area(0) Already defined, creation ignored"));
}

TEST_F(ChatAreas, CountsFollowEveryNewBlockMoveAndRemoval)
{
    Directory& directory = form.directory();
    directory.addArea(5, "Five", true, "N0SRV");
    Station* a = directory.newStation(1, "N0AAA");
    Station* b = directory.newStation(1, "N0BBB");
    EXPECT_EQ(directory.findArea(0)->userCount, 2u);

    directory.moveStation(*a, 5);
    directory.moveStation(*b, 42); // no such area: Root loses it, nothing gains it
    EXPECT_EQ(directory.findArea(0)->userCount, 0u);
    EXPECT_EQ(directory.findArea(5)->userCount, 1u);
    EXPECT_TRUE(directory.countsAreTrue());

    directory.removeStation(a);
    directory.clearRadioStations();
    EXPECT_EQ(directory.findArea(5)->userCount, 0u);
    EXPECT_TRUE(directory.stations().empty());
    EXPECT_TRUE(directory.countsAreTrue());
}

TEST_F(ChatAreas, SsidsAndLetterCaseMakeSeparateBlocks)
{
    Station* upper = form.directory().newStation(1, "N0CALL-1");
    Station* lower = form.directory().newStation(1, "n0call-7");

    ASSERT_NE(upper, nullptr);
    ASSERT_NE(lower, nullptr);
    EXPECT_NE(upper, lower);
    EXPECT_EQ(form.directory().findStation(1, "N0CALL-1"), upper);
    EXPECT_EQ(form.directory().findStation(1, "n0call-7"), lower);
    EXPECT_EQ(form.directory().findStation(1, "N0CALL-7"), nullptr);
    EXPECT_EQ(form.directory().findStation(1, "n0call-1"), nullptr);
    EXPECT_EQ(form.directory().findStationByCall("n0call-7"), lower);
    EXPECT_EQ(form.directory().findStationByCall("N0CALL-7"), nullptr);
}

TEST_F(ChatAreas, SameCallOnTwoPortsIsTwoBlocksButNotTwiceOnOnePort)
{
    Station* first = form.directory().newStation(1, "N0CALL");
    Station* second = form.directory().newStation(2, "N0CALL");

    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(form.directory().findStation(2, "N0CALL"), second);
    EXPECT_EQ(form.directory().newStation(1, "N0CALL"), nullptr);
    EXPECT_EQ(form.directory().stations().size(), 2u);
}

TEST_F(ChatAreas, RemoveUserKeepsTheOrderOfTheOthers)
{
    for (const char* call : {"A1", "B2", "C3", "D4", "E5"})
        form.directory().newStation(1, call);

    form.directory().removeStation(form.directory().findStation(1, "A1"));
    EXPECT_EQ(userCalls(form), (std::vector<std::string>{"B2", "C3", "D4", "E5"}));
    form.directory().removeStation(form.directory().findStation(1, "D4"));
    EXPECT_EQ(userCalls(form), (std::vector<std::string>{"B2", "C3", "E5"}));
    form.directory().removeStation(form.directory().findStation(1, "E5"));
    EXPECT_EQ(userCalls(form), (std::vector<std::string>{"B2", "C3"}));

    Station stranger;
    form.directory().removeStation(&stranger);
    form.directory().removeStation(nullptr);
    EXPECT_EQ(userCalls(form), (std::vector<std::string>{"B2", "C3"}));

    form.directory().newStation(1, "F6");
    EXPECT_EQ(userCalls(form), (std::vector<std::string>{"B2", "C3", "F6"}));
}

TEST_F(ChatAreas, RemovingTheOnlyUserEmptiesTheList)
{
    form.directory().removeStation(form.directory().newStation(1, "N0CALL"));
    EXPECT_TRUE(form.directory().stations().empty());
    EXPECT_NE(form.directory().newStation(1, "N0CALL"), nullptr);
}

TEST_F(ChatAreas, RemoveUserStopsAndReleasesTheTimer)
{
    Station* user = form.directory().newStation(1, "N0CALL");
    user->timeLimit = clock.createTimer();
    user->timeLimit->setInterval(1000);
    user->timeLimit->setEnabled(true);
    ASSERT_EQ(clock.runningTimers(), 1u);

    form.directory().removeStation(user);

    EXPECT_EQ(clock.liveTimers(), 0u);
}

TEST_F(ChatAreas, FindUserByTimerNeverMatchesBlocksWithoutTimer)
{
    Station* plain = form.directory().newStation(1, "PLAIN");
    Station* timed = form.directory().newStation(1, "TIMED");
    timed->timeLimit = clock.createTimer();

    EXPECT_EQ(form.directory().findStationByTimer(timed->timeLimit.get()), timed);
    EXPECT_EQ(form.directory().findStationByTimer(nullptr), nullptr);
    EXPECT_EQ(plain->timeLimit, nullptr);
}

} // namespace
