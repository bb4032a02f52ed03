// What the fuzz targets share: a reader that takes control bytes off the
// input, a trace directory made once per process, and a check of the frames
// the link sent.
#pragma once

#include "fakes/TempDir.h"
#include "link/AgwFrame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    bool empty() const { return rest_.empty(); }
    // The next byte, 0 once the input is used up.
    uint8_t byte()
    {
        if (rest_.empty())
            return 0;
        const auto byte = static_cast<uint8_t>(rest_[0]);
        rest_.remove_prefix(1);
        return byte;
    }
    // Up to `count` bytes.
    std::string_view take(size_t count)
    {
        const std::string_view taken = rest_.substr(0, count);
        rest_.remove_prefix(taken.size());
        return taken;
    }
    // Up to the next LF (dropped) or the end.
    std::string_view line()
    {
        const size_t end = rest_.find('\n');
        const std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return line;
    }
    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

// One directory for the whole run; each input removes the trace it wrote.
inline const TempDir& workDir()
{
    static const TempDir dir("palavoro-fuzz");
    return dir;
}

// The link must only ever send whole frames whose length matches their data,
// and never split a data frame into pieces longer than the engine takes.
inline void checkSentFrames(std::string_view sent)
{
    size_t at = 0;
    while (at < sent.size()) {
        if (sent.size() - at < AGW_HEADER_SIZE)
            std::abort();
        const AgwFrame header = parseHeader(sent.substr(at, AGW_HEADER_SIZE));
        if (sent.size() - at - AGW_HEADER_SIZE < header.dataLen)
            std::abort();
        if (header.kind == 'D' && header.dataLen >= MAXFRAME)
            std::abort();
        at += AGW_HEADER_SIZE + header.dataLen;
    }
}

} // namespace fuzz
