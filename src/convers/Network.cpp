// Host links, the remote users learnt over them, and relaying between them.
// Trace lines start with "{CONVERS}"; the connection log gets one line per
// link up, down, refused or looping.
#include "convers/Network.h"

#include "support/HexStr.h"

#include <algorithm>

struct Network::Link {
    uint64_t id = 0;
    HostLink::Side side = HostLink::Side::TheyDialled;
    std::unique_ptr<ClientSocket> socket;
    std::unique_ptr<HostLink> proto;
    std::unique_ptr<Timer> timer;  // the wait for HOST, then the pings
    std::unique_ptr<Timer> banner; // the wait for a PP node's banner
    std::string address;           // the peer's, or the one we dialled
    std::string neighbour;         // the configured name, once known
    int64_t since = 0;
    int64_t upAt = 0;
    int64_t pingSentAt = -1;
    int64_t rttMs = -1;
    bool connected = false; // TCP is up (always, for accepted ones)
    bool dead = false;
    bool fullNoted = false;
    size_t users = 0;
    std::map<int32_t, size_t> channels;       // remote users per channel
    std::map<std::string, size_t> hosts;      // remote users per lower-case host
    std::map<std::string, std::string> names; // lower-case name -> a table key

    bool isUp() const { return !dead && proto->isUp(); }
};

struct Network::Dialler {
    Neighbour neighbour;
    std::unique_ptr<Timer> retry;
    uint32_t delay = FIRST_RETRY;
    int64_t since = 0;
};

// Every entry from outside (a socket, a timer, the server) goes through one of
// these: links closed inside a handler are freed only once no handler runs.
class Network::Entry {
public:
    explicit Entry(Network& network) : network_(network)
    {
        if (network_.depth_++ == 0)
            network_.bury();
    }
    ~Entry() { --network_.depth_; }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

private:
    Network& network_;
};

namespace {

// An IPv4 peer may be reported in its IPv6-mapped form.
std::string plainAddress(const std::string& address)
{
    return address.starts_with("::ffff:") ? address.substr(7) : address;
}

std::string baseCall(const std::string& call)
{
    return call.substr(0, call.find('-'));
}

void addChannel(std::vector<int32_t>& channels, int32_t channel)
{
    if (std::find(channels.begin(), channels.end(), channel) == channels.end())
        channels.insert(std::upper_bound(channels.begin(), channels.end(), channel), channel);
}

bool hasChannel(const std::vector<int32_t>& channels, int32_t channel)
{
    return std::find(channels.begin(), channels.end(), channel) != channels.end();
}

// A station's line goes out as one host line whatever it holds.
std::string oneLine(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n')
            out += c;
    return out;
}

} // namespace

Network::Network(TimerFactory& timers, SocketFactory makeSocket, TraceLog& log, Clock clock)
    : timers_(timers), makeSocket_(std::move(makeSocket)), log_(log), clock_(std::move(clock))
{
}

Network::~Network()
{
    onJoined = nullptr;
    onLeft = nullptr;
    onLog = nullptr;
    stop();
}

void Network::start(const NetworkConfig& config)
{
    stop();
    Entry entry(*this);
    config_ = config;
    if (config_.listen && makeListener_) {
        listener_ = makeListener_();
        std::string error;
        listener_->onAccept = [this](std::unique_ptr<ClientSocket> socket, const std::string& address) {
            accept(std::move(socket), address);
        };
        if (listener_->listen(config_.listenAddress, config_.listenPort, error)) {
            trace(1, "Listening for host links on " + config_.listenAddress + ":" + std::to_string(config_.listenPort));
        } else {
            trace(1, "Cannot listen on " + config_.listenAddress + ":" + std::to_string(config_.listenPort) + ": " +
                         error);
            logLine("links: cannot listen on " + config_.listenAddress + ":" + std::to_string(config_.listenPort) +
                    ": " + error);
            listener_.reset();
        }
    }
    for (const Neighbour& neighbour : config_.neighbours) {
        if (neighbour.anyAddress || neighbour.address.empty())
            continue;
        Dialler& dialler = diallers_.emplace_back();
        dialler.neighbour = neighbour;
        dialler.since = clock_();
        dialler.retry = timers_.createTimer();
        dialler.retry->onTimer = [this, &dialler] {
            Entry entry(*this);
            dialler.retry->setEnabled(false);
            if (upLinkTo(dialler.neighbour.name, nullptr) == nullptr && attemptTo(dialler.neighbour.name) == nullptr)
                dial(dialler);
        };
    }
    for (Dialler& dialler : diallers_) {
        if (!yields(dialler)) {
            dial(dialler);
            continue;
        }
        dialler.retry->setInterval(AIR_YIELD);
        dialler.retry->setEnabled(true);
    }
}

