// TForm1: the chat server. It owns the configuration, the link to AGWPE, the
// beacon, the areas and the user control blocks, and reacts to the link's
// events. Plain C++: the shell hands in the socket, the timers and the
// operator's dialogs.
#pragma once

#include "beacon/L2Beacon.h"
#include "link/AGWL2.h"
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

enum TUserState : uint8_t { DISC = 0, NONAME = 1, ONLINE = 2, EXPIRED = 3 };

struct TArea {
    int32_t Id = 0;
    std::string Topic;
    bool Lock = false;
    std::string Owner;
    std::string Created;
    uint32_t UserCount = 0;
};

struct TUser {
    int32_t Port = 0;
    std::string CallSign;
    std::string ServerCall;
    std::string Name;
    std::string Info;
    uint8_t State = DISC;
    int32_t AreaId = 0;
    std::unique_ptr<Timer> IdleTimer;
};

// A disconnect held back until the engine has sent what was queued for the
// station: an engine may drop unsent frames when it is told to disconnect.
struct TPendingDisc {
    int32_t Port = 0;
    std::string OwnCall;
    std::string Call;
    uint32_t Waited = 0;  // ms since the wait began, counted by Poll
    uint32_t AskedAt = 0; // Waited when the last "Y" went out
    bool Answered = false;
    std::unique_ptr<Timer> Poll;
};

constexpr int MAX_ENABLE_PORTS = 100;
constexpr uint8_t PID_NO_L3 = 0xF0;

class TForm1 {
public:
    // `baseDirectory` is the working directory with a trailing "/".
    TForm1(ShellServices& shell, TimerFactory& timers, SocketFactory makeSocket, std::string baseDirectory);
    ~TForm1();
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Configuration and state, at their built-in values.
    TraceLog Log{"YES", 4, "PALAVORO.LOG", true};
    std::string IpAddress = "127.0.0.1";
    std::string HostName;
    int32_t TcpPort = 8000;
    std::string CallSign = "NOBODY-0";
    int32_t Timeout = 600000;
    bool CreateArea = false;
    bool Bell = false;
    bool ForceName = false;
    std::array<bool, MAX_ENABLE_PORTS + 1> PortEnabled; // [1..100]
    bool Registered = false;
    std::string BeaconText;
    int32_t BeaconEvery = 0;
    std::string BeaconId;
    std::string BeaconVia;
    // Longest wait, in ms, for the engine to send a station's last texts before
    // its disconnect; 0 or less disconnects at once.
    int32_t DiscWait = 60000;

    std::list<TArea> AreaList;
    std::list<TUser> UserList;
    std::list<TPendingDisc> PendingDiscs;
    std::unique_ptr<TL2> L2;
    std::unique_ptr<TL2Beacon> Beacon;

    const std::string BaseDir;
    std::string IniFile() const { return BaseDir + "Palavoro.INI"; }
    std::string UserFile() const { return BaseDir + "Palavoro.USR"; }
    std::string TextDir() const { return BaseDir + "TEXT/"; }

    // Start-up: reads the INI file, creates and opens the link, the beacon and
    // the areas. Throws ConvertError naming the key when a number is bad.
    void FormCreate();

    // Areas and users (Areas.cpp, UserFile.cpp)
    TArea* FindArea(int32_t Id);
    void IncAreaUsers(int32_t Id);
    void DecAreaUsers(int32_t Id);
    TArea* AddArea(int32_t Id, const std::string& Topic, bool Lock, const std::string& Owner);
    TUser* FindUser(int32_t Port, const std::string& Call);
    TUser* FindUserByTimer(const Timer* timer);
    TUser* NewUser(int32_t Port, const std::string& Call);
    void RemoveUser(TUser* user);
    static std::string BaseCall(const std::string& Call);
    void LoadUserInfo(const std::string& Call, std::string& Name, std::string& Info);
    void SaveUserInfo(const std::string& Call, const std::string& Name, const std::string& Info);

    // Connections and link events (Connections.cpp)
    void OnConnect(TL2& link, uint8_t Port, const std::string& From, const std::string& To, const std::string& Text);
    void OnData(TL2& link, uint8_t Port, const std::string& CallFrom, const std::string& CallTo, uint8_t PID,
                const std::string& Data);
    void OnDisconnect(TL2& link, uint8_t Port, const std::string& Call, const std::string& Text);
    void OnIdleTimeout(Timer* timer);
    void OnAGWUp(TL2& link);
    void OnAGWDown(TL2& link);
    void OnAGWError(TL2& link);
    void OnRegister(TL2& link, const std::string& Call, const std::string& Data);
    void OnVersion(TL2& link, int32_t Major, int32_t Minor);
    void OnPort(TL2& link);
    void OnBeacon(TL2& link, uint8_t Port, const std::string& Call, const std::string& ID, const std::string& Via,
                  const std::string& Text);

    // Disconnects that wait until the station's texts are on the air (DisconnectDrain.cpp)
    void DisconnectWhenSent(int32_t Port, const std::string& OwnCall, const std::string& Call);
    void OnConnFrames(TL2& link, uint8_t Port, const std::string& CallFrom, const std::string& CallTo, int32_t Frames);
    void OnDrainPoll(Timer* timer);
    // The station left by itself: its pending disconnect is dropped.
    void EndDrain(int32_t Port, const std::string& Call);

    // Command interpreter (Commands.cpp)
    void ExecuteCommand(int32_t Port, const std::string& Call, TUser& User, const std::string& Text);

    // Area membership and delivery (Delivery.cpp)
    void BroadCastToArea(int32_t Port, const std::string& Call, int32_t AreaId, const std::string& Text);
    void BroadCastAll(int32_t Port, const std::string& Call, const std::string& Text);
    void SendData(int32_t Port, const std::string& Call, TUser& User, const std::string& Text);
    void JoinArea(int32_t Port, const std::string& Call, TUser& User, int32_t NewId);
    void MoveAreaUsers(int32_t FromId, int32_t ToId);
    int32_t FreeAreaId();
    void DeleteArea(TArea* area);
    TUser* FindUserByCall(const std::string& Call);
    void ListAreas(int32_t Port, const std::string& Call);
    void ListUsersByArea(int32_t Port, const std::string& Call, TArea* area);
    int ListUsersInArea(int32_t Port, const std::string& Call, int32_t AreaId);
    void SendFile(int32_t Port, const std::string& Call, const std::string& FileName, const std::string& Fallback);
    void SendPrompt(int32_t Port, const std::string& Call, int32_t AreaId);
    // One text to one station: PID 0xF0, own call as sender.
    void SendTo(int32_t Port, const std::string& Call, const std::string& Text);

    void WriteLog(uint8_t level, std::string_view text) { Log.WriteLog(level, text); }
    void WriteHex(uint8_t level, std::string_view data) { Log.WriteHex(level, data); }

    ShellServices& Shell() { return shell_; }

private:
    ShellServices& shell_;
    TimerFactory& timers_;
    SocketFactory makeSocket_;
};
