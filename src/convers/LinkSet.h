// The host links and their lives: the neighbours dialled with back-off or
// accepted on the listener, the wait for HOST, the pings, reading paused for
// a set of reasons, and the end of a link. A link that must go while an event
// is being handled is only marked: nothing more is read from it or written to
// it, and its departure (what it taught forgotten, its neighbour dialled
// again) is carried out once the outermost event handling returns.
#pragma once

#include "convers/HostLink.h"
#include "convers/NetworkTypes.h"
#include "convers/RepeatMarks.h"
#include "convers/Resolver.h"
#include "support/ClientSocket.h"
#include "support/ListenSocket.h"
#include "support/LogThrottle.h"
#include "support/Timer.h"
#include "support/Turns.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// Why a link is not read. A link is read only while no reason holds it.
enum class PauseReason : uint8_t {
    Engine = 1 << 0, // the engine is behind: a neighbour's lines make output for it
    Flood = 1 << 1,  // what it made waits for another link beyond that link's high-water mark
    Lookup = 1 << 2, // its address may be a named neighbour's: the names are being looked up
};

// A line waiting for a link: who made it (a link's id, 0 for our stations)
// and which remote user it is about, so that a note change can be merged
// into one still waiting.
struct Outgoing {
    std::string bytes;
    uint64_t source = 0;
    std::string user;        // the user's key, empty for lines about nobody
    bool noteChange = false; // the same channel before and after: only the note is new
    uint64_t seq = 0;
};

// One host link: its socket, its protocol and what the set keeps of it.
struct Link {
    uint64_t id = 0;
    HostLink::Side side = HostLink::Side::TheyDialled;
    std::unique_ptr<ClientSocket> socket;
    std::unique_ptr<HostLink> proto;
    std::unique_ptr<Timer> timer;  // the wait for HOST, then the pings
    std::unique_ptr<Timer> banner; // the wait for a PP node's banner
    std::string address;           // the peer's, or the one we dialled
    std::string shownAddress;      // the peer's with its port, when known
    std::string neighbour;         // the configured name, once known
    int64_t since = 0;
    int64_t upAt = 0;
    int64_t pingSentAt = -1; // the PING whose PONG we wait for
    int64_t lastPing = -1;   // when the last PING went out
    int64_t lastHeard = 0;   // when anything last arrived, moved on by our own pauses
    int64_t pausedAt = -1;   // since when we do not read it
    int64_t rttMs = -1;
    bool connected = false; // the connection is open (always, for accepted ones)
    bool going = false;     // marked to go: not read, not written
    bool wasUp = false;     // it was up when it was marked
    bool fullNoted = false; // its bound of remote users was traced
    std::string failure;    // why it ended, for the sysop
    uint8_t paused = 0;     // PauseReason bits of its own
    bool overAir = false;
    // Output: lines wait here while the socket holds enough; what waits
    // (here and in the socket) is counted by the link that made it.
    std::deque<Outgoing> queue;
    size_t queued = 0;                     // bytes in `queue`
    uint64_t nextSeq = 0;
    std::map<std::string, uint64_t> lastOf; // a user's last line in `queue`, by seq
    std::deque<std::pair<uint64_t, size_t>> inSocket; // given to the socket, by source, oldest first
    size_t given = 0;                      // bytes of `inSocket`
    std::map<uint64_t, size_t> bySource;   // what waits, by the link that made it
    std::set<uint64_t> holding;            // links paused for what waits here
    bool drained = false;                  // the socket took bytes since the last look
    std::set<uint64_t> heldBy;             // links whose queue holds this one paused
    std::unique_ptr<Timer> hold;           // how long a link that holds others may take nothing
    // What we sent over it: the repeats marked for a W node, and each remote
    // user's last number (a W node ignores a USER whose number does not grow).
    RepeatMarks marks;
    std::unordered_map<std::string, int64_t> numbers;

    bool isUp() const { return !going && proto->isUp(); }
};

class LinkSet {
public:
    // Milliseconds since the epoch; the owner's clock.
    using Clock = std::function<int64_t()>;

