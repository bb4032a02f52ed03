// The host links' lives. Trace lines start with "{CONVERS}"; the connection
// log gets one line per link up, down, refused or looping.
#include "convers/LinkSet.h"

#include "support/Address.h"
#include "support/HexStr.h"

#include <algorithm>
#include <exception>
#include <set>
#include <utility>

namespace {

} // namespace

LinkSet::Entry::Entry(LinkSet& links) : links_(links), uncaught_(std::uncaught_exceptions())
{
    if (links_.depth_++ == 0)
        links_.bury();
}

LinkSet::Entry::~Entry() noexcept(false)
{
    struct Leave {
        int& depth;
        ~Leave() { --depth; }
    } leave{links_.depth_};
    // While an exception unwinds, the departures wait for the next entry.
    if (links_.depth_ == 1 && std::uncaught_exceptions() == uncaught_)
        links_.settle();
}

LinkSet::LinkSet(TimerFactory& timers, SocketFactory makeSocket, TraceLog& log, Clock clock)
    : timers_(timers), makeSocket_(std::move(makeSocket)), log_(log), clock_(std::move(clock))
{
}

LinkSet::~LinkSet()
{
    *alive_ = false;
    onGone = nullptr;
    onHeir = nullptr;
    onLog = nullptr;
    stop();
}

void LinkSet::start(const NetworkConfig& config)
{
    stop();
    Entry entry(*this);
    config_ = config;
    down_.clear();
    openListener();
    if (!config_.listen && !config_.neighbours.empty())
        logLine("links: this node is " + config_.hostName + ", not listening");
    std::vector<Dialler*> added;
    for (const Neighbour& neighbour : config_.neighbours)
        if (!neighbour.anyAddress && !neighbour.address.empty())
            added.push_back(&addDialler(neighbour));
    for (Dialler* dialler : added)
        firstDial(*dialler);
}

void LinkSet::firstDial(Dialler& dialler)
{
    if (!yields(dialler)) {
        dial(dialler);
        return;
    }
    dialler.retry->setInterval(AIR_YIELD);
    dialler.retry->setEnabled(true);
}

LinkSet::Dialler& LinkSet::addDialler(const Neighbour& neighbour)
{
    Dialler& dialler = diallers_.emplace_back();
    dialler.neighbour = neighbour;
    dialler.since = clock_();
    dialler.retry = timers_.createTimer();
    dialler.retry->onTimer = [this, &dialler] {
        Entry entry(*this);
        dialler.retry->setEnabled(false);
        if (upLinkTo(dialler.neighbour.name, nullptr) != nullptr || attemptTo(dialler.neighbour.name) != nullptr)
            return;
        if (dialler.loopHeld && reached && reached(lowerAscii(dialler.neighbour.name))) {
            dialler.retry->setInterval(LOOP_RETRY);
            dialler.retry->setEnabled(true);
            return;
        }
        dial(dialler);
    };
    return dialler;
}

void LinkSet::openListener()
{
    if (!config_.listen || !makeListener_)
        return;
    listener_ = makeListener_();
    std::string error;
    listener_->onAccept = [this](std::unique_ptr<ClientSocket> socket, const std::string& address) {
        accept(std::move(socket), address);
    };
    const std::string where = config_.listenText();
    if (listener_->listen(config_.listenAddress, config_.listenPort, error)) {
        trace(1, "Listening for host links on " + where);
        logLine("links: this node is " + config_.hostName + ", listening on " + where);
    } else {
        trace(1, "Cannot listen on " + where + ": " + error);
        logLine("links: cannot listen on " + where + ": " + error);
        listener_.reset();
    }
}

void LinkSet::closeListener()
{
    if (!listener_)
        return;
    listener_->onAccept = nullptr;
    listener_->close();
    listener_.reset();
}

void LinkSet::closeLinksTo(const std::string& name, const std::string& logText)
{
    const std::string lower = lowerAscii(name);
    for (const std::unique_ptr<Link>& link : links_)
        if (!link->going && lowerAscii(link->neighbour) == lower)
            close(*link, link->isUp() ? logText : "", "Link with " + link->neighbour + " closed: " + logText);
}

