// The convers network as this node takes part in it: the host links to the
// configured neighbours (dialled with back-off, or accepted on the listener),
// the table of remote users learnt over them, relaying between links, loop
// detection, and the announcements of our own stations. The server sees it
// through plain values (NetworkTypes.h) and the events below.
#pragma once

#include "convers/HostLink.h"
#include "convers/NetworkTypes.h"
#include "convers/RemoteView.h"
#include "support/ClientSocket.h"
#include "support/ListenSocket.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

class Network : public RemoteView {
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
    static constexpr size_t MAX_UNIDENTIFIED = 16;
    static constexpr uint32_t PING_EVERY = 300000;
    // What may wait to be sent to a neighbour before it counts as not reading.
    static constexpr size_t MAX_QUEUED = 256 * 1024;

    Network(TimerFactory& timers, SocketFactory makeSocket, TraceLog& log, Clock clock);
    ~Network() override;
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    void setListenFactory(ListenSocketFactory makeListener) { makeListener_ = std::move(makeListener); }
    // Makes the connection to a neighbour over the air; its connectTo gets the
    // neighbour's callsign and radio port. Without one such neighbours are not dialled.
    using AirSocketFactory = std::function<std::unique_ptr<ClientSocket>(const Neighbour&)>;
    void setAirFactory(AirSocketFactory makeAirSocket) { makeAirSocket_ = std::move(makeAirSocket); }
    // Listens and dials as configured; closes what an earlier start made.
    void start(const NetworkConfig& config);
    void stop();
    const NetworkConfig& config() const { return config_; }

    // A connection as the listener hands it over (also for tests and tools).
    void accept(std::unique_ptr<ClientSocket> socket, const std::string& peerAddress);
    // While paused, nothing is read from the links; what came meanwhile is
    // read when input resumes.
    void pauseInput(bool paused);
    bool inputPaused() const { return paused_; }

    // Our stations. `channel` is -1 for one that is not on the network's
    // channels (an area of this node's own).
    void localUser(const std::string& call, int32_t channel, const std::string& note) override;
    void localLeft(const std::string& call) override;
    void localSaid(const std::string& call, int32_t channel, const std::string& text) override;
    // A private line to a remote user, by "name" or "name@host" (any case);
    // false when nobody of that name is known.
    bool privateLine(const std::string& fromCall, const std::string& to, const std::string& text) override;

    // The remote users, in no particular order; each name@host once.
    std::vector<const RemoteUser*> remoteUsers() const override;
    // By "name" (the first of that name) or "name@host", any case.
    const RemoteUser* findRemote(const std::string& who) const override;
    size_t remoteCount() const { return remote_.size(); }
    std::vector<LinkStatus> links() const override;
    // The topic a neighbour gave a channel, empty when none.
    std::string topic(int32_t channel) const override;

    // Events for the server, each skipped when empty.
    std::function<void(const RemoteUser&, int32_t channel)> onJoined;
    std::function<void(const RemoteUser&, int32_t channel)> onLeft;
    std::function<void(const RemoteUser&, int32_t from, int32_t to)> onMoved;
    std::function<void(const RemoteUser&)> onNote;
    std::function<void(const RemoteUser&, int32_t channel, const std::string& text)> onSaid;
    // A private line for one of our stations (`toCall` as the neighbour wrote it).
    std::function<void(const std::string& fromName, const std::string& fromHost, const std::string& toCall,
                       const std::string& text)>
        onPrivate;
    std::function<void(int32_t channel, const std::string& topic)> onTopic;
    // One line for the connection log per link up, down, refused or looping.
    std::function<void(const std::string& line)> onLog;

private:
    struct Link;
    struct Dialler;
    class Entry;
    // One of our stations. Kept after it leaves: its number must still grow
    // when it comes back within the same second.
    struct Local {
        int32_t channel = -1;
        std::string note;
        int64_t number = 0;
        bool present = false;
    };

    void dial(Dialler& dialler);
    void scheduleDial(Dialler& dialler);
    bool yields(const Dialler& dialler) const;
    Link& addLink(std::unique_ptr<ClientSocket> socket, HostLink::Side side, const std::string& address);
    void wire(Link& link);
    void read(Link& link);
    void write(Link& link, std::string_view bytes);
    void hostArrived(Link& link);
    void linkUp(Link& link);
    // Ends a link: its remote users depart, its neighbour is dialled again.
    void drop(Link& link, const std::string& logLine, const std::string& trace);
    void bury();
    Link* linkOf(const HostLink& proto);
    Link* upLinkTo(const std::string& neighbour, const Link* besides);
    Link* attemptTo(const std::string& neighbour);
    Link* linkById(uint64_t id);
    void timerFired(Link& link);
    void userLeaves(Link& link, std::map<std::string, RemoteUser>::iterator user, int32_t channel);
    const Neighbour* neighbourNamed(const std::string& name) const;
    Dialler* diallerOf(const std::string& neighbour);
    bool addressAllowed(const std::string& address) const;
    size_t unidentified() const;

    void handleUser(Link& link, const UserLine& user, std::string_view args);
    void handleCmsg(Link& link, const std::string& name, int32_t channel, const std::string& text,
                    std::string_view args);
    void handleUmsg(Link& link, const std::string& from, const std::string& to, const std::string& text,
                    std::string_view args);
    // A host seen over `link` that another link also reaches: the newer goes.
    bool loopDropped(Link& link, const std::string& host);
    void forget(Link& link);
    void relay(const Link* from, std::string_view word, std::string_view args);
    bool carries(const Link& link, int32_t channel) const;
    void announce(const std::string& name, const Local& local, int32_t oldChannel, int32_t newChannel,
                  Link* only = nullptr);
    void sendRemote(Link& to, const RemoteUser& user, int32_t oldChannel, int32_t newChannel);
    int64_t nextNumber(Local& local);
    std::string userKey(std::string_view name, std::string_view host) const;
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
    std::vector<std::unique_ptr<Link>> graveyard_; // closed in their own handlers, freed later
    std::list<Dialler> diallers_;
    std::map<std::string, RemoteUser> remote_; // by lower-case name@host
    std::map<std::string, Local> locals_;      // by lower-case call
    std::map<int32_t, std::string> topics_;
    uint64_t nextLinkId_ = 1;
    bool paused_ = false;
    int depth_ = 0; // how deep in our own handlers: dead links are freed only at 0
};
