// Standard error's lines: the journal's priority prefix, or the UTC time.
#include "shell/ConsoleLog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

TEST(ConsoleLog, JournalLinesCarryTheirPriorityOtherLinesTheirUtcTime)
{
    const ConsoleLog journal(true);
    const ConsoleLog terminal(false, [] { return int64_t{1796688062000}; });
    EXPECT_EQ(journal.format(LogPriority::Error, "Palavoro 0.10 Initialization Failure: x"),
              "<3>Palavoro 0.10 Initialization Failure: x");
    EXPECT_EQ(journal.format(ConsoleLog::priorityOf("link broken: Connection reset by peer"), "b"), "<4>b");
    EXPECT_EQ(journal.format(ConsoleLog::priorityOf("link refused from 10.9.2.1: too many"), "r"), "<4>r");
    EXPECT_EQ(journal.format(ConsoleLog::priorityOf("link unreachable: wam1 at 10.9.2.1:3600: x"), "u"), "<4>u");
    EXPECT_EQ(journal.format(ConsoleLog::priorityOf("left N0ABC port 1: link lost: x"), "l"), "<6>l");
    EXPECT_EQ(terminal.format(LogPriority::Warning, "link up: engine at 127.0.0.1:8000"),
              "2026-12-08T00:01:02Z link up: engine at 127.0.0.1:8000");
}

TEST(ConsoleLog, StandardErrorIsTheJournalOnlyWhenJournalStreamNamesIt)
{
    struct stat standardError {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &standardError), 0);
    const char* inherited = std::getenv("JOURNAL_STREAM");
    const std::optional<std::string> saved = inherited ? std::optional<std::string>(inherited) : std::nullopt;
    const std::string device = std::to_string(standardError.st_dev) + ":";

    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(ConsoleLog::stderrIsJournal());
    ::setenv("JOURNAL_STREAM", (device + std::to_string(standardError.st_ino)).c_str(), 1);
    EXPECT_TRUE(ConsoleLog::stderrIsJournal());
    ::setenv("JOURNAL_STREAM", (device + std::to_string(standardError.st_ino + 1)).c_str(), 1);
    EXPECT_FALSE(ConsoleLog::stderrIsJournal()) << "a stream the server inherited the variable with";

    if (saved)
        ::setenv("JOURNAL_STREAM", saved->c_str(), 1);
    else
        ::unsetenv("JOURNAL_STREAM");
}
