// Our stations as the network sees them.
#include "convers/LocalUsers.h"

#include "convers/HostLines.h"

#include <algorithm>

void LocalUsers::nextNumber(Local& local)
{
    // W nodes ignore a USER whose number does not grow.
    local.number = std::max({local.number + 1, local.received + 1, clock_() / 1000});
}

void LocalUsers::announce(const std::string& name, const Local& local, int32_t oldChannel, int32_t newChannel)
{
    const std::string& host = links_.hostName();
    LinkSet::About about(links_, name + "@" + host, oldChannel == newChannel && newChannel >= 0);
    for (Link* link : links_.upLinks()) {
        // A PP node keeps a user on several channels: a move is a leave and a join.
        if (link->proto->isPp() && oldChannel >= 0 && newChannel >= 0 && oldChannel != newChannel) {
            link->proto->sendUser({name, host, local.number, oldChannel, -1, local.note});
            link->proto->sendUser({name, host, local.number, -1, newChannel, local.note});
        } else {
            link->proto->sendUser({name, host, local.number, oldChannel, newChannel, local.note});
        }
    }
}

int32_t LocalUsers::changed(const std::string& call, int32_t channel, const std::string& note)
{
    const std::string name = lowerAscii(call);
    Local& local = locals_[name];
    const std::string text = oneLine(note);
    const int32_t old = local.channel;
    if (local.present && old == channel && local.note == text)
        return old;
    local.present = true;
    local.channel = channel;
    local.note = text;
    nextNumber(local);
    if (old >= 0 || channel >= 0)
        announce(name, local, old, channel);
    return old;
}

int32_t LocalUsers::left(const std::string& call)
{
    auto it = locals_.find(lowerAscii(call));
    if (it == locals_.end() || !it->second.present)
        return -1;
    Local& local = it->second;
    const int32_t old = local.channel;
    local.present = false;
    local.channel = -1;
    if (old >= 0) {
        nextNumber(local);
        announce(it->first, local, old, -1);
    }
    return old;
}

bool LocalUsers::present(const std::string& name) const
{
    auto it = locals_.find(name);
    return it != locals_.end() && it->second.present;
}

bool LocalUsers::onChannel(int32_t channel) const
{
    return std::any_of(locals_.begin(), locals_.end(),
                       [channel](const auto& entry) { return entry.second.present && entry.second.channel == channel; });
}

bool LocalUsers::corrected(const std::string& name, int64_t number, bool gone)
{
    auto it = locals_.find(name);
    if (it == locals_.end())
        return false;
    Local& local = it->second;
    local.received = std::max(local.received, number);
    // Our own line come back over a loop, or an old one.
    if (number < local.number || (number == local.number && !gone))
        return true;
    if (local.present && local.channel >= 0) {
        nextNumber(local);
        announce(name, local, -1, local.channel);
    }
    return true;
}

void LocalUsers::dumpTo(Link& link)
{
    for (auto& [name, local] : locals_)
        if (local.present && local.channel >= 0 && link.isUp()) {
            nextNumber(local);
            link.proto->sendUser({name, links_.hostName(), local.number, -1, local.channel, local.note});
        }
}
