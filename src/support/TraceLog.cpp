// The trace log: gate, time stamp, line and hex-dump formats.
#include "TraceLog.h"

#include "HexStr.h"

#include <cstdio>
#include <ctime>
#include <iostream>

TraceLog::TraceLog(std::string debug, int32_t trace, std::string logFile, bool unsignedLevels)
    : debug(std::move(debug)), level(trace), logFile(std::move(logFile)), unsignedLevels_(unsignedLevels)
{
}

std::string TraceLog::timeStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[128];
    size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
    return std::string(buffer, n);
}

void TraceLog::report()
{
    if (reported_)
        return;
    reported_ = true;
    std::cerr << "Palavoro: cannot write the trace log '" << logFile << "'; tracing to it is skipped\n";
}

bool TraceLog::append(std::string_view bytes)
{
    std::FILE* file = logFile.empty() ? nullptr : std::fopen(logFile.c_str(), "ab");
    bool ok = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    // In append mode the position after a write is the file's size.
    const long size = file != nullptr ? std::ftell(file) : 0;
    if (file != nullptr && std::fclose(file) != 0)
        ok = false;
    if (!ok)
        report();
    else if (maxBytes > 0 && size >= maxBytes && std::rename(logFile.c_str(), (logFile + ".1").c_str()) != 0)
        report();
    return ok;
}

void TraceLog::writeLine(std::string_view text)
{
    std::string line = timeStamp();
    line += ' ';
    line += text;
    line += "\r\n";
    append(line);
}

std::string TraceLog::hexLine(std::string_view bytes)
{
    std::string hex;
    std::string chars;
    for (unsigned char c : bytes) {
        chars += (c >= 0x20 && c <= 0x7A) ? static_cast<char>(c) : '.';
        hex += hexByte(c);
        hex += ' ';
    }
    for (size_t i = bytes.size(); i < 16; ++i) {
        chars += ' ';
        hex += "-- ";
    }
    return " |" + hex + "|" + chars;
}

void TraceLog::writeDump(std::string_view data)
{
    std::string block;
    block.reserve((data.size() / 16 + 1) * 69);
    for (size_t at = 0; at < data.size(); at += 16) {
        block += hexLine(data.substr(at, 16));
        block += "\r\n";
    }
    append(block);
}
