// The server's reactions to the link's events: stations connecting (admission,
// greeting, time and idle limits), their lines (command or relay, then the
// prompt), their departure; and the life of the link itself (registration,
// engine version, port list, beacon). Connects, refusals, departures and the
// link's changes go to the connection log.
#pragma once

#include "beacon/Beacon.h"
#include "link/AgwLink.h"
#include "server/Commands.h"
#include "server/Delivery.h"
#include "server/Directory.h"
#include "server/DisconnectDrain.h"
#include "server/LinkKeeper.h"
#include "server/ServerStats.h"
#include "server/Settings.h"
#include "server/ShellServices.h"
#include "server/UserFile.h"
#include "support/Timer.h"
#include "support/Turns.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class Connections {
public:
    struct Parts {
        Delivery& delivery;
        Directory& directory;
        DisconnectDrain& drain;
        CommandInterpreter& commands;
        LinkKeeper& keeper;
        UserFile& userFile;
        const ServerSettings& settings;
        const std::unique_ptr<AgwLink>& link;
        const std::unique_ptr<Beacon>& beacon;
        TraceLog& log;
        TimerFactory& timers;
        ShellServices& shell;
        ServerStats& stats;
        Turns& turns;
    };

    explicit Connections(const Parts& parts) : p_(parts) {}

    void handleConnect(AgwLink& link, RadioPort port, const std::string& from, const std::string& to,
                       const std::string& text);
    void handleData(AgwLink& link, RadioPort port, const std::string& callFrom, const std::string& callTo, uint8_t pid,
                    const std::string& data);
    void handleDisconnect(AgwLink& link, RadioPort port, const std::string& call, const std::string& text);
    // A user logged in over TCP (`how` says from where), its text, its connection gone.
    // Such users are admitted and kept with or without the engine.
    void tcpConnected(const std::string& call, const std::string& how);
    void tcpData(const std::string& call, const std::string& data);
    // `why`, when given, is how its stay ended (for the connection log).
    void tcpGone(const std::string& call, const std::string& why = "");
    // The time limit or the idle limit of a station ran out.
    void handleTimeLimit(Timer* timer);
    void handleLinkUp(AgwLink& link);
    void handleLinkDown(AgwLink& link);
    void handleLinkError(AgwLink& link);
    void handleRegistration(AgwLink& link, RadioPort port, const std::string& call, const std::string& data);
    // The link ended the connection itself: the stream or the engine's reading cannot be trusted.
    void handleBroken(AgwLink& link, const std::string& reason);
    void handleVersion(AgwLink& link, int32_t major, int32_t minor);
    void handlePortList(AgwLink& link);
    void handleBeacon(AgwLink& link, RadioPort port, const std::string& call, const std::string& id,
                      const std::string& via, const std::string& text);

    // Stations are admitted only once the engine has confirmed the callsign.
    bool isRegistered() const { return p_.keeper.isRegistered(); }
    void setRegistered(bool value) { p_.keeper.setRegistered(value); }

    // Every station gets a notice and its disconnect, the drained way; `done`
    // runs once the engine has reported all of them gone, or after STOP_WAIT
    // ms at the most, when the disconnects still waiting go out anyway and
    // the last frames get FLUSH_WAIT ms: the stop takes 10 s at the most.
    void stopAll(std::function<void()> done);
    // The sysop sends every station of `call` away: `text` (if any), then the
    // disconnect as after a time limit. How many there were.
    size_t sendAway(const std::string& call, const std::string& text);
    static constexpr uint32_t STOP_WAIT = 7000;
    static constexpr int FLUSH_WAIT = 2000;

    // The output drained below the low mark: the stations' work that waited
    // for it (lines, departures, limits) is done in turns until it fills again.
    void resumeWork() { p_.turns.serve(); }
    // Lines, departures and limits waiting, of every station.
    size_t waitingWork() const;
    // Text of lines waiting, of every station.
    size_t heldInput() const { return heldInput_; }

    // What waits for one station's turn is bounded: its further lines are
    // dropped, with one notice. Past all that waits of every station, the
    // engine is not read until half of it is done.
    static constexpr size_t MAX_STATION_INPUT = 64 * 1024;
    static constexpr size_t MAX_HELD_INPUT = 4 << 20;
    // The work items of one station's turn.
    static constexpr size_t TURN_ITEMS = 4;
    static constexpr const char* TOO_MANY = "\r-- Too many lines at once, some were not taken\r";

    // The link to the engine changed its state: the line goes to the
    // connection log and the status page counts the state's time from now.
    void linkStateChanged(const std::string& line);

    // A station's text is handled line by line: a line may come in several
    // frames, and a frame may hold several lines. A line that has no end yet
    // is handled as it is after HELD_LINE_WAIT ms without more text, or once
    // it is MAX_HELD_LINE bytes long.
    static constexpr uint32_t HELD_LINE_WAIT = 2000;
    static constexpr size_t MAX_HELD_LINE = 1024;