std::vector<std::string> LinkSet::reconfigure(const NetworkConfig& fresh)
{
    Entry entry(*this);
    std::vector<std::string> lines;
    if (fresh.listenText() != config_.listenText()) {
        closeListener();
        config_.listen = fresh.listen;
        config_.listenAddress = fresh.listenAddress;
        config_.listenPort = fresh.listenPort;
        openListener();
        lines.push_back("[CONVERS] LISTEN=" + (fresh.listen ? fresh.listenText() : std::string("NOT")));
    }
    if (fresh.maxRemoteUsers != config_.maxRemoteUsers) {
        config_.maxRemoteUsers = fresh.maxRemoteUsers;
        lines.push_back("[CONVERS] MAXUSERS=" + std::to_string(fresh.maxRemoteUsers));
    }
    const auto same = [](const Neighbour& a, const Neighbour& b) {
        return a.address == b.address && a.port == b.port && a.firstLine == b.firstLine &&
               a.anyAddress == b.anyAddress && a.overAir == b.overAir && a.radioPort == b.radioPort &&
               a.call == b.call && a.via == b.via;
    };
    const auto find = [](const std::vector<Neighbour>& list, const std::string& name) -> const Neighbour* {
        for (const Neighbour& n : list)
            if (lowerAscii(n.name) == lowerAscii(name))
                return &n;
        return nullptr;
    };
    std::vector<Neighbour> toDial;
    for (const Neighbour& old : config_.neighbours) {
        const Neighbour* now = find(fresh.neighbours, old.name);
        if (now != nullptr && same(old, *now))
            continue;
        // Removed, or changed: it goes, and a changed one comes back as written now.
        const std::string lower = lowerAscii(old.name);
        closeLinksTo(old.name, "link down: " + old.name + (now ? ": its line changed" : ": removed from [LINKS]"));
        diallers_.remove_if([&](const Dialler& d) { return lowerAscii(d.neighbour.name) == lower; });
        down_.erase(lower);
        resolved_.erase(lower);
        lines.push_back("[LINKS] " + old.name + (now ? " changed" : " removed"));
        if (now != nullptr)
            toDial.push_back(*now);
    }
    for (const Neighbour& now : fresh.neighbours)
        if (find(config_.neighbours, now.name) == nullptr) {
            toDial.push_back(now);
            lines.push_back("[LINKS] " + now.name + " added");
        }
    config_.neighbours = fresh.neighbours;
    std::vector<Dialler*> added;
    for (const Neighbour& neighbour : toDial)
        if (!neighbour.anyAddress && !neighbour.address.empty())
            added.push_back(&addDialler(neighbour));
    for (Dialler* dialler : added)
        firstDial(*dialler);
    return lines;
}

bool LinkSet::setDown(const std::string& name, bool down)
{
    Entry entry(*this);
    const Neighbour* neighbour = neighbourNamed(name);
    if (neighbour == nullptr)
        return false;
    const std::string lower = lowerAscii(neighbour->name);
    if (!down) {
        if (down_.erase(lower) > 0)
            if (Dialler* dialler = diallerOf(neighbour->name)) {
                dialler->delay = FIRST_RETRY;
                if (upLinkTo(neighbour->name, nullptr) == nullptr && attemptTo(neighbour->name) == nullptr)
                    dial(*dialler);
            }
        return true;
    }
    down_.insert(lower);
    if (Dialler* dialler = diallerOf(neighbour->name))
        dialler->retry->setEnabled(false);
    closeLinksTo(neighbour->name, "link down: " + neighbour->name + ": taken down by the sysop");
    return true;
}

void LinkSet::stop()
{
    {
        Entry entry(*this);
        if (listener_) {
            listener_->onAccept = nullptr;
            listener_->close();
            listener_.reset();
        }
        for (const std::unique_ptr<Link>& link : links_)
            close(*link, "", "");
        diallers_.clear();
    }
    if (depth_ == 0)
        bury();
}

bool LinkSet::yields(const Dialler& dialler) const
{
    return dialler.neighbour.overAir && lowerAscii(config_.hostName) > lowerAscii(dialler.neighbour.name);
}

void LinkSet::settle()
{
    while (!marked_.empty()) {
        Link& link = *marked_.front();
        marked_.erase(marked_.begin());
        if (link.wasUp && onGone)
            onGone(link);
        redial(link);
    }
}

void LinkSet::bury()
{
    // Links whose departure an exception cut short still have it to come.
    if (!marked_.empty())
        settle();
    std::erase_if(links_, [](const std::unique_ptr<Link>& link) { return link->going; });
}

void LinkSet::dial(Dialler& dialler)
{
    const Neighbour& n = dialler.neighbour;
    if (n.overAir) {
        if (!makeAirSocket_)
            return;
        trace(3, "Dialling " + n.name + " at " + n.address + (n.via.empty() ? "" : " via " + n.via));
        Link& link = addLink(makeAirSocket_(n), HostLink::Side::WeDialled, n.address);
        link.overAir = true;
        link.neighbour = n.name;
        link.socket->connectTo(n.call, n.radioPort);
        return;
    }
    trace(3, "Dialling " + n.name + " at " + hostPort(n.address, n.port));
    Link& link = addLink(makeSocket_(), HostLink::Side::WeDialled, hostPort(n.address, n.port));
    link.neighbour = n.name;
    link.socket->connectTo(n.address, n.port);
}

