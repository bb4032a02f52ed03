// The trace file as tests compare it: lines cut at CR LF, each without the
// date and time that start it.
#pragma once

#include "fakes/TempDir.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Turns tracing on, every level up to `level`, into `file`.
inline void traceInto(TraceLog& log, int32_t level, const std::string& file)
{
    log.debug = "YES";
    log.level = level;
    log.logFile = file;
}

// Hex-dump lines start with " |" and carry no time stamp.
inline bool isHexDumpLine(std::string_view line)
{
    return line.rfind(" |", 0) == 0;
}

// The text after the first two blank-separated words (the date and the time);
// a line with fewer blanks is kept whole.
inline std::string stripTimeStamp(std::string_view line)
{
    const size_t first = line.find(' ');
    const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    return std::string(second == std::string_view::npos ? line : line.substr(second + 1));
}

// The file's lines as written, cut at CR LF; a last line without CR LF counts too.
inline std::vector<std::string> readLines(const std::filesystem::path& file)
{
    const std::string all = readFile(file);
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find("\r\n", at);
        if (end == std::string::npos)
            end = all.size();
        lines.push_back(all.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// The trace's lines, time stamps stripped, hex-dump lines kept whole.
inline std::vector<std::string> readTrace(const std::filesystem::path& file)
{
    std::vector<std::string> lines = readLines(file);
    for (std::string& line : lines)
        if (!isHexDumpLine(line))
            line = stripTimeStamp(line);
    return lines;
}

// The trace's text lines only, time stamps stripped, without the hex dumps.
inline std::vector<std::string> readTraceText(const std::filesystem::path& file)
{
    std::vector<std::string> text;
    for (const std::string& line : readLines(file))
        if (!isHexDumpLine(line))
            text.push_back(stripTimeStamp(line));
    return text;
}