private:
    using Key = std::pair<int32_t, std::string>;
    // A station's work (its lines, its departure, its limits, its welcome),
    // done in its turns and in order; a line's text counts against MAX_STATION_INPUT.
    struct Item {
        std::function<void()> run;
        size_t bytes = 0; // text, for what counts against MAX_STATION_INPUT
        Turns::Kind kind = Turns::Kind::Lines;
    };
    struct Work {
        std::deque<Item> items;
        size_t bytes = 0;
        bool told = false; // of lines dropped
    };
    // Queues work for the station's turn and serves the turns; false when a
    // line does not fit. Text not yet cut into lines counts, but is cut
    // (and bounded) in its turn.
    bool later(int32_t port, const std::string& call, std::function<void()> item, size_t bytes = 0,
               bool bounded = true);
    // An arrival, departure or limit: announced to the area, it takes a turn of comings and goings.
    void laterComing(int32_t port, const std::string& call, std::function<void()> item);
    void queueItem(int32_t port, const std::string& call, Item item);
    std::optional<Turns::Kind> turn(const Key& key);
    void forgetWork(const Key& key);
    // The engine is not read while too much of what it sent waits.
    void holdInput();
    void admit(int32_t port, const std::string& from, const std::string& to, const std::string& text, const char* how);
    // A connect for a station that is on already: a new link for the same stay.
    void connectAgain(Station& station, const std::string& to);
    // The time limit and the idle limit, from now, as the settings ask.
    void startLimits(Station& station);
    // The welcome text, the hello for a known name, and the prompt.
    void greet(const Station& station);
    void depart(int32_t port, const std::string& call);
    void stationData(int32_t port, const std::string& callFrom, const std::string& callTo, uint8_t pid,
                     const std::string& data);
    void stationGone(int32_t port, const std::string& call, const std::string& text);
    void endStay(int32_t port, const std::string& call, bool idle);
    // A station leaves with part of a line held: it goes to the area now.
    void lastWords(Station& station);
    // The engine link is gone and every station with it.
    void dropStations(const std::string& reason);
    // A station asked to go, or refused, whose block is gone: its text is not welcomed.
    bool isLeaving(int32_t port, const std::string& call) const { return leaving_.count({port, call}) > 0; }
    // A running timer for the time limit or the idle limit.
    std::unique_ptr<Timer> startLimit(uint32_t milliseconds);
    // A line from the station: the idle limit starts again.
    void noteLine(Station& station);
    // "connect N0ABC port 1", "left N0ABC port 1: bye"...
    void logStation(const char* event, const std::string& call, int32_t port, const std::string& how = "");

    void writeLog(uint8_t level, std::string_view text) { p_.log.writeLog(level, text); }
    // One whole line of a station, with its line end: a command or a line for
    // its area, then the prompt.
    void handleLine(int32_t port, const std::string& call, const std::string& line);
    void handleHeldLine(int32_t port, const std::string& call);
    // The lines the text completes, each with its line end; the rest is held.
    static std::vector<std::string> takeLines(Station& station, std::string_view data);

    void stopped();
    // Every station's port and callsign, in connection order.
    std::vector<std::pair<int32_t, std::string>> stationKeys() const;

    Parts p_;
    std::map<Key, Work> work_;
    size_t heldInput_ = 0;
    bool inputHeld_ = false;
    std::set<std::pair<int32_t, std::string>> leaving_;
    std::function<void()> onStopped_;
    std::unique_ptr<Timer> stopTimer_;
};