bool Network::yields(const Dialler& dialler) const
{
    return dialler.neighbour.overAir && lowerAscii(config_.hostName) > lowerAscii(dialler.neighbour.name);
}

void Network::stop()
{
    {
        Entry entry(*this);
        if (listener_) {
            listener_->onAccept = nullptr;
            listener_->close();
            listener_.reset();
        }
        for (const std::unique_ptr<Link>& link : links_)
            drop(*link, "", "");
        diallers_.clear();
    }
    if (depth_ == 0)
        bury();
}

void Network::bury()
{
    for (auto it = links_.begin(); it != links_.end();) {
        if ((*it)->dead) {
            graveyard_.push_back(std::move(*it));
            it = links_.erase(it);
        } else {
            ++it;
        }
    }
    graveyard_.clear();
}

void Network::dial(Dialler& dialler)
{
    const Neighbour& n = dialler.neighbour;
    if (n.overAir) {
        if (!makeAirSocket_)
            return;
        trace(3, "Dialling " + n.name + " at " + n.address + (n.via.empty() ? "" : " via " + n.via));
        Link& link = addLink(makeAirSocket_(n), HostLink::Side::WeDialled, n.address);
        link.neighbour = n.name;
        link.socket->connectTo(n.call, n.radioPort);
        return;
    }
    trace(3, "Dialling " + n.name + " at " + n.address + ":" + std::to_string(n.port));
    Link& link = addLink(makeSocket_(), HostLink::Side::WeDialled, n.address + ":" + std::to_string(n.port));
    link.neighbour = n.name;
    link.socket->connectTo(n.address, n.port);
}

void Network::scheduleDial(Dialler& dialler)
{
    dialler.since = clock_();
    dialler.retry->setInterval(dialler.delay + (yields(dialler) ? AIR_YIELD : 0));
    dialler.retry->setEnabled(true);
    // A neighbour that takes the connection and closes it at once is tried
    // less and less often, never in a tight loop.
    dialler.delay = std::min(dialler.delay * 2, LONGEST_RETRY);
}

Network::Link& Network::addLink(std::unique_ptr<ClientSocket> socket, HostLink::Side side, const std::string& address)
{
    auto owned = std::make_unique<Link>();
    Link& link = *owned;
    link.id = nextLinkId_++;
    link.side = side;
    link.socket = std::move(socket);
    if (paused_)
        link.socket->setReading(false);
    link.address = address;
    link.since = clock_();
    link.connected = side == HostLink::Side::TheyDialled;
    link.proto = std::make_unique<HostLink>(side, config_.hostName,
                                            [this, &link](std::string_view bytes) { write(link, bytes); });
    link.timer = timers_.createTimer();
    link.timer->onTimer = [this, &link] {
        if (link.dead)
            return;
        Entry entry(*this);
        timerFired(link);
    };
    link.timer->setInterval(HOST_WAIT);
    link.timer->setEnabled(true);
    links_.push_back(std::move(owned));
    wire(link);
    return link;
}

