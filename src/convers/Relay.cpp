// Lines between links, built for each link.
#include "convers/Relay.h"

#include "convers/HostLines.h"

#include <algorithm>

namespace {

// Never back to the link a user came over, nor, after a loop moved it to
// another link, to the neighbour that taught it.
bool goesTo(const Link& link, const RemoteUser& user)
{
    return link.id != user.linkId && lowerAscii(link.neighbour) != lowerAscii(user.origin);
}

} // namespace

void Relay::sendUser(Link& link, const RemoteUser& user, int32_t oldChannel, int32_t newChannel, int64_t number)
{
    const std::string key = RemoteTable::key(user.name, user.host);
    LinkSet::About about(links_, key, oldChannel == newChannel && newChannel >= 0);
    auto last = link.numbers.find(key);
    const int64_t sent = last == link.numbers.end() ? number : std::max(last->second + 1, number);
    link.proto->sendUser(
        {user.name, user.host, sent, oldChannel, newChannel, newChannel < 0 ? std::string() : user.note});
    if (newChannel < 0 && user.channels.empty())
        link.numbers.erase(key);
    else
        link.numbers[key] = sent;
}

void Relay::sendCmsg(Link& link, const std::string& name, int32_t channel, const std::string& text)
{
    link.proto->sendCmsg(name, channel, link.proto->isPp() ? text : link.marks.mark(name, channel, text, clock_()));
}

void Relay::user(const RemoteUser& user, int32_t oldChannel, int32_t newChannel, int64_t number)
{
    for (Link* link : links_.upLinks())
        if (goesTo(*link, user))
            sendUser(*link, user, oldChannel, newChannel, number);
}

void Relay::said(const RemoteUser& user, const std::string& nick, int32_t channel, const std::string& text)
{
    LinkSet::About about(links_, RemoteTable::key(user.name, user.host), false);
    for (Link* link : links_.upLinks())
        if (goesTo(*link, user) && table_.carries(link->id, channel))
            sendCmsg(*link, nick.empty() || !link->proto->hasCapability('n') ? user.name : user.name + ":" + nick,
                     channel, text);
}

void Relay::stationSaid(const std::string& name, int32_t channel, const std::string& text)
{
    for (Link* link : links_.upLinks())
        if (table_.carries(link->id, channel))
            sendCmsg(*link, name, channel, text);
}

bool Relay::privateLine(const RemoteUser& to, const std::string& from, const std::string& text)
{
    Link* link = links_.linkById(to.linkId);
    if (link == nullptr)
        return false;
    link->proto->sendUmsg(from, to.name, text);
    return true;
}

void Relay::invite(const RemoteUser& to, const std::string& from, int32_t channel)
{
    if (Link* link = links_.linkById(to.linkId))
        link->proto->sendInvite(from, to.name, channel);
}

void Relay::away(const RemoteUser& user, int64_t time)
{
    for (Link* link : links_.upLinks())
        if (goesTo(*link, user))
            link->proto->sendAway({user.name, user.host, time, user.away});
}

void Relay::topic(const Link& from, const TopicLine& topic)
{
    for (Link* link : links_.upLinks())
        if (link != &from)
            link->proto->sendTopic(topic);
}

void Relay::dest(const Link& from, std::string_view args)
{
    for (Link* link : links_.upLinks())
        if (link != &from && link->proto->hasCapability('d'))
            link->proto->relay("dest", args);
}

void Relay::dumpTo(Link& link)
{
    for (const auto& [key, user] : table_.users())
        if (goesTo(link, user))
            for (int32_t channel : user.channels)
                if (link.isUp())
                    sendUser(link, user, -1, channel, user.number);
}
