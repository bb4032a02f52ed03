// Parties with work waiting (stations, host links) served in turn: each gets
// a turn of a few items, round robin, for as long as `allowed` says that more
// output may be made. What one party sends in a burst then waits behind one
// turn of every other party's, not behind the whole burst.
//
// Work is of two kinds, served turn about: lines (what stations and
// neighbours say) and comings and goings (a station's arrival, departure or
// limit, each announced to its area). A line then waits for at most one turn
// of a burst of comings and goings, and they for one turn of lines.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

class Turns {
public:
    enum class Kind { Lines, Comings };
    // One turn of a party's work; the kind of its next work, none when none is left.
    using Turn = std::function<std::optional<Kind>()>;

    // The party has work of that kind next (no change when it is waiting already).
    void ready(const std::string& party, Turn turn, Kind kind);
    void forget(const std::string& party);
    // Turns while allowed and while work waits; from inside a turn it
    // returns at once (the turn in progress goes on serving).
    void serve();
    bool waiting() const { return !lines_.empty() || !comings_.empty(); }

    std::function<bool()> allowed;

private:
    std::deque<std::string>& queue(Kind kind) { return kind == Kind::Lines ? lines_ : comings_; }

    std::deque<std::string> lines_;
    std::deque<std::string> comings_;
    std::map<std::string, Turn> parties_; // waiting, or in their turn
    Kind next_ = Kind::Lines;
    bool serving_ = false;
};
