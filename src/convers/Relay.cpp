// Lines between links, built for each link.
#include "convers/Relay.h"

void Relay::user(const RemoteUser& user, int32_t oldChannel, int32_t newChannel, int64_t number)
{
    for (Link* link : links_.upLinks())
        if (link->id != user.linkId)
            link->proto->sendUser(
                {user.name, user.host, number, oldChannel, newChannel, newChannel < 0 ? std::string() : user.note});
}

void Relay::said(const RemoteUser& user, const std::string& nick, int32_t channel, const std::string& text)
{
    for (Link* link : links_.upLinks())
        if (link->id != user.linkId && table_.carries(link->id, channel))
            link->proto->sendCmsg(nick.empty() || !link->proto->hasCapability('n') ? user.name : user.name + ":" + nick,
                                  channel, text);
}

void Relay::stationSaid(const std::string& name, int32_t channel, const std::string& text)
{
    for (Link* link : links_.upLinks())
        if (table_.carries(link->id, channel))
            link->proto->sendCmsg(name, channel, text);
}

bool Relay::privateLine(const RemoteUser& to, const std::string& from, const std::string& text)
{
    Link* link = links_.linkById(to.linkId);
    if (link == nullptr)
        return false;
    link->proto->sendUmsg(from, to.name, text);
    return true;
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
        if (user.linkId != link.id)
            for (int32_t channel : user.channels)
                if (link.isUp())
                    link.proto->sendUser({user.name, user.host, user.number, -1, channel, user.note});
}
