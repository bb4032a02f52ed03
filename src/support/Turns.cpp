// Round-robin turns, of two kinds turn about.
#include "support/Turns.h"

#include <algorithm>

void Turns::ready(const std::string& party, Turn turn, Kind kind)
{
    if (parties_.emplace(party, std::move(turn)).second)
        queue(kind).push_back(party);
}

void Turns::forget(const std::string& party)
{
    parties_.erase(party);
    // Not in a queue while its own turn runs.
    for (std::deque<std::string>* q : {&lines_, &comings_})
        if (auto it = std::find(q->begin(), q->end(), party); it != q->end())
            q->erase(it);
}

void Turns::serve()
{
    if (serving_)
        return;
    serving_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{serving_};
    while (waiting() && (!allowed || allowed())) {
        if (queue(next_).empty())
            next_ = next_ == Kind::Lines ? Kind::Comings : Kind::Lines;
        std::deque<std::string>& from = queue(next_);
        next_ = next_ == Kind::Lines ? Kind::Comings : Kind::Lines;
        const std::string party = from.front();
        from.pop_front();
        // The party stays known while its turn runs, so that work it makes
        // for itself does not queue it twice.
        const Turn turn = parties_.at(party);
        const std::optional<Kind> more = turn();
        auto it = parties_.find(party);
        if (it == parties_.end())
            continue;
        if (more)
            queue(*more).push_back(party);
        else
            parties_.erase(it);
    }
}