    static constexpr uint32_t FIRST_RETRY = 1000;
    static constexpr uint32_t LONGEST_RETRY = 60000;
    // A link that lasted this long was a good one: the back-off starts again.
    static constexpr int64_t STEADY_LINK = 60000;
    static constexpr uint32_t HOST_WAIT = 30000;
    // Over the air, two connects that cross make a muddle of one connection:
    // the node whose name sorts after its neighbour's dials this much later.
    static constexpr uint32_t AIR_YIELD = 10000;
    // After a first line, how long we wait for the node's banner before our HOST.
    static constexpr uint32_t BANNER_WAIT = 5000;
    // Connections waiting for their HOST: in all, and from one address.
    static constexpr size_t MAX_UNIDENTIFIED = 16;
    static constexpr size_t MAX_UNIDENTIFIED_PER_ADDRESS = 2;
    static constexpr uint32_t PING_EVERY = 300000;
    // A link from which nothing has come for this long since a PING went out is dead.
    static constexpr int64_t DEAD_AFTER = 2 * PING_EVERY;
    // A neighbour dropped for a loop is not dialled while its host is reached
    // over another link, and then at most this often.
    static constexpr uint32_t LOOP_RETRY = 600000;
    // What may wait to be sent to a neighbour before it counts as not reading
    // (over the air, where 1,200 baud takes minutes for it, much less).
    static constexpr size_t MAX_QUEUED = 256 * 1024;
    static constexpr size_t MAX_QUEUED_AIR = 32 * 1024;
    // Above this much waiting for a link, the links that made most of it are
    // paused, until less than the low-water mark waits.
    static constexpr size_t HIGH_WATER = 64 * 1024;
    static constexpr size_t LOW_WATER = 16 * 1024;
    static constexpr size_t HIGH_WATER_AIR = 8 * 1024;
    static constexpr size_t LOW_WATER_AIR = 2 * 1024;
    // Lines wait in our own queue (where note changes merge) while the socket holds this much.
    static constexpr size_t SOCKET_SHARE = 4 * 1024;
    // A link that holds others paused and takes nothing for this long does not read.
    static constexpr uint32_t HOLD_WAIT = 60000;
    // A neighbour's lines handled in one turn.
    static constexpr size_t TURN_LINES = 16;

    using AirSocketFactory = std::function<std::unique_ptr<ClientSocket>(const Neighbour&)>;

    LinkSet(TimerFactory& timers, SocketFactory makeSocket, TraceLog& log, Clock clock);
    ~LinkSet();
    LinkSet(const LinkSet&) = delete;
    LinkSet& operator=(const LinkSet&) = delete;

    // Every call into the network from outside (a socket, a timer, the
    // server) holds one of these. When the outermost one ends, the links
    // marked meanwhile go; links that went earlier are freed when the next
    // outermost one begins (their sockets may still be in their own handlers).
    class Entry {
    public:
        explicit Entry(LinkSet& links);
        ~Entry() noexcept(false);
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

    private:
        LinkSet& links_;
        int uncaught_;
    };

    void setListenFactory(ListenSocketFactory makeListener) { makeListener_ = std::move(makeListener); }
    // The turns the links' input takes beside the owner's other work (the
    // stations'); without them, the set's own, which serve at once.
    void setTurns(Turns* turns) { turns_ = turns; }
    // Looks neighbours' host names up; without one, a named neighbour is only dialled.
    void setResolver(Resolver* resolver) { resolver_ = resolver; }
    void setAirFactory(AirSocketFactory makeAirSocket) { makeAirSocket_ = std::move(makeAirSocket); }
    // Listens and dials as configured; closes what an earlier start made.
    void start(const NetworkConfig& config);
    void stop();
    // Another configuration, at once: the listener moves if its address did,
    // neighbours added are dialled, removed ones closed, changed ones closed
    // and dialled again; the others are left as they are. One line per change.
    std::vector<std::string> reconfigure(const NetworkConfig& config);
    // A neighbour taken down stays down (closed, not dialled, refused) until
    // taken up, or a reconfiguration changes its line. False: no such neighbour.
    bool setDown(const std::string& name, bool down);
    const NetworkConfig& config() const { return config_; }
    const std::string& hostName() const { return config_.hostName; }

    void accept(std::unique_ptr<ClientSocket> socket, const std::string& peerAddress);
    // Marks a link to go (see the head of this file). The log line goes to the
    // connection log, the trace line to the trace, both at once. With an
    // heir, the link's users are the heir's from now on (onHeir).
    void close(Link& link, const std::string& logText, const std::string& traceText, Link* heir = nullptr);
    // Closes a link for a loop: its neighbour is not dialled while `reachedElsewhere` says its host is reached.
    void closeForLoop(Link& link, const std::string& logText, const std::string& traceText, Link& heir);
    // No link reaches that host any more: a neighbour of that name held back for a loop is dialled at once.
    void hostUnreached(const std::string& host);

    // A reason that holds every link, or one link, from being read.
    void pauseAll(PauseReason reason, bool paused);
    void pause(Link& link, PauseReason reason, bool paused);
    bool pausedAll(PauseReason reason) const { return (paused_ & bit(reason)) != 0; }
    static bool readable(const Link& link, uint8_t all) { return !link.going && (all | link.paused) == 0; }

    // The lines written while this lives are about `user` (its key); a note
    // change may be merged into one still waiting.
    class About {
    public:
        About(LinkSet& links, std::string user, bool noteChange);
        ~About();
        About(const About&) = delete;
        About& operator=(const About&) = delete;

    private:
        LinkSet& links_;
    };
    // What waits for a link, here and in its socket.
    static size_t waiting(const Link& link) { return link.queued + link.socket->bytesToWrite(); }

    // Links that are up, in the order they were made.
    std::vector<Link*> upLinks() const;
    Link* upLinkTo(const std::string& neighbour, const Link* besides) const;
    Link* linkById(uint64_t id) const;
    // Each configured neighbour's link as it stands; `users` counts what a link taught.
    std::vector<LinkStatus> status(const std::function<size_t(const Link&)>& users) const;