void LinkSet::scheduleDial(Dialler& dialler)
{
    dialler.since = clock_();
    dialler.retry->setInterval(dialler.delay + (yields(dialler) ? AIR_YIELD : 0));
    dialler.retry->setEnabled(true);
    // A neighbour that takes the connection and closes it at once is tried
    // less and less often, never in a tight loop.
    dialler.delay = std::min(dialler.delay * 2, LONGEST_RETRY);
}

void LinkSet::redial(const Link& link)
{
    Dialler* dialler = diallerOf(link.neighbour);
    if (dialler == nullptr)
        return;
    // A dial of ours that never came up: the sysop hears of it once, until the link is up again.
    if (link.side == HostLink::Side::WeDialled && !link.wasUp && !link.failure.empty()) {
        dialler->lastError = link.failure;
        if (!std::exchange(dialler->failing, true))
            refusals_.note("unreachable " + lowerAscii(link.neighbour),
                           "link unreachable: " + link.neighbour + " at " + link.address + ": " + link.failure);
    }
    if (isDown(link.neighbour) || upLinkTo(link.neighbour, nullptr) != nullptr ||
        attemptTo(link.neighbour) != nullptr)
        return;
    if (dialler->loopHeld) {
        dialler->since = clock_();
        dialler->retry->setInterval(LOOP_RETRY);
        dialler->retry->setEnabled(true);
        return;
    }
    if (link.wasUp && clock_() - link.upAt >= STEADY_LINK)
        dialler->delay = FIRST_RETRY;
    scheduleDial(*dialler);
}

void LinkSet::hostUnreached(const std::string& host)
{
    Dialler* dialler = nullptr;
    for (Dialler& d : diallers_)
        if (d.loopHeld && lowerAscii(d.neighbour.name) == host)
            dialler = &d;
    if (dialler == nullptr || upLinkTo(dialler->neighbour.name, nullptr) != nullptr ||
        attemptTo(dialler->neighbour.name) != nullptr)
        return;
    dialler->retry->setInterval(FIRST_RETRY);
    dialler->retry->setEnabled(true);
}

Link& LinkSet::addLink(std::unique_ptr<ClientSocket> socket, HostLink::Side side, const std::string& address)
{
    auto owned = std::make_unique<Link>();
    Link& link = *owned;
    link.id = nextLinkId_++;
    link.side = side;
    link.socket = std::move(socket);
    if (paused_ != 0) {
        link.socket->setReading(false);
        link.pausedAt = clock_();
    }
    link.address = address;
    link.overAir = address.starts_with("AX25:");
    link.since = link.lastHeard = clock_();
    link.connected = side == HostLink::Side::TheyDialled;
    link.proto = std::make_unique<HostLink>(side, config_.hostName,
                                            [this, &link](std::string_view bytes) { write(link, bytes); });
    link.timer = timers_.createTimer();
    link.timer->onTimer = [this, &link] {
        if (link.going)
            return;
        Entry entry(*this);
        timerFired(link);
    };
    link.timer->setInterval(HOST_WAIT);
    link.timer->setEnabled(true);
    links_.push_back(std::move(owned));
    wire(link);
    if (onNewLink)
        onNewLink(link);
    return link;
}

void LinkSet::wire(Link& link)
{
    Link* l = &link;
    ClientSocket& socket = *link.socket;
    socket.onConnected = [this, l] {
        if (l->going)
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
            if (l->going || !l->proto->hostPending())
                return;
            Entry entry(*this);
            l->proto->sendHost();
        };
        l->banner->setInterval(BANNER_WAIT);
        l->banner->setEnabled(true);
    };
    socket.onDataAvailable = [this, l] {
        if (l->going)
            return;
        Entry entry(*this);
        read(*l);
    };
    socket.onWritten = [this, l] {
        if (l->going)
            return;
        Entry entry(*this);
        account(*l);
        feed(*l);
        pressure(*l);
    };
    socket.onClosed = [this, l] {
        if (l->going)
            return;
        Entry entry(*this);
        l->failure = "closed by the neighbour";
        close(*l, l->isUp() ? "link down: " + l->neighbour + ": closed by the neighbour" : "",
              "Link " + l->address + " closed by the other end");
    };
    socket.onError = [this, l](int& code) {
        if (l->going)
            return;
        Entry entry(*this);
        code = 0;
        const std::string reason = l->socket->errorString();
        l->failure = reason;
        close(*l, l->isUp() ? "link broken: " + l->neighbour + ": " + reason : "",
              "Link " + l->address + " failed: " + reason);
    };
    HostLink& proto = *link.proto;
    proto.onHost = [this, l](HostLink&) { hostArrived(*l); };
    proto.onUp = [this, l](HostLink&) { linkUp(*l); };
    proto.onPong = [this, l](HostLink&) {
        if (l->pingSentAt < 0)
            return;
        l->rttMs = std::max<int64_t>(0, clock_() - l->pingSentAt);
        l->proto->setRoundTrip((l->rttMs + 500) / 1000);
        l->pingSentAt = -1;
    };
}