void Network::wire(Link& link)
{
    Link* l = &link;
    ClientSocket& socket = *link.socket;
    socket.onConnected = [this, l] {
        if (l->dead)
            return;
        Entry entry(*this);
        l->connected = true;
        const Dialler* dialler = diallerOf(l->neighbour);
        l->proto->open(dialler != nullptr ? dialler->neighbour.firstLine : std::string());
        if (!l->proto->hostPending())
            return;
        l->banner = timers_.createTimer();
        l->banner->onTimer = [this, l] {
            l->banner->setEnabled(false);
            if (l->dead || !l->proto->hostPending())
                return;
            Entry entry(*this);
            l->proto->sendHost();
        };
        l->banner->setInterval(BANNER_WAIT);
        l->banner->setEnabled(true);
    };
    socket.onDataAvailable = [this, l] {
        if (l->dead)
            return;
        Entry entry(*this);
        read(*l);
    };
    socket.onClosed = [this, l] {
        if (l->dead)
            return;
        Entry entry(*this);
        drop(*l, l->isUp() ? "link down: " + l->neighbour + ": closed by the neighbour" : "",
             "Link " + l->address + " closed by the other end");
    };
    socket.onError = [this, l](int& code) {
        if (l->dead)
            return;
        Entry entry(*this);
        code = 0;
        const std::string reason = l->socket->errorString();
        drop(*l, l->isUp() ? "link broken: " + l->neighbour + ": " + reason : "",
             "Link " + l->address + " failed: " + reason);
    };
    HostLink& proto = *link.proto;
    proto.onHost = [this, l](HostLink&) { hostArrived(*l); };
    proto.onUp = [this, l](HostLink&) { linkUp(*l); };
    proto.onUser = [this, l](HostLink&, const UserLine& user, std::string_view args) { handleUser(*l, user, args); };
    proto.onCmsg = [this, l](HostLink&, const std::string& name, int32_t channel, const std::string& text,
                             std::string_view args) { handleCmsg(*l, name, channel, text, args); };
    proto.onUmsg = [this, l](HostLink&, const std::string& from, const std::string& to, const std::string& text,
                             std::string_view args) { handleUmsg(*l, from, to, text, args); };
    proto.onTopic = [this, l](HostLink&, int32_t channel, const std::string& text, std::string_view args) {
        topics_[channel] = printable(text);
        if (onTopic)
            onTopic(channel, topics_[channel]);
        relay(l, "topi", args);
    };
    proto.onDest = [this, l](HostLink&, std::string_view args) {
        for (const std::unique_ptr<Link>& other : links_)
            if (other.get() != l && other->isUp() && other->proto->hasCapability('d'))
                other->proto->relay("dest", args);
    };
    proto.onPong = [this, l](HostLink&) {
        if (l->pingSentAt < 0)
            return;
        l->rttMs = std::max<int64_t>(0, clock_() - l->pingSentAt);
        l->proto->setRoundTrip((l->rttMs + 500) / 1000);
        l->pingSentAt = -1;
    };
}

void Network::accept(std::unique_ptr<ClientSocket> socket, const std::string& peerAddress)
{
    Entry entry(*this);
    const std::string address = plainAddress(peerAddress);
    if (!addressAllowed(address)) {
        trace(1, "Host link from " + address + " refused: no neighbour has that address");
        logLine("link refused from " + address + ": not a neighbour's address");
        return;
    }
    if (unidentified() >= MAX_UNIDENTIFIED) {
        trace(1, "Host link from " + address + " refused: " + std::to_string(MAX_UNIDENTIFIED) +
                     " connections are waiting for their HOST");
        logLine("link refused from " + address + ": too many connections waiting for HOST");
        return;
    }
    trace(3, "Host link from " + address + " accepted, waiting for HOST");
    Link& link = addLink(std::move(socket), HostLink::Side::TheyDialled, address);
    // What came before the handlers were in place.
    read(link);
}

