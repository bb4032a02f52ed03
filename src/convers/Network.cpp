// What the neighbours' lines mean for this node: remote users learnt,
// moved and forgotten, their lines and private lines, topics, and loops.
#include "convers/Network.h"

#include "support/HexStr.h"

#include <algorithm>

namespace {

std::string baseCall(const std::string& call)
{
    return call.substr(0, call.find('-'));
}

bool hasChannel(const std::vector<int32_t>& channels, int32_t channel)
{
    return std::find(channels.begin(), channels.end(), channel) != channels.end();
}

// A name a station could take for one of ours or for the marks of an area line.
bool posesAsSomeoneElse(std::string_view name)
{
    return name.empty() || name.find_first_of("@<> ") != std::string_view::npos;
}

// At most `most` bytes, not ending inside a UTF-8 character.
std::string cut(std::string text, size_t most)
{
    if (text.size() <= most)
        return text;
    size_t end = most;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

} // namespace

Network::Network(TimerFactory& timers, SocketFactory makeSocket, TraceLog& log, Clock clock)
    : timers_(timers), log_(log), clock_(clock), links_(timers, std::move(makeSocket), log, clock),
      locals_(links_, clock)
{
    links_.onNewLink = [this](Link& link) { wire(link); };
    links_.onHostAccepted = [this](Link& link) { loopDropped(link, lowerAscii(link.proto->peerName())); };
    links_.onUp = [this](Link& link) {
        locals_.dumpTo(link);
        relay_.dumpTo(link);
        gathering(link.neighbour, true, true);
        auto& [name, timer] = joinGatherings_[link.id];
        name = link.neighbour;
        timer = timers_.createTimer();
        timer->setInterval(JOIN_GATHERING);
        timer->onTimer = [this, id = link.id] {
            LinkSet::Entry entry(links_);
            endJoinGathering(id);
        };
        timer->setEnabled(true);
    };
    links_.onHeir = [this](Link& gone, Link& heir) { table_.moveLink(gone.id, heir.id, heir.neighbour); };
    links_.onGone = [this](Link& link) { forget(link); };
    links_.onLog = [this](const std::string& line) {
        if (onLog)
            onLog(line);
    };
    links_.reached = [this](const std::string& host) { return table_.reachesAnywhere(host); };
}

Network::~Network()
{
    onJoined = nullptr;
    onLeft = nullptr;
    onTopic = nullptr;
    onLog = nullptr;
    onGathering = nullptr;
    links_.stop();
}

void Network::endJoinGathering(uint64_t linkId)
{
    auto it = joinGatherings_.find(linkId);
    if (it == joinGatherings_.end())
        return;
    const std::string name = it->second.first;
    // The timer may be the caller: it goes with the next one.
    it->second.second->setEnabled(false);
    retiredTimer_ = std::move(it->second.second);
    joinGatherings_.erase(it);
    gathering(name, true, false);
}

void Network::wire(Link& link)
{
    Link* l = &link;
    HostLink& proto = *link.proto;
    proto.onUser = [this, l](HostLink&, const UserLine& user) { handleUser(*l, user); };
    proto.onCmsg = [this, l](HostLink&, const ChatLine& chat) { handleCmsg(*l, chat); };
    proto.onUmsg = [this, l](HostLink&, const std::string& from, const std::string& to, const std::string& text) {
        handleUmsg(*l, from, to, text);
    };
    proto.onTopic = [this, l](HostLink&, const TopicLine& topic) { handleTopic(*l, topic); };
    proto.onInvite = [this, l](HostLink&, const std::string& from, const std::string& to, int32_t channel) {
        handleInvite(*l, from, to, channel);
    };
    proto.onAway = [this, l](HostLink&, const AwayLine& away) { handleAway(*l, away); };
    proto.onDest = [this, l](HostLink&, std::string_view args) { relay_.dest(*l, printable(args)); };
}

void Network::forget(Link& link)
{
    const std::vector<std::string> keys = table_.keysOf(link.id);
    gathering(link.neighbour, false, true);
    for (const std::string& key : keys) {
        // A user on several channels leaves each; the last leave erases it.
        while (RemoteUser* user = table_.find(key))
            userLeaves(*user, user->channels.front(), clock_() / 1000);
    }
    gathering(link.neighbour, false, false);
    endJoinGathering(link.id);
    if (!keys.empty())
        trace(1, "Link with " + link.neighbour + " gone: " + std::to_string(keys.size()) + " remote user(s) left");
    for (int32_t channel : table_.dropTopicsOf(link.id))
        if (onTopic)
            onTopic(channel, "");
}

void Network::userLeaves(RemoteUser& user, int32_t channel, int64_t number)
{
    table_.leave(user, channel);
    relay_.user(user, channel, -1, number);
    if (onLeft)
        onLeft(user, channel);
    if (user.channels.empty()) {
        const std::string host = lowerAscii(user.host);
        table_.erase(user);
        if (!table_.reachesAnywhere(host))
            links_.hostUnreached(host);
    }
    channelEmptied(channel);
}

void Network::channelEmptied(int32_t channel)
{
    if (channel >= 0 && !table_.channelUsed(channel) && !locals_.onChannel(channel))
        table_.dropTopic(channel);
}

bool Network::loopDropped(Link& link, const std::string& host)
{
    for (Link* other : links_.upLinks()) {
        if (other == &link)
            continue;
        if (lowerAscii(other->neighbour) != host && !table_.reaches(other->id, host))
            continue;
        // The newer link goes; one not up yet is the newest.
        const bool linkNewer =
            !link.isUp() || link.upAt > other->upAt || (link.upAt == other->upAt && link.id > other->id);
        Link& newer = linkNewer ? link : *other;
        Link& older = linkNewer ? *other : link;
        // Its users stay, over the older link: the loop proves it reaches them.
        links_.closeForLoop(newer,
                            "link looping: " + newer.neighbour + ": " + printable(host) + " is reached over " +
                                older.neighbour + " too",
                            "Loop: " + printable(host) + " is reached over " + older.neighbour + " and " +
                                newer.neighbour + ", link with " + newer.neighbour + " closed",
                            older);
        return &newer == &link;
    }
    return false;
}

void Network::handleUser(Link& link, const UserLine& line)
{
    // Users are known by what stations see of them.
    const std::string shownName = printable(line.name);
    const std::string shownHost = printable(line.host);
    const std::string note = printable(line.note);
    if (posesAsSomeoneElse(shownName) || posesAsSomeoneElse(shownHost))
        return;
    if (shownName.size() > MAX_NAME || shownHost.size() > MAX_NAME || note.size() > MAX_NOTE) {
        trace(1, "USER from " + link.neighbour + " dropped: names and hosts may hold " + std::to_string(MAX_NAME) +
                     " bytes, notes " + std::to_string(MAX_NOTE));
        return;
    }
    const std::string host = lowerAscii(shownHost);
    const NetworkConfig& config = links_.config();
    // A neighbour's word on one of our own stations (channels -1 -1 included).
    if (host == lowerAscii(config.hostName) &&
        locals_.corrected(lowerAscii(shownName), line.number, line.newChannel < 0))
        return;
    if (line.oldChannel < 0 && line.newChannel < 0)
        return;
    if (host == lowerAscii(config.hostName) || host == lowerAscii(config.callSign) ||
        host == lowerAscii(baseCall(config.callSign))) {
        trace(1, "USER " + shownName + "@" + shownHost + " from " + link.neighbour +
                     " names this node as its host, dropped");
        return;
    }
    if (loopDropped(link, host))
        return;
    RemoteUser* user = table_.find(RemoteTable::key(shownName, shownHost));
    const int32_t from = line.oldChannel;
    const int32_t to = line.newChannel;
    if (user == nullptr) {
        if (to < 0)
            return;
        if (table_.usersOf(link.id) >= config.maxRemoteUsers) {
            if (!link.fullNoted)
                trace(1, "Link with " + link.neighbour + " has " + std::to_string(table_.usersOf(link.id)) +
                             " remote users, the most allowed: further users are dropped");
            link.fullNoted = true;
            return;
        }
        RemoteUser& added =
            table_.add({shownName, shownHost, {to}, note, "", link.neighbour, line.number, link.id, link.neighbour});
        relay_.user(added, -1, to, line.number);
        if (onJoined)
            onJoined(added, to);
        return;
    }
    if (user->linkId != link.id)
        return;
    user->number = line.number;
    if (to < 0) {
        if (hasChannel(user->channels, from))
            userLeaves(*user, from, line.number);
        return;
    }
    const bool noteChanged = user->note != note;
    user->note = note;
    if (from != to && !hasChannel(user->channels, to)) {
        relay_.user(*user, from, to, line.number);
        if (from >= 0 && hasChannel(user->channels, from)) {
            table_.move(*user, from, to);
            if (onMoved)
                onMoved(*user, from, to);
            channelEmptied(from);
        } else {
            table_.join(*user, to);
            if (onJoined)
                onJoined(*user, to);
        }
    } else if (from >= 0 && from != to && hasChannel(user->channels, from)) {
        // Moved to a channel it was on already: it leaves the old one.
        userLeaves(*user, from, line.number);
    } else if (noteChanged) {
        relay_.user(*user, from, to, line.number);
    }
    if (noteChanged && onNote)
        onNote(*user);
}

void Network::handleCmsg(Link& link, const ChatLine& line)
{
    // Only a user announced over this link speaks over it.
    RemoteUser* user = table_.announcedOver(link.id, printable(line.name));
    if (user == nullptr)
        return;
    // A W node marks its users' repeats; PP users' lines are theirs to the byte
    // (0xA0 is also Latin-1's no-break space).
    std::string text = printable(line.text);
    if (!link.proto->isPp())
        text = RepeatMarks::strip(std::move(text));
    relay_.said(*user, printable(line.nick), line.channel, text);
    if (onSaid)
        onSaid(*user, line.channel, text);
}

std::string Network::senderHost(Link& link, const std::string& sender)
{
    if (posesAsSomeoneElse(sender)) {
        trace(3, "A line from " + link.neighbour + " with a sender that is no user's name, dropped");
        return {};
    }
    if (const RemoteUser* user = table_.announcedOver(link.id, sender))
        return user->host;
    return printable(link.proto->peerName());
}

void Network::handleUmsg(Link& link, const std::string& from, const std::string& to, const std::string& text)
{
    const std::string sender = printable(from);
    const std::string host = senderHost(link, sender);
    if (host.empty())
        return;
    const std::string clean = printable(text);
    if (locals_.present(lowerAscii(to))) {
        if (onPrivate)
            onPrivate(sender, host, to, clean);
        return;
    }
    const RemoteUser* target = table_.findByName(printable(to));
    // Never back over the link it came from.
    if (target == nullptr || target->linkId == link.id)
        return;
    relay_.privateLine(*target, sender, clean);
}

void Network::handleTopic(Link& link, const TopicLine& line)
{
    TopicLine topic{printable(line.name), printable(line.host), line.time, line.channel,
                    cut(printable(line.text), MAX_TOPIC)};
    if (topic.name.empty() || topic.host.empty())
        return;
    // Only a channel somebody is on keeps its topic.
    if (table_.channelUsed(topic.channel) || locals_.onChannel(topic.channel)) {
        table_.setTopic(topic.channel, topic.text, link.id);
        if (onTopic)
            onTopic(topic.channel, topic.text);
    }
    relay_.topic(link, topic);
}

void Network::handleInvite(Link& link, const std::string& from, const std::string& to, int32_t channel)
{
    const std::string sender = printable(from);
    const std::string host = senderHost(link, sender);
    if (host.empty())
        return;
    if (locals_.present(lowerAscii(to))) {
        if (onInvited)
            onInvited(sender, host, to, channel);
        return;
    }
    const RemoteUser* target = table_.findByName(printable(to));
    if (target != nullptr && target->linkId != link.id)
        relay_.invite(*target, sender, channel);
}

void Network::handleAway(Link& link, const AwayLine& line)
{
    RemoteUser* user = table_.find(RemoteTable::key(printable(line.name), printable(line.host)));
    if (user == nullptr || user->linkId != link.id)
        return;
    user->away = cut(printable(line.text), MAX_NOTE);
    relay_.away(*user, line.time);
}

void Network::localUser(const std::string& call, int32_t channel, const std::string& note)
{
    LinkSet::Entry entry(links_);
    const int32_t old = locals_.changed(call, channel, note);
    if (old != channel)
        channelEmptied(old);
}

void Network::localLeft(const std::string& call)
{
    LinkSet::Entry entry(links_);
    channelEmptied(locals_.left(call));
}

void Network::localSaid(const std::string& call, int32_t channel, const std::string& text)
{
    LinkSet::Entry entry(links_);
    if (channel >= 0)
        relay_.stationSaid(lowerAscii(call), channel, oneLine(text));
}

bool Network::privateLine(const std::string& fromCall, const std::string& to, const std::string& text)
{
    LinkSet::Entry entry(links_);
    const RemoteUser* target = table_.findByName(to);
    return target != nullptr && relay_.privateLine(*target, lowerAscii(fromCall), oneLine(text));
}

std::vector<const RemoteUser*> Network::remoteUsers() const
{
    std::vector<const RemoteUser*> users;
    users.reserve(table_.size());
    for (const auto& [key, user] : table_.users())
        users.push_back(&user);
    return users;
}

std::vector<LinkStatus> Network::links() const
{
    return links_.status([this](const Link& link) { return table_.usersOf(link.id); });
}