    // A new link: the owner wires its protocol's events.
    std::function<void(Link&)> onNewLink;
    // A neighbour's HOST passed the checks of names and addresses; the owner
    // may still close the link (a loop).
    std::function<void(Link&)> onHostAccepted;
    // The link is up and our HOST has gone: the owner sends its dump.
    std::function<void(Link&)> onUp;
    // `gone` is closed and `heir` takes over its users.
    std::function<void(Link& gone, Link& heir)> onHeir;
    // A link that was up has gone: the owner forgets what it taught.
    std::function<void(Link&)> onGone;
    // One line for the connection log per link up, down, refused or looping.
    std::function<void(const std::string& line)> onLog;
    // Whether a host (lower case) is reached over one of the links.
    std::function<bool(const std::string& host)> reached;

private:
    struct Dialler {
        Neighbour neighbour;
        std::unique_ptr<Timer> retry;
        uint32_t delay = FIRST_RETRY;
        int64_t since = 0;
        bool loopHeld = false; // its last link looped
        bool failing = false;  // its dials fail: said once, until it is up again
        std::string lastError;
    };

    static uint8_t bit(PauseReason reason) { return static_cast<uint8_t>(reason); }
    Dialler& addDialler(const Neighbour& neighbour);
    void firstDial(Dialler& dialler);
    void openListener();
    void closeListener();
    // Closes every link to a neighbour, with that log line.
    void closeLinksTo(const std::string& name, const std::string& logText);
    bool isDown(const std::string& name) const { return down_.count(lowerAscii(name)) > 0; }
    // Whether `address` may be the neighbour's: its own, any for "*", or one its name resolved to.
    bool matches(const Neighbour& neighbour, const std::string& address) const;
    // The named neighbours looked up again, for links waiting on an address no number matched.
    void lookUpNames();
    void namesResolved(const std::string& name, std::vector<std::string> addresses);
    void dial(Dialler& dialler);
    void scheduleDial(Dialler& dialler);
    bool yields(const Dialler& dialler) const;
    Link& addLink(std::unique_ptr<ClientSocket> socket, HostLink::Side side, const std::string& address);
    void wire(Link& link);
    void read(Link& link);
    void write(Link& link, std::string_view bytes);
    void hostArrived(Link& link);
    void linkUp(Link& link);
    void timerFired(Link& link);
    void sendPing(Link& link);
    // Bytes the socket took, taken off the counts of the links that made them.
    void account(Link& link);
    // Lines from our queue into the socket while it holds little.
    void feed(Link& link);
    void pressure(Link& link);
    void release(Link& link);
    void holdTick(Link& link);
    // One turn of what the link sent; whether more is left.
    bool takeTurn(Link& link);
    Turns& turns() { return turns_ != nullptr ? *turns_ : ownTurns_; }
    static std::string party(const Link& link) { return "L" + std::to_string(link.id); }
    // Reading on or off as the reasons say; the silence of a link we do not read does not count.
    void applyPause(Link& link);
    // The departures of the links marked to go, until none is left.
    void settle();
    void bury();
    void redial(const Link& link);
    Link* attemptTo(const std::string& neighbour) const;
    const Neighbour* neighbourNamed(const std::string& name) const;
    Dialler* diallerOf(const std::string& neighbour);
    bool addressAllowed(const std::string& address) const;
    // Why a connection from this address cannot wait for its HOST, or empty.
    std::string waitRefusal(const std::string& address) const;
    size_t unidentifiedFrom(const std::string& address) const;
    // A refused connection: one log line at once, then one a minute for the same reason.
    void refused(Link* link, const std::string& cause, const std::string& logText, const std::string& traceText);
    void trace(uint8_t level, const std::string& text) { log_.writeLog(level, "{CONVERS} " + text); }
    void logLine(const std::string& line)
    {
        if (onLog && !line.empty())
            onLog(line);
    }

    TimerFactory& timers_;
    SocketFactory makeSocket_;
    ListenSocketFactory makeListener_;
    AirSocketFactory makeAirSocket_;
    TraceLog& log_;
    Clock clock_;
    NetworkConfig config_;
    std::unique_ptr<ListenSocket> listener_;
    std::list<std::unique_ptr<Link>> links_;
    std::vector<Link*> marked_; // to go when the outermost entry ends
    std::list<Dialler> diallers_;
    std::set<std::string> down_; // lower-case names taken down by the sysop
    Resolver* resolver_ = nullptr;
    Turns* turns_ = nullptr;
    Turns ownTurns_;
    std::map<std::string, std::vector<std::string>> resolved_; // lower-case name -> its addresses, last looked up
    std::set<std::string> lookingUp_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true); // for lookups that answer late
    LogThrottle refusals_{timers_, [this](const std::string& line) { logLine(line); }};
    uint64_t nextLinkId_ = 1;
    uint8_t paused_ = 0; // PauseReason bits that hold every link
    int depth_ = 0;      // how deep in our own handlers
    uint64_t source_ = 0; // the link whose line is being handled, 0 for none
    std::string aboutUser_;
    bool aboutNote_ = false;
};