void Network::read(Link& link)
{
    if (paused_ || link.dead)
        return;
    const std::string bytes = link.socket->readAll();
    if (bytes.empty())
        return;
    if (!link.proto->receive(bytes))
        drop(link,
             "link broken: " + (link.neighbour.empty() ? link.address : link.neighbour) + ": " + link.proto->problem(),
             "Link " + link.address + " dropped: " + link.proto->problem());
}

void Network::write(Link& link, std::string_view bytes)
{
    if (link.dead)
        return;
    link.socket->sendBytes(bytes);
    // A neighbour that stops reading is dropped, never waited for.
    if (link.socket->bytesToWrite() > MAX_QUEUED)
        drop(link, "link broken: " + link.neighbour + ": it does not read what we send",
             "Link " + link.address + " dropped: " + std::to_string(link.socket->bytesToWrite()) +
                 " bytes wait to be sent");
}

void Network::timerFired(Link& link)
{
    if (!link.isUp()) {
        drop(link, "", "Link " + link.address + " dropped: no HOST within " + std::to_string(HOST_WAIT / 1000) + " s");
        return;
    }
    if (link.proto->hasCapability('p')) {
        link.pingSentAt = clock_();
        link.proto->sendPing();
    }
}

void Network::hostArrived(Link& link)
{
    const std::string name = link.proto->peerName();
    const std::string lower = lowerAscii(name);
    const std::string from = link.address;
    if (lower == lowerAscii(config_.hostName)) {
        drop(link, "link refused from " + from + ": its HOST names this node",
             "HOST " + printable(name) + " from " + from + " names this node, link closed");
        return;
    }
    const Neighbour* neighbour = neighbourNamed(name);
    // "Any address" is any TCP peer: a callsign on the air is no address of it.
    const bool wrongAddress =
        neighbour != nullptr && link.side == HostLink::Side::TheyDialled &&
        (neighbour->anyAddress ? link.address.starts_with("AX25:") : neighbour->address != link.address);
    const bool wrongName =
        neighbour != nullptr && link.side == HostLink::Side::WeDialled && lowerAscii(link.neighbour) != lower;
    if (neighbour == nullptr || wrongAddress || wrongName) {
        drop(link, "link refused from " + from + ": HOST " + printable(name) + " is not a neighbour",
             "HOST " + printable(name) + " from " + from + " is not a neighbour, link closed");
        return;
    }
    link.neighbour = neighbour->name;
    if (Link* other = upLinkTo(neighbour->name, &link)) {
        // Both dialled: keep the link that the node whose name sorts first
        // dialled; each side reaches the same choice.
        Link* keep = &link;
        if (other->side != link.side) {
            const bool weSortFirst = lowerAscii(config_.hostName) < lower;
            keep = (link.side == HostLink::Side::WeDialled) == weSortFirst ? &link : other;
        }
        Link& lose = keep == &link ? *other : link;
        const std::string dialler = keep->side == HostLink::Side::WeDialled ? config_.hostName : neighbour->name;
        drop(lose, lose.isUp() ? "link down: " + neighbour->name + ": the link " + dialler + " dialled stays" : "",
             "Second link with " + neighbour->name + " closed, the one dialled by " + dialler + " stays");
        return;
    }
    loopDropped(link, lower);
}

void Network::linkUp(Link& link)
{
    link.upAt = clock_();
    link.timer->setInterval(PING_EVERY);
    link.timer->setEnabled(true);
    if (Dialler* dialler = diallerOf(link.neighbour))
        dialler->retry->setEnabled(false);
    const std::string software = printable(link.proto->software());
    trace(1, "Link with " + link.neighbour + " (" + link.address + ", " + software + ") is up");
    logLine("link up: " + link.neighbour + " at " + link.address + " (" + software + ")");
    for (auto& [name, local] : locals_)
        if (local.channel >= 0 && !link.dead)
            link.proto->sendUser({name, config_.hostName, local.number, -1, local.channel, local.note});
    for (const auto& [key, user] : remote_)
        if (user.linkId != link.id)
            for (int32_t channel : user.channels)
                sendRemote(link, user, -1, channel);
    if (link.proto->hasCapability('p') && !link.dead) {
        link.pingSentAt = clock_();
        link.proto->sendPing();
    }
}