void LinkSet::accept(std::unique_ptr<ClientSocket> socket, const std::string& peerAddress)
{
    Entry entry(*this);
    const std::string address = plainAddress(peerAddress);
    const bool named = std::any_of(config_.neighbours.begin(), config_.neighbours.end(),
                                   [](const Neighbour& n) { return n.byName; });
    const bool allowed = addressAllowed(address);
    if (!allowed && !(named && resolver_ != nullptr)) {
        refused(nullptr, "address", "link refused from " + address + ": not a neighbour's address",
                "Host link from " + address + " refused: no neighbour has that address");
        return;
    }
    if (const std::string refusal = waitRefusal(address); !refusal.empty()) {
        refused(nullptr, "waiting", "link refused from " + address + ": too many connections waiting for HOST",
                "Host link from " + address + " refused: " + refusal);
        return;
    }
    trace(3, "Host link from " + address + " accepted, waiting for HOST");
    Link& link = addLink(std::move(socket), HostLink::Side::TheyDialled, address);
    if (const uint16_t port = link.socket->peerPort(); port != 0)
        link.shownAddress = address + ":" + std::to_string(port);
    if (!allowed) {
        // Perhaps a neighbour known by name whose address changed: it waits
        // (unread) while the names are looked up again.
        pause(link, PauseReason::Lookup, true);
        lookUpNames();
        return;
    }
    // What came before the handlers were in place.
    read(link);
}

void LinkSet::lookUpNames()
{
    for (const Neighbour& neighbour : config_.neighbours) {
        if (!neighbour.byName || !lookingUp_.insert(lowerAscii(neighbour.name)).second)
            continue;
        std::weak_ptr<bool> alive = alive_;
        resolver_->lookUp(neighbour.address, [this, alive, name = lowerAscii(neighbour.name)](std::vector<std::string> found) {
            if (auto still = alive.lock(); still && *still)
                namesResolved(name, std::move(found));
        });
    }
}

void LinkSet::namesResolved(const std::string& name, std::vector<std::string> addresses)
{
    Entry entry(*this);
    lookingUp_.erase(name);
    for (std::string& address : addresses)
        if (address.starts_with("::ffff:"))
            address.erase(0, 7);
    resolved_[name] = std::move(addresses);
    const bool done = lookingUp_.empty();
    std::vector<Link*> waiting;
    for (const std::unique_ptr<Link>& link : links_)
        if (!link->going && (link->paused & bit(PauseReason::Lookup)) != 0)
            waiting.push_back(link.get());
    for (Link* link : waiting) {
        if (addressAllowed(link->address))
            pause(*link, PauseReason::Lookup, false);
        else if (done)
            refused(link, "address", "link refused from " + link->address + ": not a neighbour's address",
                    "Host link from " + link->address + " refused: no neighbour has that address or a name for it");
    }
}

bool LinkSet::matches(const Neighbour& neighbour, const std::string& address) const
{
    // "Any address" is any TCP peer: a callsign on the air is no address of it.
    if (neighbour.anyAddress)
        return !address.starts_with("AX25:");
    if (neighbour.address == address)
        return true;
    auto it = resolved_.find(lowerAscii(neighbour.name));
    return neighbour.byName && it != resolved_.end() &&
           std::find(it->second.begin(), it->second.end(), address) != it->second.end();
}

void LinkSet::read(Link& link)
{
    if (!readable(link, paused_))
        return;
    // Its lines are handled in its turns, like a station's.
    Link* l = &link;
    turns().ready(
        party(link),
        [this, l]() -> std::optional<Turns::Kind> {
            if (takeTurn(*l))
                return Turns::Kind::Lines;
            return std::nullopt;
        },
        Turns::Kind::Lines);
    turns().serve();
}

