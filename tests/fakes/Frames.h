// AGWPE frames as an engine would send them, for tests that feed the link,
// and the frames the link reports back.
#pragma once

#include "link/AGWL2.h"
#include "link/AgwFrame.h"

#include <cstdint>
#include <string>
#include <vector>

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

// One frame as the link reported it through FOnFrame; Port is 1-based.
struct SeenFrame {
    uint8_t Port;
    uint8_t PID;
    char Kind;
    std::string CallFrom;
    std::string CallTo;
    std::string Data;
};

// Records every frame the link reports, in order.
inline void RecordFrames(TL2& link, std::vector<SeenFrame>& seen)
{
    link.FOnFrame = [&seen](TL2&, uint8_t port, uint8_t pid, char kind, const std::string& from, const std::string& to,
                            const std::string& data) {
        seen.push_back({port, pid, kind, from, to, data});
    };
}