void Network::drop(Link& link, const std::string& logText, const std::string& traceText)
{
    if (link.dead)
        return;
    const bool wasUp = link.isUp();
    link.dead = true;
    link.proto->stop();
    link.timer->setEnabled(false);
    if (link.banner)
        link.banner->setEnabled(false);
    link.socket->close();
    if (!traceText.empty())
        trace(1, traceText);
    logLine(logText);
    if (wasUp)
        forget(link);
    Dialler* dialler = diallerOf(link.neighbour);
    if (dialler == nullptr || upLinkTo(link.neighbour, nullptr) != nullptr || attemptTo(link.neighbour) != nullptr)
        return;
    if (wasUp && clock_() - link.upAt >= STEADY_LINK)
        dialler->delay = FIRST_RETRY;
    scheduleDial(*dialler);
}

void Network::forget(Link& link)
{
    std::vector<std::string> keys;
    for (const auto& [key, user] : remote_)
        if (user.linkId == link.id)
            keys.push_back(key);
    for (const std::string& key : keys) {
        auto user = remote_.find(key);
        while (user != remote_.end() && !user->second.channels.empty()) {
            const int32_t channel = user->second.channels.front();
            userLeaves(link, user, channel);
            user = remote_.find(key);
        }
    }
    if (!keys.empty())
        trace(1, "Link with " + link.neighbour + " gone: " + std::to_string(keys.size()) + " remote user(s) left");
}

void Network::userLeaves(Link& link, std::map<std::string, RemoteUser>::iterator it, int32_t channel)
{
    RemoteUser& user = it->second;
    user.channels.erase(std::find(user.channels.begin(), user.channels.end(), channel));
    if (--link.channels[channel] == 0)
        link.channels.erase(channel);
    const UserLine line{user.name, user.host, clock_() / 1000, channel, -1, ""};
    for (const std::unique_ptr<Link>& other : links_)
        if (other.get() != &link && other->isUp())
            other->proto->sendUser(line);
    if (onLeft)
        onLeft(user, channel);
    if (!user.channels.empty())
        return;
    const std::string host = lowerAscii(user.host);
    if (--link.hosts[host] == 0)
        link.hosts.erase(host);
    auto name = link.names.find(lowerAscii(user.name));
    if (name != link.names.end() && name->second == it->first)
        link.names.erase(name);
    --link.users;
    remote_.erase(it);
}

bool Network::loopDropped(Link& link, const std::string& host)
{
    for (const std::unique_ptr<Link>& other : links_) {
        if (other.get() == &link || !other->isUp())
            continue;
        if (lowerAscii(other->neighbour) != host && other->hosts.count(host) == 0)
            continue;
        // The newer link goes; one not up yet is the newest.
        const bool linkNewer =
            !link.isUp() || link.upAt > other->upAt || (link.upAt == other->upAt && link.id > other->id);
        Link& newer = linkNewer ? link : *other;
        const Link& older = linkNewer ? *other : link;
        drop(newer,
             "link looping: " + newer.neighbour + ": " + printable(host) + " is reached over " + older.neighbour +
                 " too",
             "Loop: " + printable(host) + " is reached over " + older.neighbour + " and " + newer.neighbour +
                 ", link with " + newer.neighbour + " closed");
        return &newer == &link;
    }
    return false;
}

