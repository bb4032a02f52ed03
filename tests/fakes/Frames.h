// AGWPE frames as an engine would send them, for tests that feed the link.
#pragma once

#include "link/AgwFrame.h"

#include <cstdint>
#include <string>

// One whole frame; `wirePort` is the 0-based header byte.
inline std::string Frame(uint8_t wirePort, char kind, uint8_t pid, const std::string& from, const std::string& to,
                         const std::string& data)
{
    AgwFrame frame;
    frame.WirePort = wirePort;
    frame.Kind = kind;
    frame.PID = pid;
    frame.CallFrom = from;
    frame.CallTo = to;
    frame.Data = data;
    return EncodeFrame(frame);
}