bool LinkSet::takeTurn(Link& link)
{
    if (!readable(link, paused_))
        return false;
    Entry entry(*this);
    const uint64_t outer = source_;
    source_ = link.id;
    if (link.proto->waitingLines() == 0) {
        const std::string bytes = link.socket->readAll();
        if (!bytes.empty()) {
            link.lastHeard = clock_();
            if (!link.proto->receive(bytes))
                close(link,
                      "link broken: " + (link.neighbour.empty() ? link.address : link.neighbour) + ": " +
                          link.proto->problem(),
                      "Link " + link.address + " dropped: " + link.proto->problem());
        }
    }
    // Whatever holds the link (the engine behind, another link's queue full)
    // stops it between one line and the next: what one read brings in makes
    // no more output than the high-water marks allow.
    link.proto->handle(TURN_LINES, [this, &link] { return readable(link, paused_); });
    source_ = outer;
    if (link.going)
        return false;
    // While lines read wait to be handled, the socket reads no more: what a
    // neighbour sends faster than it is handled waits in the system.
    const bool more = link.proto->waitingLines() > 0;
    link.socket->setReading(readable(link, paused_) && !more);
    return more && readable(link, paused_);
}

LinkSet::About::About(LinkSet& links, std::string user, bool noteChange) : links_(links)
{
    links_.aboutUser_ = std::move(user);
    links_.aboutNote_ = noteChange;
}

LinkSet::About::~About()
{
    links_.aboutUser_.clear();
    links_.aboutNote_ = false;
}

void LinkSet::write(Link& link, std::string_view bytes)
{
    if (link.going)
        return;
    account(link);
    // A note change still waiting, with nothing else of that user after it,
    // takes the new text in its place: the latest wins, no line moves.
    if (aboutNote_ && !link.queue.empty()) {
        auto last = link.lastOf.find(aboutUser_);
        if (last != link.lastOf.end() && last->second >= link.queue.front().seq) {
            Outgoing& old = link.queue[last->second - link.queue.front().seq];
            if (old.noteChange) {
                link.queued += bytes.size() - old.bytes.size();
                if ((link.bySource[old.source] -= old.bytes.size()) == 0)
                    link.bySource.erase(old.source);
                link.bySource[source_] += bytes.size();
                old.bytes = bytes;
                old.source = source_;
                pressure(link);
                return;
            }
        }
    }
    const uint64_t seq = link.nextSeq++;
    if (!aboutUser_.empty())
        link.lastOf[aboutUser_] = seq;
    link.queue.push_back({std::string(bytes), source_, aboutUser_, aboutNote_, seq});
    link.queued += bytes.size();
    link.bySource[source_] += bytes.size();
    feed(link);
    // A neighbour that stops reading is dropped, never waited for.
    const size_t bound = link.overAir ? MAX_QUEUED_AIR : MAX_QUEUED;
    if (!link.going && waiting(link) > bound) {
        close(link, "link broken: " + link.neighbour + ": it does not read what we send",
              "Link " + link.address + " dropped: " + std::to_string(waiting(link)) + " bytes wait to be sent");
        return;
    }
    pressure(link);
}

void LinkSet::account(Link& link)
{
    const size_t inSocket = link.socket->bytesToWrite();
    size_t taken = link.given > inSocket ? link.given - inSocket : 0;
    link.drained = link.drained || taken > 0;
    link.given -= taken;
    while (taken > 0 && !link.inSocket.empty()) {
        auto& [source, bytes] = link.inSocket.front();
        const size_t part = std::min(taken, bytes);
        bytes -= part;
        taken -= part;
        if ((link.bySource[source] -= part) == 0)
            link.bySource.erase(source);
        if (bytes == 0)
            link.inSocket.pop_front();
    }
}

void LinkSet::feed(Link& link)
{
    while (!link.going && !link.queue.empty() && link.socket->bytesToWrite() < SOCKET_SHARE) {
        Outgoing line = std::move(link.queue.front());
        link.queue.pop_front();
        link.queued -= line.bytes.size();
        if (auto last = link.lastOf.find(line.user); last != link.lastOf.end() && last->second == line.seq)
            link.lastOf.erase(last);
        link.inSocket.emplace_back(line.source, line.bytes.size());
        link.given += line.bytes.size();
        link.socket->sendBytes(line.bytes);
        // A socket that took it all at once keeps no count of it.
        account(link);
    }
}

