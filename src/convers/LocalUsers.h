// Our stations on the network: where each is, its personal text, and the
// numbers its USER lines carry, announced to every link as they change and
// to a new link at its link-up.
#pragma once

#include "convers/LinkSet.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

class LocalUsers {
public:
    using Clock = std::function<int64_t()>;

    LocalUsers(LinkSet& links, Clock clock) : links_(links), clock_(std::move(clock)) {}

    // `channel` is -1 for a station on no channel of the network. Both give
    // the channel the station was on before, -1 for none.
    int32_t changed(const std::string& call, int32_t channel, const std::string& note);
    int32_t left(const std::string& call);
    // By lower-case call: a station that is on now.
    bool present(const std::string& name) const;
    bool onChannel(int32_t channel) const;
    // A neighbour named one of our stations (lower-case call) with `number`:
    // above what we sent, or equal to it in a departure we never sent, it is
    // a correction (a W node raised it after losing a link and forgot the
    // station), answered on every link with a number above it while the
    // station is on. False when no station of that name was ever ours.
    bool corrected(const std::string& name, int64_t number, bool gone);
    // At link-up each station goes out with a number above any sent or received.
    void dumpTo(Link& link);

private:
    // Kept after the station leaves: its number must still grow when it
    // comes back within the same second.
    struct Local {
        int32_t channel = -1;
        std::string note;
        int64_t number = 0;   // the last we sent
        int64_t received = 0; // the highest a neighbour sent for it
        bool present = false;
    };

    void nextNumber(Local& local);
    void announce(const std::string& name, const Local& local, int32_t oldChannel, int32_t newChannel);

    LinkSet& links_;
    Clock clock_;
    std::map<std::string, Local> locals_; // by lower-case call
};
