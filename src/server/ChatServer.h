// ChatServer: the chat server. It owns the configuration, the link to AGWPE, the
// beacon, the areas and the user control blocks, and reacts to the link's
// events. Plain C++: the shell hands in the socket, the timers and the
// operator's dialogs.
#pragma once

#include "beacon/Beacon.h"
#include "link/AgwLink.h"
#include "server/ShellServices.h"
#include "support/ClientSocket.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

enum StationState : uint8_t { DISC = 0, NONAME = 1, ONLINE = 2, EXPIRED = 3 };

struct Area {
    int32_t id = 0;
    std::string topic;
    bool lock = false;
    std::string owner;
    std::string created;
    uint32_t userCount = 0;
};

struct Station {
    int32_t port = 0;
    std::string callSign;
    std::string serverCall;
    std::string name;
    std::string info;
    uint8_t state = DISC;
    int32_t areaId = 0;
    std::unique_ptr<Timer> timeLimit;
};

// A disconnect held back until the engine has sent what was queued for the
// station: an engine may drop unsent frames when it is told to disconnect.
struct PendingDisconnect {
    int32_t port = 0;
    std::string ownCall;
    std::string call;
    uint32_t waited = 0;  // ms since the wait began, counted by Poll
    uint32_t askedAt = 0; // Waited when the last "Y" went out
    bool answered = false;
    std::unique_ptr<Timer> poll;
};

constexpr int MAX_ENABLE_PORTS = 100;
constexpr uint8_t PID_NO_L3 = 0xF0;

class ChatServer {
public:
    // `baseDirectory` is the working directory with a trailing "/".
    ChatServer(ShellServices& shell, TimerFactory& timers, SocketFactory makeSocket, std::string baseDirectory);
    ~ChatServer();
    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    // Configuration and state, at their built-in values.
    TraceLog log{"YES", 4, "PALAVORO.LOG", true};
    std::string ipAddress = "127.0.0.1";
    std::string hostName;
    int32_t tcpPort = 8000;
    std::string callSign = "NOBODY-0";
    int32_t timeout = 600000;
    bool createArea = false;
    bool bell = false;
    bool forceName = false;
    std::array<bool, MAX_ENABLE_PORTS + 1> portEnabled; // [1..100]
    bool registered = false;
    std::string beaconText;
    int32_t beaconEvery = 0;
    std::string beaconId;
    std::string beaconVia;
    // Longest wait, in ms, for the engine to send a station's last texts before
    // its disconnect; 0 or less disconnects at once.
    int32_t discWait = 60000;

    std::list<Area> areas;
    std::list<Station> stations;
    std::list<PendingDisconnect> pendingDisconnects;
    std::unique_ptr<AgwLink> link_;
    std::unique_ptr<Beacon> beacon_;

    const std::string baseDir;
    std::string iniFile() const { return baseDir + "Palavoro.INI"; }
    std::string userFile() const { return baseDir + "Palavoro.USR"; }
    std::string textDir() const { return baseDir + "TEXT/"; }

    // Start-up: reads the INI file, creates and opens the link, the beacon and
    // the areas. Throws ConvertError naming the key when a number is bad.
    void start();

    // Areas and users (Areas.cpp, userFile.cpp)
    Area* findArea(int32_t id);
    void incAreaUsers(int32_t id);
    void decAreaUsers(int32_t id);
    Area* addArea(int32_t id, const std::string& topic, bool lock, const std::string& owner);
    Station* findStation(int32_t port, const std::string& call);
    Station* findStationByTimer(const Timer* timer);
    Station* newStation(int32_t port, const std::string& call);
    void removeStation(Station* user);
    static std::string baseCall(const std::string& call);
    void loadUserInfo(const std::string& call, std::string& name, std::string& info);
    void saveUserInfo(const std::string& call, const std::string& name, const std::string& info);

    // Connections and link events (Connections.cpp)
    void handleConnect(AgwLink& link, uint8_t port, const std::string& from, const std::string& to,
                       const std::string& text);
    void handleData(AgwLink& link, uint8_t port, const std::string& callFrom, const std::string& callTo, uint8_t pid,
                    const std::string& data);
    void handleDisconnect(AgwLink& link, uint8_t port, const std::string& call, const std::string& text);
    void handleTimeLimit(Timer* timer);
    void handleLinkUp(AgwLink& link);
    void handleLinkDown(AgwLink& link);
    void handleLinkError(AgwLink& link);
    void handleRegistration(AgwLink& link, const std::string& call, const std::string& data);
    void handleVersion(AgwLink& link, int32_t major, int32_t minor);
    void handlePortList(AgwLink& link);
    void handleBeacon(AgwLink& link, uint8_t port, const std::string& call, const std::string& id,
                      const std::string& via, const std::string& text);

    // Disconnects that wait until the station's texts are on the air (DisconnectDrain.cpp)
    void disconnectWhenSent(int32_t port, const std::string& ownCall, const std::string& call);
    void handleConnFrames(AgwLink& link, uint8_t port, const std::string& callFrom, const std::string& callTo,
                          int32_t frames);
    void handleDrainPoll(Timer* timer);
    // The station left by itself: its pending disconnect is dropped.
    void endDrain(int32_t port, const std::string& call);

    // Command interpreter (Commands.cpp)
    void executeCommand(int32_t port, const std::string& call, Station& user, const std::string& text);

    // Area membership and delivery (Delivery.cpp)
    void broadCastToArea(int32_t port, const std::string& call, int32_t areaId, const std::string& text);
    void broadCastAll(int32_t port, const std::string& call, const std::string& text);
    void sendData(int32_t port, const std::string& call, Station& user, const std::string& text);
    void joinArea(int32_t port, const std::string& call, Station& user, int32_t newId);
    void moveAreaUsers(int32_t fromId, int32_t toId);
    int32_t freeAreaId();
    void deleteArea(Area* area);
    Station* findStationByCall(const std::string& call);
    void listAreas(int32_t port, const std::string& call);
    void listStationsByArea(int32_t port, const std::string& call, Area* area);
    int listStationsInArea(int32_t port, const std::string& call, int32_t areaId);
    void sendFile(int32_t port, const std::string& call, const std::string& fileName, const std::string& fallback);
    void sendPrompt(int32_t port, const std::string& call, int32_t areaId);
    // One text to one station: PID 0xF0, own call as sender.
    void sendTo(int32_t port, const std::string& call, const std::string& text);

    void writeLog(uint8_t level, std::string_view text) { log.writeLog(level, text); }
    void writeHex(uint8_t level, std::string_view data) { log.writeHex(level, data); }

    ShellServices& shell() { return shell_; }

private:
    ShellServices& shell_;
    TimerFactory& timers_;
    SocketFactory makeSocket_;
};