void LinkSet::pressure(Link& link)
{
    if (link.going)
        return;
    const size_t now = waiting(link);
    const size_t high = link.overAir ? HIGH_WATER_AIR : HIGH_WATER;
    const size_t low = link.overAir ? LOW_WATER_AIR : LOW_WATER;
    if (!link.holding.empty() && now < low) {
        release(link);
        return;
    }
    if (now <= high)
        return;
    // The links that made the larger half of it wait, the others go on.
    std::vector<std::pair<size_t, uint64_t>> makers;
    for (const auto& [source, bytes] : link.bySource)
        if (source != 0 && source != link.id && link.holding.count(source) == 0)
            makers.emplace_back(bytes, source);
    std::sort(makers.rbegin(), makers.rend());
    size_t held = 0;
    for (uint64_t source : link.holding)
        held += link.bySource.count(source) > 0 ? link.bySource.at(source) : 0;
    for (const auto& [bytes, source] : makers) {
        if (2 * held >= now)
            break;
        Link* maker = linkById(source);
        if (maker == nullptr)
            continue;
        held += bytes;
        link.holding.insert(source);
        maker->heldBy.insert(link.id);
        trace(3, "Link " + maker->address + " paused: " + std::to_string(now) + " bytes wait for " + link.address);
        pause(*maker, PauseReason::Flood, true);
    }
    if (!link.holding.empty()) {
        link.drained = false;
        if (!link.hold) {
            link.hold = timers_.createTimer();
            link.hold->setInterval(HOLD_WAIT);
            Link* l = &link;
            link.hold->onTimer = [this, l] {
                if (l->going)
                    return;
                Entry entry(*this);
                holdTick(*l);
            };
        }
        if (!link.hold->enabled())
            link.hold->setEnabled(true);
    }
}

void LinkSet::holdTick(Link& link)
{
    account(link);
    if (link.holding.empty()) {
        link.hold->setEnabled(false);
        return;
    }
    if (!link.drained) {
        close(link, "link broken: " + link.neighbour + ": it does not read what we send",
              "Link " + link.address + " dropped: it took none of " + std::to_string(waiting(link)) + " bytes in " +
                  std::to_string(HOLD_WAIT / 1000) + " s");
        return;
    }
    link.drained = false;
}

void LinkSet::release(Link& link)
{
    const std::set<uint64_t> holding = std::exchange(link.holding, {});
    if (link.hold)
        link.hold->setEnabled(false);
    for (uint64_t source : holding) {
        Link* maker = linkById(source);
        if (maker == nullptr)
            continue;
        maker->heldBy.erase(link.id);
        if (maker->heldBy.empty())
            pause(*maker, PauseReason::Flood, false);
    }
}

void LinkSet::timerFired(Link& link)
{
    if (!link.isUp()) {
        link.failure = "no HOST within " + std::to_string(HOST_WAIT / 1000) + " s";
        close(link, "", "Link " + link.address + " dropped: " + link.failure);
        return;
    }
    // A neighbour that hangs (a stopped process, a path gone without a
    // reset) says nothing at all, not even PONG.
    const int64_t silent = clock_() - link.lastHeard;
    if (link.pausedAt < 0 && link.lastPing > link.lastHeard && silent >= DEAD_AFTER) {
        close(link, "link broken: " + link.neighbour + ": nothing heard for " + std::to_string(silent / 1000) + " s",
              "Link " + link.address + " dropped: nothing heard for " + std::to_string(silent / 1000) +
                  " s after a PING");
        return;
    }
    if (link.proto->hasCapability('p'))
        sendPing(link);
}

void LinkSet::sendPing(Link& link)
{
    link.pingSentAt = link.lastPing = clock_();
    link.proto->sendPing();
}

void LinkSet::hostArrived(Link& link)
{
    const std::string name = link.proto->peerName();
    const std::string lower = lowerAscii(name);
    const std::string from = link.address;
    if (lower == lowerAscii(config_.hostName)) {
        refused(&link, "ourselves", "link refused from " + from + ": its HOST names this node",
                "HOST " + printable(name) + " from " + from + " names this node, link closed");
        return;
    }
    const Neighbour* neighbour = neighbourNamed(name);
    const bool wrongAddress =
        neighbour != nullptr && link.side == HostLink::Side::TheyDialled && !matches(*neighbour, link.address);
    const bool wrongName =
        neighbour != nullptr && link.side == HostLink::Side::WeDialled && lowerAscii(link.neighbour) != lower;
    if (neighbour == nullptr || wrongAddress || wrongName) {
        refused(&link, "stranger", "link refused from " + from + ": HOST " + printable(name) + " is not a neighbour",
                "HOST " + printable(name) + " from " + from + " is not a neighbour, link closed");
        return;
    }
    if (isDown(neighbour->name)) {
        refused(&link, "down", "link refused from " + from + ": " + neighbour->name + " is taken down",
                "HOST " + neighbour->name + " from " + from + ": taken down by the sysop, link closed");
        return;
    }
    link.neighbour = neighbour->name;
    if (Link* other = upLinkTo(neighbour->name, &link)) {
        // Both dialled: keep the link that the node whose name sorts first
        // dialled; each side reaches the same choice. The users of the link
        // that goes stay, over the one that stays.
        Link* keep = &link;
        if (other->side != link.side) {
            const bool weSortFirst = lowerAscii(config_.hostName) < lower;
            keep = (link.side == HostLink::Side::WeDialled) == weSortFirst ? &link : other;
        }
        Link& lose = keep == &link ? *other : link;
        const std::string dialler = keep->side == HostLink::Side::WeDialled ? config_.hostName : neighbour->name;
        close(lose, lose.isUp() ? "link down: " + neighbour->name + ": the link " + dialler + " dialled stays" : "",
              "Second link with " + neighbour->name + " closed, the one dialled by " + dialler + " stays", keep);
        return;
    }
    if (onHostAccepted)
        onHostAccepted(link);
}

