#include "ConsoleLog.h"

#include "server/ServerStatus.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <iostream>
#include <string>

ConsoleLog::ConsoleLog(bool journal, WallClock clock) : journal_(journal), clock_(std::move(clock)) {}

bool ConsoleLog::stderrIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat standardError {};
    if (stream == nullptr || ::fstat(STDERR_FILENO, &standardError) != 0)
        return false;
    return std::string(stream) == std::to_string(standardError.st_dev) + ":" + std::to_string(standardError.st_ino);
}

std::string ConsoleLog::format(LogPriority priority, std::string_view text) const
{
    if (!journal_)
        return isoTime(clock_()) + " " + std::string(text);
    switch (priority) {
    case LogPriority::Error:
        return SD_ERR + std::string(text);
    case LogPriority::Warning:
        return SD_WARNING + std::string(text);
    case LogPriority::Info:
        break;
    }
    return SD_INFO + std::string(text);
}

void ConsoleLog::write(LogPriority priority, std::string_view text) const
{
    std::cerr << format(priority, text) << std::endl;
}

LogPriority ConsoleLog::priorityOf(std::string_view line)
{
    constexpr std::array trouble = {"link broken: ", "link refused ",     "link looping: ",    "link unreachable: ",
                                    "tcp refused ",  "tcp login failed ", "tcp users: cannot "};
    for (std::string_view start : trouble)
        if (line.starts_with(start))
            return LogPriority::Warning;
    return LogPriority::Info;
}
