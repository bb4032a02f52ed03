// Where a line goes and how it is written for each link: a remote user's
// coming, moves and going to every link but its own, a channel's lines to
// the links that carry that channel, a private line toward its addressee,
// topics and routes onward. Every line is built afresh for the link it goes
// to, from what the table holds, never passed on as it came.
#pragma once

#include "convers/LinkSet.h"
#include "convers/RemoteTable.h"

#include <cstdint>
#include <string>
#include <string_view>

class Relay {
public:
    Relay(LinkSet& links, const RemoteTable& table) : links_(links), table_(table) {}

    // A remote user moved from `oldChannel` to `newChannel` (-1: joined or left).
    void user(const RemoteUser& user, int32_t oldChannel, int32_t newChannel, int64_t number);
    // A remote user's line, with the nickname its node gave.
    void said(const RemoteUser& user, const std::string& nick, int32_t channel, const std::string& text);
    // One of our stations' line, by its lower-case call.
    void stationSaid(const std::string& name, int32_t channel, const std::string& text);
    // False when the addressee's link is gone.
    bool privateLine(const RemoteUser& to, const std::string& from, const std::string& text);
    void topic(const Link& from, const TopicLine& topic);
    void dest(const Link& from, std::string_view args);
    // At link-up: every remote user that did not come over this link.
    void dumpTo(Link& link);

private:
    LinkSet& links_;
    const RemoteTable& table_;
};
