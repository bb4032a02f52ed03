// Standard error's lines: the journal's priority prefix, or the UTC time.
#include "shell/ConsoleLog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

TEST(ConsoleLog, JournalLinesCarryTheirPriorityOtherLinesTheirUtcTime)
{
    const ConsoleLog journal(true);
    EXPECT_EQ(journal.format(LogPriority::Error, "e"), "<3>e");
    for (const char* trouble : {"link broken: Connection reset by peer", "link refused from 10.9.2.1: too many",
                                "link unreachable: wam1 at 10.9.2.1:3600: Connection refused"})
        EXPECT_EQ(journal.format(ConsoleLog::priorityOf(trouble), "w"), "<4>w") << trouble;
    EXPECT_EQ(journal.format(ConsoleLog::priorityOf("left N0ABC port 1: link lost: x"), "i"), "<6>i");
    EXPECT_EQ(ConsoleLog(false, [] { return int64_t{1796688062000}; }).format(LogPriority::Warning, "link up"),
              "2026-12-08T00:01:02Z link up");
}

TEST(ConsoleLog, StandardErrorIsTheJournalOnlyWhenJournalStreamNamesIt)
{
    struct stat standardError {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &standardError), 0);
    const std::string device = std::to_string(standardError.st_dev) + ":";
    ::setenv("JOURNAL_STREAM", (device + std::to_string(standardError.st_ino)).c_str(), 1);
    EXPECT_TRUE(ConsoleLog::stderrIsJournal());
    // A stream the server inherited the variable with, not its own.
    ::setenv("JOURNAL_STREAM", (device + std::to_string(standardError.st_ino + 1)).c_str(), 1);
    EXPECT_FALSE(ConsoleLog::stderrIsJournal());
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(ConsoleLog::stderrIsJournal());
}
