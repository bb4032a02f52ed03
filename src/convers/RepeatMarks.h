// The lines sent over one link to a W node, which drops a CMSG identical to
// one of the last 30 minutes: a repeat gets W's own mark, 0xA0 and a counter,
// so that every line sent differs from those it still remembers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>

class RepeatMarks {
public:
    static constexpr int64_t WINDOW = 30 * 60 * 1000;
    // Lines remembered at the most; the oldest go first.
    static constexpr size_t MOST = 10000;

    // The text to send for `name`'s line on `channel` at `now` (ms): as it is,
    // or with the lowest mark not sent with an identical line in the window.
    std::string mark(std::string_view name, int32_t channel, std::string_view text, int64_t now);

    // A trailing 0xA0 and digits: the mark a W node put on its user's repeat.
    static std::string strip(std::string text);

private:
    struct Sent {
        uint64_t line = 0; // a hash of name, channel and text
        uint32_t mark = 0; // 0: none
        int64_t at = 0;
    };

    std::deque<Sent> sent_;
    std::map<uint64_t, std::set<uint32_t>> live_; // the marks each line was sent with in the window
};