void Network::handleUser(Link& link, const UserLine& line, std::string_view args)
{
    if (line.oldChannel < 0 && line.newChannel < 0)
        return;
    // Users are known by what stations see of them.
    const std::string shownName = printable(line.name);
    const std::string shownHost = printable(line.host);
    // A name or host of nothing but control bytes cannot be shown, and one
    // holding the marks of an area line could pass for someone else.
    if (shownName.empty() || shownHost.empty() || (shownName + shownHost).find_first_of("@<> ") != std::string::npos)
        return;
    const std::string host = lowerAscii(shownHost);
    if (host == lowerAscii(config_.hostName) || host == lowerAscii(config_.callSign) ||
        host == lowerAscii(baseCall(config_.callSign))) {
        trace(1, "USER " + printable(line.name) + "@" + printable(line.host) + " from " + link.neighbour +
                     " names this node as its host, dropped");
        return;
    }
    if (loopDropped(link, host))
        return;
    const std::string key = userKey(shownName, shownHost);
    auto it = remote_.find(key);
    const std::string note = printable(line.note);
    if (it == remote_.end()) {
        if (line.newChannel < 0)
            return;
        if (link.users >= config_.maxRemoteUsers) {
            if (!link.fullNoted)
                trace(1, "Link with " + link.neighbour + " has " + std::to_string(link.users) +
                             " remote users, the most allowed: further users are dropped");
            link.fullNoted = true;
            return;
        }
        RemoteUser user{shownName, shownHost, {line.newChannel}, note, link.neighbour, line.number, link.id};
        it = remote_.emplace(key, std::move(user)).first;
        ++link.users;
        ++link.hosts[host];
        ++link.channels[line.newChannel];
        link.names.emplace(lowerAscii(shownName), key);
        relay(&link, "user", args);
        if (onJoined)
            onJoined(it->second, line.newChannel);
        return;
    }
    RemoteUser& user = it->second;
    if (user.linkId != link.id)
        return;
    user.number = line.number;
    relay(&link, "user", args);
    const int32_t from = line.oldChannel;
    const int32_t to = line.newChannel;
    if (to < 0) {
        if (hasChannel(user.channels, from))
            userLeaves(link, it, from);
        return;
    }
    if (from != to && !hasChannel(user.channels, to)) {
        ++link.channels[to];
        if (from >= 0 && hasChannel(user.channels, from)) {
            std::replace(user.channels.begin(), user.channels.end(), from, to);
            std::sort(user.channels.begin(), user.channels.end());
            if (--link.channels[from] == 0)
                link.channels.erase(from);
            if (onMoved)
                onMoved(user, from, to);
        } else {
            addChannel(user.channels, to);
            if (onJoined)
                onJoined(user, to);
        }
    } else if (from >= 0 && from != to && hasChannel(user.channels, from)) {
        // Moved to a channel it was on already: it leaves the old one.
        userLeaves(link, it, from);
        it = remote_.find(key);
        if (it == remote_.end())
            return;
    }
    if (it->second.note != note) {
        it->second.note = note;
        if (onNote)
            onNote(it->second);
    }
}

void Network::handleCmsg(Link& link, const std::string& name, int32_t channel, const std::string& text,
                         std::string_view args)
{
    // Only a user announced over this link speaks over it.
    auto key = link.names.find(lowerAscii(printable(name)));
    if (key == link.names.end())
        return;
    auto user = remote_.find(key->second);
    if (user == remote_.end())
        return;
    for (const std::unique_ptr<Link>& other : links_)
        if (other.get() != &link && other->isUp() && carries(*other, channel))
            other->proto->relay("cmsg", args);
    if (onSaid)
        onSaid(user->second, channel, printable(text));
}

void Network::handleUmsg(Link& link, const std::string& from, const std::string& to, const std::string& text,
                         std::string_view args)
{
    if (auto local = locals_.find(lowerAscii(to)); local != locals_.end() && local->second.present) {
        std::string host = link.proto->peerName();
        auto key = link.names.find(lowerAscii(printable(from)));
        if (key != link.names.end())
            if (auto user = remote_.find(key->second); user != remote_.end())
                host = user->second.host;
        if (onPrivate)
            onPrivate(printable(from), printable(host), to, printable(text));
        return;
    }
    const RemoteUser* target = findRemote(to);
    if (target == nullptr || target->linkId == link.id)
        return;
    if (Link* next = linkById(target->linkId))
        next->proto->relay("umsg", args);
}