void LinkSet::linkUp(Link& link)
{
    link.upAt = clock_();
    link.timer->setInterval(PING_EVERY);
    link.timer->setEnabled(true);
    if (Dialler* dialler = diallerOf(link.neighbour))
        dialler->retry->setEnabled(false);
    const std::string software = printable(link.proto->software());
    trace(1, "Link with " + link.neighbour + " (" + link.address + ", " + software + ") is up");
    logLine("link up: " + link.neighbour + " at " + link.address + " (" + software + ")");
    if (Dialler* dialler = diallerOf(link.neighbour)) {
        dialler->loopHeld = false;
        dialler->failing = false;
        dialler->lastError.clear();
    }
    // The first PING waits for the first tick: a PP node did not answer one
    // that came in the same write as our answer to its HOST.
    if (onUp)
        onUp(link);
}

void LinkSet::close(Link& link, const std::string& logText, const std::string& traceText, Link* heir)
{
    if (link.going)
        return;
    link.wasUp = link.proto->isUp();
    link.going = true;
    link.proto->stop();
    link.timer->setEnabled(false);
    if (link.banner)
        link.banner->setEnabled(false);
    turns().forget(party(link));
    link.socket->close();
    // The links it held paused go on; the ones holding it forget it.
    release(link);
    for (uint64_t holder : std::exchange(link.heldBy, {}))
        if (Link* other = linkById(holder))
            other->holding.erase(link.id);
    if (!traceText.empty())
        trace(1, traceText);
    logLine(logText);
    if (heir != nullptr && !heir->going && onHeir)
        onHeir(link, *heir);
    marked_.push_back(&link);
    if (depth_ == 0)
        settle();
}

void LinkSet::closeForLoop(Link& link, const std::string& logText, const std::string& traceText, Link& heir)
{
    if (Dialler* dialler = diallerOf(link.neighbour))
        dialler->loopHeld = true;
    close(link, logText, traceText, &heir);
}

void LinkSet::refused(Link* link, const std::string& cause, const std::string& logText, const std::string& traceText)
{
    if (link != nullptr) {
        link->failure = logText.substr(logText.find(": ") + 2);
        close(*link, "", "");
    }
    trace(1, traceText);
    refusals_.note(cause, logText);
}

void LinkSet::pauseAll(PauseReason reason, bool paused)
{
    Entry entry(*this);
    paused_ = paused ? paused_ | bit(reason) : paused_ & ~bit(reason);
    for (const std::unique_ptr<Link>& link : links_)
        applyPause(*link);
}

void LinkSet::pause(Link& link, PauseReason reason, bool paused)
{
    Entry entry(*this);
    link.paused = paused ? link.paused | bit(reason) : link.paused & ~bit(reason);
    applyPause(link);
}

void LinkSet::applyPause(Link& link)
{
    if (link.going)
        return;
    const bool readable = (paused_ | link.paused) == 0;
    // The socket stops reading too, so that a neighbour that keeps sending
    // fills its own buffers, not ours.
    link.socket->setReading(readable);
    if (!readable) {
        if (link.pausedAt < 0)
            link.pausedAt = clock_();
        return;
    }
    if (link.pausedAt >= 0) {
        link.lastHeard += clock_() - link.pausedAt;
        link.pausedAt = -1;
    }
    read(link);
}

std::vector<Link*> LinkSet::upLinks() const
{
    std::vector<Link*> up;
    for (const std::unique_ptr<Link>& link : links_)
        if (link->isUp())
            up.push_back(link.get());
    return up;
}

