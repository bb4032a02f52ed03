// Keeps the link to the engine: registers the callsign on every radio port,
// decides from the engine's answer when stations may come in, and, when the
// link is lost, drops what the engine dropped with it and connects again after
// 1, 2, 4 ... up to 60 s, for as long as it takes.
#pragma once

#include "link/AgwLink.h"
#include "server/Directory.h"
#include "server/DisconnectDrain.h"
#include "server/Settings.h"
#include "server/ShellServices.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>

class LinkKeeper {
public:
    struct Parts {
        Directory& directory;
        DisconnectDrain& drain;
        const ServerSettings& settings;
        const std::unique_ptr<AgwLink>& link;
        TraceLog& log;
        TimerFactory& timers;
        ShellServices& shell;
    };

    static constexpr uint32_t FIRST_RETRY = 1000;
    static constexpr uint32_t LONGEST_RETRY = 60000;
    static constexpr uint32_t NOTICE_EVERY = 600000;
    static constexpr uint32_t REGISTRATION_RETRY = 10000;
    static constexpr uint32_t REGISTRATION_GIVE_UP = 30000;

    explicit LinkKeeper(const Parts& parts) : p_(parts) {}

    // The connection is up: register on the first port.
    void linkUp(AgwLink& link);
    // The engine's answer to a registration on one port.
    void registrationAnswered(AgwLink& link, RadioPort port, const std::string& call, const std::string& data);
    // The port list came: register on every further port, once per connection.
    void portListReceived(AgwLink& link);
    // The connection ended or could not be made. Only with RECONNECT on.
    void linkLost(const std::string& reason);
    // Any frame came from the engine on this connection: it speaks AGW.
    void engineAnswered() { answered_ = true; }

    // Stations are admitted only once the engine has confirmed the callsign.
    bool isRegistered() const { return registered_; }
    void setRegistered(bool value) { registered_ = value; }
    // True from a loss until the engine confirms the callsign again.
    bool isWaiting() const { return waiting_; }
    // Nothing has answered at the engine's address since start-up: a failure
    // is "no AGW engine answers", not a link that broke.
    bool neverReached() const { return !everLinked_ && !connected_; }
    // The pause before the next try, in ms.
    uint32_t retryDelay() const { return delay_; }
    // Forgets everything of an earlier connection (start-up).
    void reset();

private:
    void tryAgain();
    // What the operator is told of a loss, naming the engine: a service
    // that is no engine, no engine yet, or an engine lost.
    std::string lossMessage(const std::string& reason) const;
    void registrationTick();
    void stopRegistrationTimer();
    std::string engine() const;
    void writeLog(uint8_t level, std::string_view text) { p_.log.writeLog(level, text); }

    Parts p_;
    bool registered_ = false;
    bool waiting_ = false;    // lost, not back yet
    bool attempting_ = false; // a connect of ours is under way while waiting
    bool everLinked_ = false; // the engine took the callsign once since start-up
    bool connected_ = false;  // this connection reached the engine's port
    bool answered_ = false;   // and a frame came back on it
    bool notEngineSaid_ = false;
    uint32_t delay_ = FIRST_RETRY;
    uint32_t sinceNotice_ = 0; // ms of waiting since the last level-1 line
    std::unique_ptr<Timer> retryTimer_;

    bool firstPending_ = false;     // the first port's registration awaits its answer
    std::set<uint8_t> morePending_; // further ports asked on this connection
    bool morePortsAsked_ = false;
    uint32_t registrationWaited_ = 0;
    std::unique_ptr<Timer> registrationTimer_;
};
