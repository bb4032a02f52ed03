// Parties with work waiting (stations, host links) served in turn: each gets
// a turn of a few items, round robin, for as long as `allowed` says that more
// output may be made. What one party sends in a burst then waits behind one
// turn of every other party's, not behind the whole burst.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>

class Turns {
public:
    // `turn` does one turn of the party's work and says whether any is left.
    void ready(const std::string& party, std::function<bool()> turn);
    void forget(const std::string& party);
    // Turns while allowed and while work waits; from inside a turn it
    // returns at once (the turn in progress goes on serving).
    void serve();
    bool waiting() const { return !order_.empty(); }

    std::function<bool()> allowed;

private:
    std::deque<std::string> order_;
    std::map<std::string, std::function<bool()>> parties_; // those in order_
    bool serving_ = false;
};
