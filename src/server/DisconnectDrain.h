// Disconnects held back until what waits here for the station has gone to
// the engine and the engine has sent it: an engine may drop unsent frames
// when it is told to disconnect. Each waiting disconnect asks the engine
// ("Y") once a second how many frames are outstanding and sends "d" when none
// are, or when the wait runs out.
#pragma once

#include "link/AgwLink.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

struct PendingDisconnect {
    int32_t port = 0;
    std::string ownCall;
    std::string call;
    uint32_t waited = 0;  // ms since the wait began, counted by the poll timer
    uint32_t askedAt = 0; // `waited` when the last "Y" went out
    bool answered = false;
    bool queuedHere = false; // lines still wait in the server: no question yet
    std::unique_ptr<Timer> poll;
};

class DisconnectDrain {
public:
    // `discWait` is the longest wait in ms; 0 or less disconnects at once.
    DisconnectDrain(const std::unique_ptr<AgwLink>& link, TimerFactory& timers, const int32_t& discWait, TraceLog& log);

    void disconnectWhenSent(int32_t port, const std::string& ownCall, const std::string& call);
    // The engine's answer to "Y".
    void handleConnFrames(AgwLink& link, RadioPort port, const std::string& callFrom, const std::string& callTo,
                          int32_t frames);
    // Everything that waited in the server for the station has gone to the engine.
    void outputDrained(int32_t port, const std::string& call);
    // A user over TCP is disconnected by its own connection, once what waits for it is sent.
    std::function<void(const std::string& call)> disconnectDirect;
    // Text still waiting in the server for a station.
    std::function<size_t(int32_t port, const std::string& call)> waitingHere;
    // The station left by itself: its pending disconnect is dropped.
    void endDrain(int32_t port, const std::string& call);
    bool isPending(int32_t port, const std::string& call) const;
    size_t pendingCount() const { return pending_.size(); }
    const std::list<PendingDisconnect>& pending() const { return pending_; }
    void clear() { pending_.clear(); }
    // Sends every waiting disconnect now, whatever is still queued (the stop).
    void disconnectAllNow();

private:
    void handlePoll(Timer* timer);
    bool queued(int32_t port, const std::string& call) const { return waitingHere && waitingHere(port, call) > 0; }

    const std::unique_ptr<AgwLink>& link_;
    TimerFactory& timers_;
    const int32_t& discWait_;
    TraceLog& log_;
    std::list<PendingDisconnect> pending_;
};
