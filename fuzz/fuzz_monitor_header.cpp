// The header text of a monitored frame, as the engine writes it, read into
// its fields; anything may arrive there.
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "link/AgwLink.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static ManualClock clock;
    static AgwLink l2(std::make_unique<FakeSocket>(), clock);
    const MonitorHeader h = l2.getHeader(std::string(reinterpret_cast<const char*>(data), size));
    // The information field is cut to one frame's worth (a CR may join its two lines), and a data
    // frame always carries some.
    if (h.info.size() > 257)
        std::abort();
    if ((h.frameType == "I" || h.frameType == "UI") && h.info.empty())
        std::abort();
    return 0;
}
