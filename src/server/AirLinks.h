// Host links over the air. Stands in front of the station handling for the
// engine's connection events: connections of our own host links go to their
// sockets; a connection from a neighbour's callsign waits for its first line,
// which makes it a host link (a HOST) or a station (anything else); a HOST
// from any other callsign is refused.
#pragma once

#include "convers/Network.h"
#include "server/AirSocket.h"
#include "server/Connections.h"
#include "server/DisconnectDrain.h"
#include "server/LinkKeeper.h"
#include "server/Settings.h"
#include "server/ShellServices.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

class AirLinks {
public:
    struct Parts {
        Connections& connections;
        Network& network;
        DisconnectDrain& drain;
        LinkKeeper& keeper;
        const ServerSettings& settings;
        const std::unique_ptr<AgwLink>& link;
        TraceLog& log;
        TimerFactory& timers;
        ShellServices& shell;
    };
    // How long a neighbour's callsign has to send its first line.
    static constexpr uint32_t FIRST_LINE_WAIT = 30000;

    explicit AirLinks(const Parts& parts);
    ~AirLinks();
    AirLinks(const AirLinks&) = delete;
    AirLinks& operator=(const AirLinks&) = delete;

    // The network's factory for neighbours over the air.
    std::unique_ptr<ClientSocket> makeSocket(const Neighbour& neighbour);

    // The engine's events; what is not ours goes on to the stations.
    void handleConnect(AgwLink& link, RadioPort port, const std::string& from, const std::string& to,
                       const std::string& text);
    void handleData(AgwLink& link, RadioPort port, const std::string& callFrom, const std::string& callTo, uint8_t pid,
                    const std::string& data);
    void handleDisconnect(AgwLink& link, RadioPort port, const std::string& call, const std::string& text);
    void handleConnFrames(AgwLink& link, RadioPort port, const std::string& callFrom, const std::string& callTo,
                          int32_t frames);
    // The engine is gone, and every connection through it.
    void engineDown();
    // The server ends: every link over the air is disconnected at once.
    void closeAll();
    // The polite stop: `done` runs once the engine has reported our links
    // over the air gone (the network has closed them), or after STOP_WAIT ms.
    void whenClosed(std::function<void()> done);
    static constexpr uint32_t STOP_WAIT = 5000;

    size_t waitingCount() const { return waiting_.size(); }

private:
    using Key = std::pair<RadioPort, std::string>; // radio port, upper-case callsign
    // A neighbour's callsign connected; its first line decides.
    struct Waiting {
        RadioPort port = 0;
        std::string call;
        std::string ownCall;
        std::string text; // the engine's connect notice, for the station
        std::string bytes;
        std::unique_ptr<Timer> timer;
    };

    AirSocket* socketOf(RadioPort port, const std::string& call);
    std::list<Waiting>::iterator waitingOf(RadioPort port, const std::string& call);
    const Neighbour* neighbourByCall(const std::string& call) const;
    void firstLines(std::list<Waiting>::iterator waiting);
    void becomeStation(std::list<Waiting>::iterator waiting);
    void becomeLink(std::list<Waiting>::iterator waiting);
    void track(AirSocket& socket);
    void writeLog(uint8_t level, const std::string& text) { p_.log.writeLog(level, "{CONVERS} " + text); }

    Parts p_;
    std::map<Key, AirSocket*> sockets_;
    std::list<Waiting> waiting_;
    std::set<Key> fresh_;   // stations that have not sent a line yet
    std::set<Key> closing_; // our own disconnects, whose notice is not a station's
    std::function<void()> onClosed_;
    std::unique_ptr<Timer> stopTimer_;
};
