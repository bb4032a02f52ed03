// ChatServer: the chat server as a whole. It owns the configuration, the trace,
// the link to the engine, the beacon, the directory of areas and stations and
// the parts that act on them, and wires the link's events to them at start-up.
// Plain C++: the shell hands in the socket, the timers and the operator's dialogs.
#pragma once

#include "beacon/Beacon.h"
#include "convers/Network.h"
#include "link/AgwLink.h"
#include "server/AirLinks.h"
#include "server/Commands.h"
#include "server/Connections.h"
#include "server/ControlReply.h"
#include "server/Delivery.h"
#include "server/Directory.h"
#include "server/DisconnectDrain.h"
#include "server/LinkKeeper.h"
#include "server/NetworkAreas.h"
#include "server/PasswordFile.h"
#include "server/ServerStats.h"
#include "server/Settings.h"
#include "server/SettingsCheck.h"
#include "server/ShellServices.h"
#include "server/SysopControl.h"
#include "server/TcpUsers.h"
#include "server/UserFile.h"
#include "support/ClientSocket.h"
#include "support/ListenSocket.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr const char* PROGRAM_VERSION = "Palavoro 0.10";

class ChatServer {
public:
    // `baseDirectory` is the working directory with a trailing "/".
    ChatServer(ShellServices& shell, TimerFactory& timers, SocketFactory makeSocket, std::string baseDirectory);
    ~ChatServer();
    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    // Start-up: reads the INI file, creates and opens the link, the beacon and
    // the areas. Throws StartupError, and makes nothing, when a problem of the
    // station's files stops it.
    void start();
    // The polite stop: names not yet written are written, the host links
    // close, then every station gets its notice and disconnect; `done` runs
    // when all that is over.
    void stop(std::function<void()> done);
    // Palavoro.INI read again with the reading start-up uses: what can change
    // at once does (the network's links and listener, the limits for stations
    // that connect from now on, the beacon, the trace, the status page's
    // address for the shell to move), without dropping a station; keys that
    // need a restart are named and left as they were. With a problem that
    // would stop start-up, nothing changes. One line per change or problem.
    struct ReloadResult {
        bool applied = false;
        std::vector<std::string> lines;
        bool statusMoved = false;
    };
    ReloadResult reload();
    // Around each reload: with none as it begins, with its result when it is over.
    std::function<void(const ReloadResult* result)> onReload;
    // A sysop's request (`palavoro ctl`, but for reload, which is the shell's),
    // by the caller's uid: one connection-log line, then the verb.
    ControlReply control(const std::vector<std::string>& arguments, uint32_t uid);
    // The engine and the stations in one line (systemd's status, `ctl status`).
    std::string stateLine();
    // How host links are accepted; set by the shell before start(). Without
    // it the server only dials its neighbours.
    // The same factory serves the listener of users over TCP.
    void setListenFactory(ListenSocketFactory makeListener)
    {
        tcpUsers_.setListenFactory(makeListener);
        network_.setListenFactory(std::move(makeListener));
    }
    // How start-up looks the engine's host name up, to say when it does not
    // resolve; set by the shell. Without it nothing is looked up.
    void setHostLookup(HostLookup lookup) { hostLookup_ = std::move(lookup); }
    // What start-up found wrong in the station's files, in the check's words.
    const SettingsProblems& startupProblems() const { return problems_; }

    const std::string& baseDir() const { return baseDir_; }
    std::string iniFile() const { return baseDir_ + "Palavoro.INI"; }
    std::string textDir() const { return baseDir_ + "TEXT/"; }

    ServerSettings& settings() { return settings_; }
    TraceLog& traceLog() { return log_; }
    // The link to the engine, once start-up has made it.
    AgwLink* link() { return link_.get(); }
    // Puts another link in place of the one start-up makes (tests, tools).
    void replaceLink(std::unique_ptr<AgwLink> link);
    // The beacon, when one is configured.
    Beacon* beacon() { return beacon_.get(); }
    void replaceBeacon(std::unique_ptr<Beacon> beacon) { beacon_ = std::move(beacon); }

    Directory& directory() { return directory_; }
    const Directory& directory() const { return directory_; }
    UserFile& userFile() { return userFile_; }
    Delivery& delivery() { return delivery_; }
    DisconnectDrain& drain() { return drain_; }
    StationOutput& output() { return output_; }
    Turns& turns() { return turns_; }
    // What may wait for the stations in the server before turns stop making more.
    static constexpr size_t OUTPUT_HELD = 4 << 20;
    CommandInterpreter& commands() { return commands_; }
    LinkKeeper& keeper() { return keeper_; }
    Connections& connections() { return connections_; }
    Network& network() { return network_; }
    NetworkAreas& networkAreas() { return networkAreas_; }
    AirLinks& airLinks() { return airLinks_; }
    TcpUsers& tcpUsers() { return tcpUsers_; }
    PasswordFile& passwords() { return passwords_; }
    ServerStats& stats() { return stats_; }
    const ServerStats& stats() const { return stats_; }

    // True while so much output waits for the engine that nothing should be
    // read that makes more (the engine's frames, host links); onBacklogChanged
    // says when it turns, off only once the server's own held-back work is done.
    bool outputBacklogged() const { return backlogReported_; }
    std::function<void(bool backlogged)> onBacklogChanged;

private:
    void wireLink();
    void watchBacklog();
    void backlogChanged();
    void makeBeacon();
    ServerSettings defaultSettings() const;
    ReloadResult readAgain();
    // Ports that DISABLE names are closed to stations, the others open.
    void applyDisable(const std::string& disable);
    void makeAreas();
    void wireNetwork();
    void writeLog(uint8_t level, std::string_view text) { log_.writeLog(level, text); }

    const std::string baseDir_;
    ShellServices& shell_;
    TimerFactory& timers_;
    SocketFactory makeSocket_;

    ServerSettings settings_;
    SettingsProblems problems_;
    HostLookup hostLookup_;
    ServerStats stats_;
    TraceLog log_{"YES", 4, "PALAVORO.LOG", true};
    std::unique_ptr<AgwLink> link_;
    StationOutput output_{link_, timers_, log_};
    // The stations' and the host links' work, in turns while output may grow.
    Turns turns_;
    std::unique_ptr<Beacon> beacon_;
    Network network_;
    Directory directory_{log_};
    UserFile userFile_;
    Delivery delivery_;
    DisconnectDrain drain_;
    CommandInterpreter commands_;
    LinkKeeper keeper_;
    Connections connections_;
    NetworkAreas networkAreas_;
    bool backlogReported_ = false;
    AirLinks airLinks_;
    PasswordFile passwords_;
    TcpUsers tcpUsers_;
    SysopControl sysop_;
    std::string disable_; // DISABLE as read
};
