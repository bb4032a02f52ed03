#include "TraceLog.h"

#include "HexStr.h"

#include <cstdio>
#include <ctime>
#include <iostream>

TraceLog::TraceLog(std::string debug, int32_t trace, std::string logFile, bool unsignedLevels)
    : Debug(std::move(debug)), Trace(trace), LogFile(std::move(logFile)), unsignedLevels_(unsignedLevels)
{
}

bool TraceLog::Enabled(uint8_t level) const
{
    if (Debug != "YES")
        return false;
    if (unsignedLevels_)
        return static_cast<uint32_t>(level) <= static_cast<uint32_t>(Trace);
    return static_cast<int32_t>(level) <= Trace;
}

std::string TraceLog::TimeStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[128];
    size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
    return std::string(buffer, n);
}

bool TraceLog::Append(std::string_view bytes)
{
    std::FILE* file = LogFile.empty() ? nullptr : std::fopen(LogFile.c_str(), "ab");
    bool ok = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file != nullptr && std::fclose(file) != 0)
        ok = false;
    if (!ok && !reported_) {
        reported_ = true;
        std::cerr << "Palavoro: cannot write the trace log '" << LogFile << "'; tracing to it is skipped\n";
    }
    return ok;
}

void TraceLog::WriteLog(uint8_t level, std::string_view text)
{
    if (!Enabled(level))
        return;
    std::string line = TimeStamp();
    line += ' ';
    line += text;
    line += "\r\n";
    Append(line);
}

std::string TraceLog::HexLine(std::string_view bytes)
{
    std::string hex;
    std::string chars;
    for (unsigned char c : bytes) {
        chars += (c >= 0x20 && c <= 0x7A) ? static_cast<char>(c) : '.';
        hex += HexByte(c);
        hex += ' ';
    }
    for (size_t i = bytes.size(); i < 16; ++i) {
        chars += ' ';
        hex += "-- ";
    }
    return " |" + hex + "|" + chars;
}

void TraceLog::WriteHex(uint8_t level, std::string_view data)
{
    if (data.empty() || !Enabled(level))
        return;
    std::string block;
    block.reserve((data.size() / 16 + 1) * 69);
    for (size_t at = 0; at < data.size(); at += 16) {
        block += HexLine(data.substr(at, 16));
        block += "\r\n";
    }
    Append(block);
}

void TraceLog::Truncate()
{
    std::FILE* file = LogFile.empty() ? nullptr : std::fopen(LogFile.c_str(), "wb");
    if (file == nullptr) {
        if (!reported_) {
            reported_ = true;
            std::cerr << "Palavoro: cannot write the trace log '" << LogFile << "'; tracing to it is skipped\n";
        }
        return;
    }
    std::fclose(file);
}