void Network::relay(const Link* from, std::string_view word, std::string_view args)
{
    for (const std::unique_ptr<Link>& other : links_)
        if (other.get() != from && other->isUp())
            other->proto->relay(word, args);
}

bool Network::carries(const Link& link, int32_t channel) const
{
    return link.channels.count(channel) > 0;
}

void Network::sendRemote(Link& to, const RemoteUser& user, int32_t oldChannel, int32_t newChannel)
{
    if (!to.dead)
        to.proto->sendUser({user.name, user.host, user.number, oldChannel, newChannel, user.note});
}

int64_t Network::nextNumber(Local& local)
{
    // W nodes ignore a USER whose number does not grow.
    local.number = std::max(local.number + 1, clock_() / 1000);
    return local.number;
}

void Network::announce(const std::string& name, const Local& local, int32_t oldChannel, int32_t newChannel, Link* only)
{
    for (const std::unique_ptr<Link>& link : links_) {
        if (!link->isUp() || (only != nullptr && link.get() != only))
            continue;
        const UserLine user{name, config_.hostName, local.number, oldChannel, newChannel, local.note};
        // A PP node keeps a user on several channels: a move is a leave and a join.
        if (link->proto->isPp() && oldChannel >= 0 && newChannel >= 0 && oldChannel != newChannel) {
            link->proto->sendUser({name, config_.hostName, local.number, oldChannel, -1, local.note});
            link->proto->sendUser({name, config_.hostName, local.number, -1, newChannel, local.note});
        } else {
            link->proto->sendUser(user);
        }
    }
}

void Network::localUser(const std::string& call, int32_t channel, const std::string& note)
{
    Entry entry(*this);
    const std::string name = lowerAscii(call);
    Local& local = locals_[name];
    const std::string text = oneLine(note);
    const int32_t old = local.channel;
    if (local.present && old == channel && local.note == text)
        return;
    local.present = true;
    local.channel = channel;
    local.note = text;
    nextNumber(local);
    if (old < 0 && channel < 0)
        return;
    announce(name, local, old, channel);
}

void Network::localLeft(const std::string& call)
{
    Entry entry(*this);
    auto it = locals_.find(lowerAscii(call));
    if (it == locals_.end() || !it->second.present)
        return;
    Local& local = it->second;
    const int32_t old = local.channel;
    local.present = false;
    local.channel = -1;
    if (old < 0)
        return;
    nextNumber(local);
    announce(lowerAscii(call), local, old, -1);
}

void Network::localSaid(const std::string& call, int32_t channel, const std::string& text)
{
    Entry entry(*this);
    if (channel < 0)
        return;
    const std::string name = lowerAscii(call);
    const std::string line = oneLine(text);
    for (const std::unique_ptr<Link>& link : links_)
        if (link->isUp() && carries(*link, channel))
            link->proto->sendCmsg(name, channel, line);
}

bool Network::privateLine(const std::string& fromCall, const std::string& to, const std::string& text)
{
    Entry entry(*this);
    const RemoteUser* target = findRemote(to);
    if (target == nullptr)
        return false;
    Link* link = linkById(target->linkId);
    if (link == nullptr)
        return false;
    link->proto->sendUmsg(lowerAscii(fromCall), target->name, oneLine(text));
    return true;
}

std::vector<const RemoteUser*> Network::remoteUsers() const
{
    std::vector<const RemoteUser*> users;
    users.reserve(remote_.size());
    for (const auto& [key, user] : remote_)
        users.push_back(&user);
    return users;
}

const RemoteUser* Network::findRemote(const std::string& who) const
{
    const size_t at = who.find('@');
    if (at != std::string::npos) {
        auto it = remote_.find(userKey(who.substr(0, at), who.substr(at + 1)));
        return it == remote_.end() ? nullptr : &it->second;
    }
    const std::string name = lowerAscii(who);
    for (const auto& [key, user] : remote_)
        if (lowerAscii(user.name) == name)
            return &user;
    return nullptr;
}

