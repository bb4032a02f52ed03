// Users of other nodes in our areas, and our stations on the network.
#include "server/NetworkAreas.h"

#include "support/HexStr.h"

#include <algorithm>

NetworkAreas::NetworkAreas(Directory& directory, Delivery& delivery, RemoteView& network,
                           const std::unique_ptr<AgwLink>& link, TraceLog& log)
    : directory_(directory), delivery_(delivery), network_(network), link_(link), log_(log)
{
}

int32_t NetworkAreas::channelOf(int32_t areaId)
{
    const Area* area = directory_.findArea(areaId);
    return area != nullptr && area->onNetwork() ? areaId : -1;
}

void NetworkAreas::stationChanged(const Station& station)
{
    network_.localUser(station.callSign, channelOf(station.areaId), station.info);
}

void NetworkAreas::stationRemoved(const Station& station)
{
    network_.localLeft(station.callSign);
}

void NetworkAreas::stationSaid(const Station& station, int32_t areaId, const std::string& text)
{
    const int32_t channel = channelOf(areaId);
    if (channel >= 0)
        network_.localSaid(station.callSign, channel, text);
}

Area* NetworkAreas::areaFor(int32_t channel, bool make)
{
    Area* area = directory_.findArea(channel);
    if (area != nullptr)
        return area->onNetwork() ? area : nullptr;
    if (!make || channel < 0 || channel >= FIRST_OWN_AREA)
        return nullptr;
    std::string text = network_.topic(channel);
    area = directory_.addArea(channel, text.empty() ? "Channel " + std::to_string(channel) : text, false, "");
    if (area != nullptr)
        area->network = true;
    return area;
}

void NetworkAreas::notice(const std::string& who, int32_t channel, const char* what)
{
    delivery_.broadCastRemote(who, channel, "<" + who + " " + what + " Area>\r");
}

bool NetworkAreas::take(Gathered& gathered, int32_t channel, const std::string& who)
{
    auto area = gathered.areas.find(channel);
    if (area == gathered.areas.end())
        return false;
    auto it = std::find(area->second.begin(), area->second.end(), who);
    if (it == area->second.end())
        return false;
    area->second.erase(it);
    return true;
}

void NetworkAreas::joined(const RemoteUser& user, int32_t channel)
{
    Area* area = areaFor(channel, true);
    if (area == nullptr)
        return;
    directory_.countRemote(*area, +1);
    if (auto gathered = joins_.find(user.link); gathered != joins_.end())
        gathered->second.areas[channel].push_back(who(user));
    else
        notice(who(user), channel, "joined");
}

void NetworkAreas::left(const RemoteUser& user, int32_t channel)
{
    Area* area = areaFor(channel, false);
    if (area == nullptr)
        return;
    directory_.countRemote(*area, -1);
    // A user whose join the stations have not been told of leaves unseen.
    auto joins = joins_.find(user.link);
    if (joins == joins_.end() || !take(joins->second, channel, who(user))) {
        if (auto leaves = leaves_.find(user.link); leaves != leaves_.end())
            leaves->second.areas[channel].push_back(who(user));
        else
            notice(who(user), channel, "left");
    }
    directory_.removeAbandonedAreas();
}

void NetworkAreas::gathering(const std::string& link, bool joins, bool open)
{
    std::map<std::string, Gathered>& all = joins ? joins_ : leaves_;
    if (open) {
        all.try_emplace(link);
        return;
    }
    auto it = all.find(link);
    if (it == all.end())
        return;
    const Gathered gathered = std::move(it->second);
    all.erase(it);
    const char* what = joins ? "joined" : "left";
    for (const auto& [channel, users] : gathered.areas) {
        if (users.size() <= SUMMED) {
            for (const std::string& user : users)
                notice(user, channel, what);
            continue;
        }
        delivery_.broadCastRemote(link, channel,
                                  "<" + std::to_string(users.size()) + " users of " + link + " " + what + " Area>\r");
    }
}

void NetworkAreas::moved(const RemoteUser& user, int32_t from, int32_t to)
{
    // Still to be told of its join: it is told of the area it is in now.
    if (auto joins = joins_.find(user.link); joins != joins_.end() && take(joins->second, from, who(user))) {
        if (Area* area = areaFor(from, false))
            directory_.countRemote(*area, -1);
        if (Area* area = areaFor(to, true)) {
            directory_.countRemote(*area, +1);
            joins->second.areas[to].push_back(who(user));
        }
        directory_.removeAbandonedAreas();
        return;
    }
    if (Area* area = areaFor(from, false)) {
        directory_.countRemote(*area, -1);
        delivery_.broadCastRemote(who(user), from,
                                  "<" + who(user) + " left this area, now in Area(" + std::to_string(to) + ")>\r");
    }
    if (Area* area = areaFor(to, true)) {
        directory_.countRemote(*area, +1);
        delivery_.broadCastRemote(who(user), to, "<" + who(user) + " joined Area>\r");
    }
    directory_.removeAbandonedAreas();
}

void NetworkAreas::said(const RemoteUser& user, int32_t channel, const std::string& text)
{
    // As a station's line, which ends in its CR.
    if (areaFor(channel, false) != nullptr)
        delivery_.broadCastRemote(who(user), channel, text + "\r");
}

void NetworkAreas::privateLine(const std::string& fromName, const std::string& fromHost, const std::string& toCall,
                               const std::string& text)
{
    const Station* target = directory_.findStationByCall(upperStr(toCall));
    if (target == nullptr)
        return;
    delivery_.sendTo(target->port, target->callSign,
                     '[' + std::to_string(target->areaId) + "]<" + target->callSign + "@" + link_->callSign() +
                         "> ((PRIVATE MESSAGE FROM " + fromName + "@" + fromHost + "))" + "\r" + text + "\r");
}

void NetworkAreas::invited(const std::string& fromName, const std::string& fromHost, const std::string& toCall,
                           int32_t channel)
{
    if (const Station* target = directory_.findStationByCall(upperStr(toCall)))
        delivery_.sendTo(target->port, target->callSign,
                         "\r-- Invitation from " + fromName + "@" + fromHost + " to Area(" + std::to_string(channel) +
                             ")\r");
}

void NetworkAreas::topic(int32_t channel, const std::string& text)
{
    Area* area = directory_.findArea(channel);
    if (area != nullptr && area->network)
        area->topic = text.empty() ? "Channel " + std::to_string(channel) : text;
    log_.writeLog(3, "{CONVERS} Topic of channel " + std::to_string(channel) + ": " + text);
}
