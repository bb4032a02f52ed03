// What the status page counts since start-up, and the wall clock that stamps
// connections, lines and the link's changes.
#pragma once

#include <cstdint>
#include <functional>

// Milliseconds since the Unix epoch.
using WallClock = std::function<int64_t()>;
int64_t systemMilliseconds();

struct ServerStats {
    // Tests put a manual clock here.
    WallClock clock = systemMilliseconds;
    int64_t now() const { return clock(); }

    int64_t startedAt = 0;
    // When the link to the engine last changed its state.
    int64_t linkSince = 0;
    // Lines that stations said and that went to their area.
    uint64_t linesRelayed = 0;
    // Bytes of text handed to the engine for the stations.
    uint64_t bytesSent = 0;
    uint64_t connects = 0;
    uint64_t refusals = 0;
};
