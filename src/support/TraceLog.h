// The diagnostic trace: time-stamped lines and hex dumps appended to one file,
// gated by a switch and a verbosity level. The file is opened and closed on
// every call, so several owners can share it. A trace never throws: a file that
// cannot be written is reported once on standard error and skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TraceLog {
public:
    TraceLog(std::string debug, int32_t trace, std::string logFile, bool unsignedLevels = false);

    std::string debug;   // tracing happens only when this is exactly "YES"
    int32_t level;       // a line whose level is at most this is written
    std::string logFile; // path of the log file
    // Past this size the file becomes logFile + ".1" (replacing an older one)
    // and a new one is begun; 0 or less = no bound.
    int64_t maxBytes = 0;

    // A line or a hex dump, when its level is written; otherwise the call
    // costs the level check alone.
    void writeLog(uint8_t lineLevel, std::string_view text)
    {
        if (enabled(lineLevel))
            writeLine(text);
    }
    void writeHex(uint8_t lineLevel, std::string_view data)
    {
        if (!data.empty() && enabled(lineLevel))
            writeDump(data);
    }

    // True when a line of this level is written. Cheap, so that a caller can
    // skip building a text no one will read.
    bool enabled(uint8_t lineLevel) const
    {
        const bool shown = unsignedLevels_ ? static_cast<uint32_t>(lineLevel) <= static_cast<uint32_t>(level)
                                           : static_cast<int32_t>(lineLevel) <= level;
        return shown && debug.size() == 3 && debug[0] == 'Y' && debug[1] == 'E' && debug[2] == 'S';
    }

    // One hex-dump line of up to 16 bytes, exactly 67 characters.
    static std::string hexLine(std::string_view bytes);
    // "date time" in the current locale's short date and time to the second.
    static std::string timeStamp();

private:
    void writeLine(std::string_view text);
    void writeDump(std::string_view data);
    bool append(std::string_view bytes);
    void report();

    bool unsignedLevels_; // the chat server compares levels as unsigned numbers
    bool reported_ = false;
};
