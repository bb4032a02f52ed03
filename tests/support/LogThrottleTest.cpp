#include "fakes/ManualClock.h"
#include "support/LogThrottle.h"

#include <gtest/gtest.h>

TEST(LogThrottle, TheFirstLineOfACauseAtOnceThenOneAMinuteWithItsCountUntilAQuietMinute)
{
    ManualClock clock;
    std::vector<std::string> lines;
    LogThrottle log(clock, [&lines](const std::string& line) { lines.push_back(line); });
    log.note("a", "refused 1");
    log.note("a", "refused 2");
    log.note("b", "other 1");
    log.note("a", "refused 3");
    EXPECT_EQ(lines, (std::vector<std::string>{"refused 1", "other 1"}));
    clock.advance(LogThrottle::EVERY);
    EXPECT_EQ(lines.back(), "refused 3 (2 since the last such line)");
    log.note("a", "refused 4");
    clock.advance(LogThrottle::EVERY);
    EXPECT_EQ(lines.back(), "refused 4 (1 since the last such line)");
    clock.advance(LogThrottle::EVERY);
    log.note("a", "refused 5");
    EXPECT_EQ(lines.size(), 5u);
    clock.advance(LogThrottle::EVERY - 1);
    log.note("a", "refused 6");
    EXPECT_EQ(lines.size(), 5u);
}
