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
    void dumpTo(Link& link);

private:
    // Kept after the station leaves: its number must still grow when it
    // comes back within the same second.
    struct Local {
        int32_t channel = -1;
        std::string note;
        int64_t number = 0;
        bool present = false;
    };

    void nextNumber(Local& local);
    void announce(const std::string& name, const Local& local, int32_t oldChannel, int32_t newChannel);

    LinkSet& links_;
    Clock clock_;
    std::map<std::string, Local> locals_; // by lower-case call
};