std::string Network::topic(int32_t channel) const
{
    auto it = topics_.find(channel);
    return it == topics_.end() ? std::string() : it->second;
}

std::vector<LinkStatus> Network::links() const
{
    std::vector<LinkStatus> list;
    for (const Neighbour& neighbour : config_.neighbours) {
        LinkStatus status;
        status.name = neighbour.name;
        status.address = neighbour.anyAddress ? "*"
                         : neighbour.overAir  ? neighbour.address
                                              : neighbour.address + ":" + std::to_string(neighbour.port);
        status.state = neighbour.anyAddress ? "listening" : "waiting";
        status.since = 0;
        const Link* attempt = nullptr;
        const Link* up = nullptr;
        for (const std::unique_ptr<Link>& link : links_) {
            if (link->dead || lowerAscii(link->neighbour) != lowerAscii(neighbour.name))
                continue;
            if (link->isUp())
                up = link.get();
            else if (link->side == HostLink::Side::WeDialled)
                attempt = link.get();
        }
        for (const Dialler& dialler : diallers_)
            if (dialler.neighbour.name == neighbour.name)
                status.since = dialler.since;
        if (up != nullptr) {
            status.state = "up";
            status.address = up->address;
            status.software = printable(up->proto->software());
            status.since = up->upAt;
            status.rttMs = up->rttMs;
            status.users = up->users;
        } else if (attempt != nullptr) {
            status.state = attempt->connected ? "handshake" : "dialling";
            status.since = attempt->since;
        }
        list.push_back(std::move(status));
    }
    return list;
}

void Network::pauseInput(bool paused)
{
    Entry entry(*this);
    paused_ = paused;
    // The sockets stop reading too, so that a neighbour that keeps sending
    // fills its own buffers, not ours.
    for (const std::unique_ptr<Link>& link : links_)
        if (!link->dead)
            link->socket->setReading(!paused_);
    if (paused_)
        return;
    for (const std::unique_ptr<Link>& link : links_)
        read(*link);
}

Network::Link* Network::linkById(uint64_t id)
{
    for (const std::unique_ptr<Link>& link : links_)
        if (link->id == id && !link->dead)
            return link.get();
    return nullptr;
}

Network::Link* Network::upLinkTo(const std::string& neighbour, const Link* besides)
{
    const std::string name = lowerAscii(neighbour);
    for (const std::unique_ptr<Link>& link : links_)
        if (link.get() != besides && link->isUp() && lowerAscii(link->neighbour) == name)
            return link.get();
    return nullptr;
}

Network::Link* Network::attemptTo(const std::string& neighbour)
{
    for (const std::unique_ptr<Link>& link : links_)
        if (!link->dead && !link->isUp() && link->side == HostLink::Side::WeDialled && link->neighbour == neighbour)
            return link.get();
    return nullptr;
}

const Neighbour* Network::neighbourNamed(const std::string& name) const
{
    const std::string lower = lowerAscii(name);
    for (const Neighbour& neighbour : config_.neighbours)
        if (lowerAscii(neighbour.name) == lower)
            return &neighbour;
    return nullptr;
}

Network::Dialler* Network::diallerOf(const std::string& neighbour)
{
    for (Dialler& dialler : diallers_)
        if (!neighbour.empty() && dialler.neighbour.name == neighbour)
            return &dialler;
    return nullptr;
}

bool Network::addressAllowed(const std::string& address) const
{
    for (const Neighbour& neighbour : config_.neighbours)
        if (neighbour.anyAddress || neighbour.address == address)
            return true;
    return false;
}

size_t Network::unidentified() const
{
    return std::count_if(links_.begin(), links_.end(), [](const std::unique_ptr<Link>& link) {
        return !link->dead && link->side == HostLink::Side::TheyDialled && !link->isUp();
    });
}

std::string Network::userKey(std::string_view name, std::string_view host) const
{
    return lowerAscii(name) + "@" + lowerAscii(host);
}