Link* LinkSet::linkById(uint64_t id) const
{
    for (const std::unique_ptr<Link>& link : links_)
        if (link->id == id && !link->going)
            return link.get();
    return nullptr;
}

Link* LinkSet::upLinkTo(const std::string& neighbour, const Link* besides) const
{
    const std::string name = lowerAscii(neighbour);
    for (const std::unique_ptr<Link>& link : links_)
        if (link.get() != besides && link->isUp() && lowerAscii(link->neighbour) == name)
            return link.get();
    return nullptr;
}

Link* LinkSet::attemptTo(const std::string& neighbour) const
{
    for (const std::unique_ptr<Link>& link : links_)
        if (!link->going && !link->proto->isUp() && link->side == HostLink::Side::WeDialled &&
            link->neighbour == neighbour)
            return link.get();
    return nullptr;
}

const Neighbour* LinkSet::neighbourNamed(const std::string& name) const
{
    const std::string lower = lowerAscii(name);
    for (const Neighbour& neighbour : config_.neighbours)
        if (lowerAscii(neighbour.name) == lower)
            return &neighbour;
    return nullptr;
}

LinkSet::Dialler* LinkSet::diallerOf(const std::string& neighbour)
{
    for (Dialler& dialler : diallers_)
        if (!neighbour.empty() && dialler.neighbour.name == neighbour)
            return &dialler;
    return nullptr;
}

bool LinkSet::addressAllowed(const std::string& address) const
{
    return std::any_of(config_.neighbours.begin(), config_.neighbours.end(),
                       [&](const Neighbour& neighbour) { return matches(neighbour, address); });
}

size_t LinkSet::unidentifiedFrom(const std::string& address) const
{
    return std::count_if(links_.begin(), links_.end(), [&](const std::unique_ptr<Link>& link) {
        return !link->going && link->side == HostLink::Side::TheyDialled && !link->proto->isUp() &&
               (address.empty() || link->address == address);
    });
}

std::string LinkSet::waitRefusal(const std::string& address) const
{
    if (unidentifiedFrom(address) >= MAX_UNIDENTIFIED_PER_ADDRESS)
        return std::to_string(MAX_UNIDENTIFIED_PER_ADDRESS) + " connections from it are waiting for their HOST";
    // One place is kept for each neighbour with an address of its own, so
    // that strangers opening connections cannot keep it out.
    std::set<std::string> kept;
    for (const Neighbour& neighbour : config_.neighbours)
        if (!neighbour.anyAddress && neighbour.address != address && unidentifiedFrom(neighbour.address) == 0)
            kept.insert(neighbour.address);
    if (unidentifiedFrom("") + kept.size() >= MAX_UNIDENTIFIED)
        return std::to_string(MAX_UNIDENTIFIED) + " connections are waiting for their HOST";
    return {};
}

std::vector<LinkStatus> LinkSet::status(const std::function<size_t(const Link&)>& users) const
{
    std::vector<LinkStatus> list;
    for (const Neighbour& neighbour : config_.neighbours) {
        LinkStatus status;
        status.name = neighbour.name;
        status.address = neighbour.anyAddress ? "*"
                         : neighbour.overAir  ? neighbour.address
                                              : hostPort(neighbour.address, neighbour.port);
        status.state = isDown(neighbour.name) ? "down" : neighbour.anyAddress ? "listening" : "waiting";
        const Link* attempt = nullptr;
        const Link* up = nullptr;
        for (const std::unique_ptr<Link>& link : links_) {
            if (link->going || lowerAscii(link->neighbour) != lowerAscii(neighbour.name))
                continue;
            if (link->isUp())
                up = link.get();
            else if (link->side == HostLink::Side::WeDialled)
                attempt = link.get();
        }
        for (const Dialler& dialler : diallers_)
            if (dialler.neighbour.name == neighbour.name) {
                status.since = dialler.since;
                if (status.state == "waiting")
                    status.lastError = dialler.lastError;
            }
        if (up != nullptr) {
            status.state = "up";
            status.address = up->shownAddress.empty() ? up->address : up->shownAddress;
            status.direction = up->side == HostLink::Side::WeDialled ? "out" : "in";
            status.software = printable(up->proto->software());
            status.since = up->upAt;
            status.rttMs = up->rttMs;
            status.users = users(*up);
            status.waiting = waiting(*up);
        } else if (attempt != nullptr) {
            status.state = attempt->connected ? "handshake" : "dialling";
            status.direction = "out";
            status.since = attempt->since;
        }
        list.push_back(std::move(status));
    }
    return list;
}
