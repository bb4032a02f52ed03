#include "convers/RepeatMarks.h"

#include <gtest/gtest.h>

TEST(RepeatMarks, ARepeatGetsTheLowestMarkNotSentWithinHalfAnHourAndAtMostTenThousandLinesAreKept)
{
    RepeatMarks marks;
    EXPECT_EQ(marks.mark("n0abc", 0, "yes", 0), "yes");
    EXPECT_EQ(marks.mark("n0abc", 0, "yes", 1), "yes\xa0" "1");
    EXPECT_EQ(marks.mark("n0abc", 7, "yes", 1), "yes");
    // The plain line is forgotten, the first mark not yet.
    EXPECT_EQ(marks.mark("n0abc", 0, "yes", RepeatMarks::WINDOW), "yes");
    EXPECT_EQ(marks.mark("n0abc", 0, "yes", RepeatMarks::WINDOW + 1), "yes\xa0" "1");

    RepeatMarks many;
    for (size_t i = 0; i < RepeatMarks::MOST; ++i)
        many.mark("n0abc", 0, std::to_string(i), 0);
    EXPECT_EQ(many.mark("n0abc", 0, "1", 0), "1\xa0" "1");
    EXPECT_EQ(many.mark("n0abc", 0, "0", 0), "0");
}

TEST(RepeatMarks, OnlyATrailingNoBreakSpaceWithDigitsIsAMark)
{
    EXPECT_EQ(RepeatMarks::strip("same words\xa0" "12"), "same words");
    for (const char* text : {"caf\xa0", "12", "\xa0" "1", "a\xa0" "1b"})
        EXPECT_EQ(RepeatMarks::strip(text), text);
}
