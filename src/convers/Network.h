// The convers network as this node takes part in it, and the face the server
// sees: it takes the neighbours' lines from the set of links (LinkSet), keeps
// what they teach in the table of remote users (RemoteTable), passes them on
// through the relay (Relay), announces our stations (LocalUsers), and finds
// loops. The server sees it through plain values (NetworkTypes.h) and the
// events below.
#pragma once

#include "convers/LinkSet.h"
#include "convers/LocalUsers.h"
#include "convers/NetworkTypes.h"
#include "convers/Relay.h"
#include "convers/RemoteTable.h"
#include "convers/RemoteView.h"
#include "support/ClientSocket.h"
#include "support/ListenSocket.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class Network : public RemoteView {
public:
    // Milliseconds since the epoch; the owner's clock.
    using Clock = std::function<int64_t()>;

    static constexpr uint32_t FIRST_RETRY = LinkSet::FIRST_RETRY;
    static constexpr uint32_t LONGEST_RETRY = LinkSet::LONGEST_RETRY;
    static constexpr int64_t STEADY_LINK = LinkSet::STEADY_LINK;
    static constexpr uint32_t HOST_WAIT = LinkSet::HOST_WAIT;
    static constexpr uint32_t AIR_YIELD = LinkSet::AIR_YIELD;
    static constexpr uint32_t BANNER_WAIT = LinkSet::BANNER_WAIT;
    static constexpr size_t MAX_UNIDENTIFIED = LinkSet::MAX_UNIDENTIFIED;
    static constexpr uint32_t PING_EVERY = LinkSet::PING_EVERY;
    static constexpr size_t MAX_QUEUED = LinkSet::MAX_QUEUED;
    // What a neighbour may make us keep and show: longer, a USER line is
    // dropped and a topic cut.
    static constexpr size_t MAX_NAME = 32; // a user's name or host
    static constexpr size_t MAX_NOTE = 256;
    static constexpr size_t MAX_TOPIC = 256;
    // The joins a link announces this long after its link-up are shown together.
    static constexpr uint32_t JOIN_GATHERING = 10000;

    Network(TimerFactory& timers, SocketFactory makeSocket, TraceLog& log, Clock clock);
    ~Network() override;
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    void setListenFactory(ListenSocketFactory makeListener) { links_.setListenFactory(std::move(makeListener)); }
    // Looks up neighbours given by host name when one dials in from an address no number matches.
    void setResolver(Resolver* resolver) { links_.setResolver(resolver); }
    // The turns in which the links' input is handled beside the stations'.
    void setTurns(Turns* turns) { links_.setTurns(turns); }
    // Makes the connection to a neighbour over the air; its connectTo gets the
    // neighbour's callsign and radio port. Without one such neighbours are not dialled.
    using AirSocketFactory = LinkSet::AirSocketFactory;
    void setAirFactory(AirSocketFactory makeAirSocket) { links_.setAirFactory(std::move(makeAirSocket)); }
    // Listens and dials as configured; closes what an earlier start made.
    void start(const NetworkConfig& config) { links_.start(config); }
    void stop() { links_.stop(); }
    // The listener, the bound on remote users and the neighbours as configured
    // now, without a start: one line for each change.
    std::vector<std::string> reconfigure(const NetworkConfig& config) { return links_.reconfigure(config); }
    // A neighbour taken down (closed, not dialled, refused) or up again; false when there is none of that name.
    bool setLinkDown(const std::string& name, bool down) { return links_.setDown(name, down); }
    const NetworkConfig& config() const override { return links_.config(); }

    // A connection as the listener hands it over (also for tests and tools).
    void accept(std::unique_ptr<ClientSocket> socket, const std::string& peerAddress)
    {
        links_.accept(std::move(socket), peerAddress);
    }
    // While paused, nothing is read from the links; what came meanwhile is
    // read when input resumes.
    void pauseInput(bool paused) { links_.pauseAll(PauseReason::Engine, paused); }
    bool inputPaused() const { return links_.pausedAll(PauseReason::Engine); }

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
    const RemoteUser* findRemote(const std::string& who) const override { return table_.findByName(who); }
    size_t remoteCount() const { return table_.size(); }
    std::vector<LinkStatus> links() const override;
    // The topic a neighbour gave a channel, empty when none.
    std::string topic(int32_t channel) const override { return table_.topic(channel); }

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
    // An invitation to a channel for one of our stations (`toCall` as the neighbour wrote it).
    std::function<void(const std::string& fromName, const std::string& fromHost, const std::string& toCall,
                       int32_t channel)>
        onInvited;
    // A channel's topic; empty when the one a neighbour gave is forgotten.
    std::function<void(int32_t channel, const std::string& topic)> onTopic;
    // One line for the connection log per link up, down, refused or looping.
    std::function<void(const std::string& line)> onLog;
    // The notices of many users at once are shown together: the joins a link
    // announces in its first JOIN_GATHERING ms, and the departures when it
    // goes. `open` begins such a gathering for the link of that name (joins
    // or departures), the same call with `open` false ends it.
    std::function<void(const std::string& link, bool joins, bool open)> onGathering;

private:
    void wire(Link& link);
    void handleUser(Link& link, const UserLine& line);
    void handleCmsg(Link& link, const ChatLine& line);
    void handleUmsg(Link& link, const std::string& from, const std::string& to, const std::string& text);
    void handleTopic(Link& link, const TopicLine& line);
    void handleInvite(Link& link, const std::string& from, const std::string& to, int32_t channel);
    void handleAway(Link& link, const AwayLine& line);
    // The host of a private line's or invitation's sender: the user's if we know
    // it over that link, else the neighbour's. Empty when the sender poses as someone else.
    std::string senderHost(Link& link, const std::string& sender);
    // A host seen over `link` that another link also reaches: the newer goes,
    // and its users stay, over the older.
    bool loopDropped(Link& link, const std::string& host);
    // A link that was up has gone: each of its users leaves.
    void forget(Link& link);
    void userLeaves(RemoteUser& user, int32_t channel, int64_t number);
    // A channel nobody is on any more keeps no topic.
    void channelEmptied(int32_t channel);
    void trace(uint8_t level, const std::string& text) { log_.writeLog(level, "{CONVERS} " + text); }
    void gathering(const std::string& link, bool joins, bool open)
    {
        if (onGathering)
            onGathering(link, joins, open);
    }
    void endJoinGathering(uint64_t linkId);

    TimerFactory& timers_;
    TraceLog& log_;
    Clock clock_;
    std::map<uint64_t, std::pair<std::string, std::unique_ptr<Timer>>> joinGatherings_; // by link id
    std::unique_ptr<Timer> retiredTimer_;
    LinkSet links_;
    RemoteTable table_;
    Relay relay_{links_, table_, clock_};
    LocalUsers locals_;
};
