// The network as the server's parts see it: who is where under which host,
// the links, and the few things our stations do on it. No protocol types.
#pragma once

#include "convers/NetworkTypes.h"

#include <cstdint>
#include <string>
#include <vector>

class RemoteView {
public:
    virtual ~RemoteView() = default;

    // The remote users, each name@host once.
    virtual std::vector<const RemoteUser*> remoteUsers() const = 0;
    // By "name" (the first of that name) or "name@host", any case; none when unknown.
    virtual const RemoteUser* findRemote(const std::string& who) const = 0;
    virtual std::vector<LinkStatus> links() const = 0;
    // This node as the network knows it (its name, its listener) and its neighbours.
    virtual const NetworkConfig& config() const = 0;
    // The topic a neighbour gave a channel, empty when none.
    virtual std::string topic(int32_t channel) const = 0;

    // Our stations: where they are (-1: on no channel of the network), their
    // personal text, their departure, their lines, their private lines.
    virtual void localUser(const std::string& call, int32_t channel, const std::string& note) = 0;
    virtual void localLeft(const std::string& call) = 0;
    virtual void localSaid(const std::string& call, int32_t channel, const std::string& text) = 0;
    // False when no remote user of that name is known.
    virtual bool privateLine(const std::string& fromCall, const std::string& to, const std::string& text) = 0;
};
