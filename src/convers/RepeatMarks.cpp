// Marks on repeated lines toward W nodes.
#include "convers/RepeatMarks.h"

#include <functional>

std::string RepeatMarks::mark(std::string_view name, int32_t channel, std::string_view text, int64_t now)
{
    while (!sent_.empty() && (sent_.size() >= MOST || sent_.front().at <= now - WINDOW)) {
        const Sent& old = sent_.front();
        auto it = live_.find(old.line);
        it->second.erase(old.mark);
        if (it->second.empty())
            live_.erase(it);
        sent_.pop_front();
    }
    std::string key(name);
    key.append(1, '\0').append(std::to_string(channel)).append(1, '\0').append(text);
    const uint64_t line = std::hash<std::string>{}(key);
    std::set<uint32_t>& marks = live_[line];
    uint32_t mark = 0;
    while (marks.count(mark) > 0)
        ++mark;
    marks.insert(mark);
    sent_.push_back({line, mark, now});
    std::string out(text);
    if (mark > 0)
        out.append("\xa0").append(std::to_string(mark));
    return out;
}

std::string RepeatMarks::strip(std::string text)
{
    size_t digits = text.size();
    while (digits > 0 && text[digits - 1] >= '0' && text[digits - 1] <= '9')
        --digits;
    // A mark follows the words it marks.
    if (digits < text.size() && digits > 1 && text[digits - 1] == '\xa0')
        text.resize(digits - 1);
    return text;
}
