// AGWPE frames as an engine would send them, for tests that feed the link,
// and the frames the link reports back.
#pragma once

#include "link/AgwFrame.h"
#include "link/AgwLink.h"

#include <cstdint>
#include <string>
#include <vector>

// One whole frame; `wirePort` is the 0-based header byte.
inline std::string agwFrame(uint8_t wirePort, char kind, uint8_t pid, const std::string& from, const std::string& to,
                            const std::string& data)
{
    AgwFrame frame;
    frame.wirePort = wirePort;
    frame.kind = kind;
    frame.pid = pid;
    frame.callFrom = from;
    frame.callTo = to;
    frame.data = data;
    return encodeFrame(frame);
}

// One frame as the link reported it through onFrame; Port is 1-based.
struct SeenFrame {
    RadioPort port;
    uint8_t pid;
    char kind;
    std::string callFrom;
    std::string callTo;
    std::string data;
};

// Records every frame the link reports, in order.
inline void recordFrames(AgwLink& link, std::vector<SeenFrame>& seen)
{
    link.onFrame = [&seen](AgwLink&, RadioPort port, uint8_t pid, char kind, const std::string& from,
                           const std::string& to, const std::string& data) {
        seen.push_back({port, pid, kind, from, to, data});
    };
}
