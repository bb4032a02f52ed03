// The users of other nodes as learnt over the links, with what each link
// taught (how many users, on which channels, from which hosts, under which
// names), and the topics neighbours gave channels. Plain data: no I/O, no
// events; the network tells it what changed and asks it what is known.
#pragma once

#include "convers/NetworkTypes.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class RemoteTable {
public:
    using Users = std::map<std::string, RemoteUser>; // by lower-case name@host

    static std::string key(std::string_view name, std::string_view host);

    const Users& users() const { return users_; }
    size_t size() const { return users_.size(); }
    RemoteUser* find(const std::string& key);
    // By "name" (the first of that name) or "name@host", any case.
    const RemoteUser* findByName(const std::string& who) const;
    // The user of that name announced over the link, the one who may speak over it.
    RemoteUser* announcedOver(uint64_t linkId, const std::string& name);

    // A new user, on its one channel, learnt over `user.linkId`.
    RemoteUser& add(RemoteUser user);
    void join(RemoteUser& user, int32_t channel);
    void move(RemoteUser& user, int32_t from, int32_t to);
    // Off one channel; a user on none is still here until `erase`.
    void leave(RemoteUser& user, int32_t channel);
    void erase(const RemoteUser& user);

    std::vector<std::string> keysOf(uint64_t linkId) const;
    size_t usersOf(uint64_t linkId) const;
    bool carries(uint64_t linkId, int32_t channel) const;
    bool reaches(uint64_t linkId, const std::string& lowerHost) const;
    bool reachesAnywhere(const std::string& lowerHost) const { return hosts_.count(lowerHost) > 0; }
    bool channelUsed(int32_t channel) const;
    // Every user of one link becomes a user of another, silently.
    void moveLink(uint64_t from, uint64_t to, const std::string& neighbour);

    // A topic remembers the link that set it.
    void setTopic(int32_t channel, const std::string& text, uint64_t linkId);
    std::string topic(int32_t channel) const;
    // The channels whose topic that link set, now forgotten.
    std::vector<int32_t> dropTopicsOf(uint64_t linkId);
    void dropTopic(int32_t channel) { topics_.erase(channel); }

private:
    struct Taught {
        size_t users = 0;
        std::map<int32_t, size_t> channels;       // users per channel
        std::map<std::string, size_t> hosts;      // users per lower-case host
        std::map<std::string, std::string> names; // lower-case name -> a key
    };
    struct Topic {
        std::string text;
        uint64_t linkId = 0;
    };

    static void count(std::map<int32_t, size_t>& counts, int32_t channel, int delta);

    Users users_;
    std::map<std::string, size_t> hosts_; // users per lower-case host, over every link
    std::map<uint64_t, Taught> taught_;
    std::map<int32_t, Topic> topics_;
};
