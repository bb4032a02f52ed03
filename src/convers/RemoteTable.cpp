// The table of remote users and what each link taught.
#include "convers/RemoteTable.h"

#include "convers/HostLines.h"

#include <algorithm>

std::string RemoteTable::key(std::string_view name, std::string_view host)
{
    return lowerAscii(name) + "@" + lowerAscii(host);
}

RemoteUser* RemoteTable::find(const std::string& key)
{
    auto it = users_.find(key);
    return it == users_.end() ? nullptr : &it->second;
}

const RemoteUser* RemoteTable::findByName(const std::string& who) const
{
    const size_t at = who.find('@');
    if (at != std::string::npos) {
        auto it = users_.find(key(who.substr(0, at), who.substr(at + 1)));
        return it == users_.end() ? nullptr : &it->second;
    }
    const std::string name = lowerAscii(who);
    for (const auto& [k, user] : users_)
        if (lowerAscii(user.name) == name)
            return &user;
    return nullptr;
}

RemoteUser* RemoteTable::announcedOver(uint64_t linkId, const std::string& name)
{
    auto taught = taught_.find(linkId);
    if (taught == taught_.end())
        return nullptr;
    auto it = taught->second.names.find(lowerAscii(name));
    return it == taught->second.names.end() ? nullptr : find(it->second);
}

void RemoteTable::count(std::map<int32_t, size_t>& counts, int32_t channel, int delta)
{
    size_t& n = counts[channel];
    n = delta > 0 ? n + 1 : n - 1;
    if (n == 0)
        counts.erase(channel);
}

RemoteUser& RemoteTable::add(RemoteUser user)
{
    const std::string k = key(user.name, user.host);
    Taught& taught = taught_[user.linkId];
    ++taught.users;
    ++taught.hosts[lowerAscii(user.host)];
    ++hosts_[lowerAscii(user.host)];
    for (int32_t channel : user.channels)
        count(taught.channels, channel, +1);
    taught.names.emplace(lowerAscii(user.name), k);
    return users_.insert_or_assign(k, std::move(user)).first->second;
}

void RemoteTable::join(RemoteUser& user, int32_t channel)
{
    if (std::find(user.channels.begin(), user.channels.end(), channel) != user.channels.end())
        return;
    user.channels.insert(std::upper_bound(user.channels.begin(), user.channels.end(), channel), channel);
    count(taught_[user.linkId].channels, channel, +1);
}

void RemoteTable::move(RemoteUser& user, int32_t from, int32_t to)
{
    leave(user, from);
    join(user, to);
}

void RemoteTable::leave(RemoteUser& user, int32_t channel)
{
    auto it = std::find(user.channels.begin(), user.channels.end(), channel);
    if (it == user.channels.end())
        return;
    user.channels.erase(it);
    count(taught_[user.linkId].channels, channel, -1);
}

void RemoteTable::erase(const RemoteUser& user)
{
    const std::string k = key(user.name, user.host);
    if (auto host = hosts_.find(lowerAscii(user.host)); host != hosts_.end() && --host->second == 0)
        hosts_.erase(host);
    auto taught = taught_.find(user.linkId);
    if (taught != taught_.end()) {
        Taught& t = taught->second;
        for (int32_t channel : user.channels)
            count(t.channels, channel, -1);
        const std::string host = lowerAscii(user.host);
        if (--t.hosts[host] == 0)
            t.hosts.erase(host);
        auto name = t.names.find(lowerAscii(user.name));
        if (name != t.names.end() && name->second == k)
            t.names.erase(name);
        if (--t.users == 0)
            taught_.erase(taught);
    }
    users_.erase(k);
}

std::vector<std::string> RemoteTable::keysOf(uint64_t linkId) const
{
    std::vector<std::string> keys;
    for (const auto& [k, user] : users_)
        if (user.linkId == linkId)
            keys.push_back(k);
    return keys;
}

size_t RemoteTable::usersOf(uint64_t linkId) const
{
    auto it = taught_.find(linkId);
    return it == taught_.end() ? 0 : it->second.users;
}

bool RemoteTable::carries(uint64_t linkId, int32_t channel) const
{
    auto it = taught_.find(linkId);
    return it != taught_.end() && it->second.channels.count(channel) > 0;
}

bool RemoteTable::reaches(uint64_t linkId, const std::string& lowerHost) const
{
    auto it = taught_.find(linkId);
    return it != taught_.end() && it->second.hosts.count(lowerHost) > 0;
}

bool RemoteTable::channelUsed(int32_t channel) const
{
    return std::any_of(taught_.begin(), taught_.end(),
                       [channel](const auto& entry) { return entry.second.channels.count(channel) > 0; });
}

void RemoteTable::moveLink(uint64_t from, uint64_t to, const std::string& neighbour)
{
    auto it = taught_.find(from);
    if (it == taught_.end() || from == to)
        return;
    Taught moved = std::move(it->second);
    taught_.erase(it);
    Taught& heir = taught_[to];
    heir.users += moved.users;
    for (const auto& [channel, n] : moved.channels)
        heir.channels[channel] += n;
    for (const auto& [host, n] : moved.hosts)
        heir.hosts[host] += n;
    heir.names.merge(moved.names);
    for (auto& [k, user] : users_)
        if (user.linkId == from) {
            user.linkId = to;
            user.link = neighbour;
        }
    for (auto& [channel, topic] : topics_)
        if (topic.linkId == from)
            topic.linkId = to;
}

void RemoteTable::setTopic(int32_t channel, const std::string& text, uint64_t linkId)
{
    topics_[channel] = {text, linkId};
}

std::string RemoteTable::topic(int32_t channel) const
{
    auto it = topics_.find(channel);
    return it == topics_.end() ? std::string() : it->second.text;
}

std::vector<int32_t> RemoteTable::dropTopicsOf(uint64_t linkId)
{
    std::vector<int32_t> channels;
    for (auto it = topics_.begin(); it != topics_.end();) {
        if (it->second.linkId == linkId) {
            channels.push_back(it->first);
            it = topics_.erase(it);
        } else {
            ++it;
        }
    }
    return channels;
}
