// Round-robin turns.
#include "support/Turns.h"

#include <algorithm>

void Turns::ready(const std::string& party, std::function<bool()> turn)
{
    if (parties_.emplace(party, std::move(turn)).second)
        order_.push_back(party);
}

void Turns::forget(const std::string& party)
{
    parties_.erase(party);
    // Not in the order while its own turn runs.
    if (auto it = std::find(order_.begin(), order_.end(), party); it != order_.end())
        order_.erase(it);
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
    while (!order_.empty() && (!allowed || allowed())) {
        const std::string party = order_.front();
        order_.pop_front();
        // The party stays known while its turn runs, so that work it makes
        // for itself does not queue it twice.
        const std::function<bool()> turn = parties_.at(party);
        const bool more = turn();
        auto it = parties_.find(party);
        if (it == parties_.end())
            continue;
        if (more)
            order_.push_back(party);
        else
            parties_.erase(it);
    }
}
