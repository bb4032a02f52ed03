// Where a line goes and how it is written for each link: a remote user's
// coming, moves and going to every link but its own, a channel's lines to
// the links that carry that channel, private lines and invitations toward
// their addressee, topics, away texts and routes onward. Every line is built
// afresh for the link it goes to, from what the table holds, never passed on
// as it came: toward a W node a relayed user's numbers grow on that link and
// a repeated line carries its mark; a nickname goes only where nicknames are
// known.
#pragma once

#include "convers/LinkSet.h"
#include "convers/RemoteTable.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class Relay {
public:
    using Clock = std::function<int64_t()>;

    Relay(LinkSet& links, const RemoteTable& table, Clock clock)
        : links_(links), table_(table), clock_(std::move(clock))
    {
    }

    // A remote user moved from `oldChannel` to `newChannel` (-1: joined or left).
    void user(const RemoteUser& user, int32_t oldChannel, int32_t newChannel, int64_t number);
    // A remote user's line, with the nickname its node gave.
    void said(const RemoteUser& user, const std::string& nick, int32_t channel, const std::string& text);
    // One of our stations' line, by its lower-case call.
    void stationSaid(const std::string& name, int32_t channel, const std::string& text);
    // False when the addressee's link is gone.
    bool privateLine(const RemoteUser& to, const std::string& from, const std::string& text);
    void invite(const RemoteUser& to, const std::string& from, int32_t channel);
    void away(const RemoteUser& user, int64_t time);
    void topic(const Link& from, const TopicLine& topic);
    void dest(const Link& from, std::string_view args);
    // At link-up: every remote user that did not come over this link.
    void dumpTo(Link& link);

private:
    void sendUser(Link& link, const RemoteUser& user, int32_t oldChannel, int32_t newChannel, int64_t number);
    void sendCmsg(Link& link, const std::string& name, int32_t channel, const std::string& text);

    LinkSet& links_;
    const RemoteTable& table_;
    Clock clock_;
};
