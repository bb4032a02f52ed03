// TL2: the server's one connection to the AGW Packet Engine. It owns the TCP
// client socket, logs in, registers the callsign, sends frames (splitting long
// data), cuts received frames out of the byte stream and decodes each into
// events. No I/O of its own: the socket and timers come from outside.
#pragma once

#include "link/AgwFrame.h"
#include "support/ClientSocket.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

constexpr int MAX_PORTS = 16;
constexpr int MAX_HEARD = 20;

struct TPortRecord {
    std::string PortName;
    uint8_t Listed = 0;
    std::array<uint8_t, 8> Params{};
    int32_t ParamValue = 0;
    int32_t Waiting = 0;
    std::array<std::string, MAX_HEARD> Heard;
};

// The fields of a monitored frame's header text.
struct TMonitorHeader {
    std::string From;
    std::string To;
    std::string Via;
    std::string FrameType;
    std::string Pid;
    int32_t NR = 0;
    int32_t NS = 0;
    int32_t Len = 0;
    std::string Info;
};

class TL2 {
public:
    using Text = const std::string&;

    TL2(std::unique_ptr<ClientSocket> socket, TimerFactory& timers);
    ~TL2();
    TL2(const TL2&) = delete;
    TL2& operator=(const TL2&) = delete;

    // Connection settings. Address, Port and CallSign change through the
    // guarded setters; the owner writes Host directly.
    std::string Address;
    uint32_t Port = 8000;
    std::string Host;
    std::string CallSign;

    // Receive state (reassembly). RxBuffer holds unconsumed bytes from RxStart on.
    std::string RxBuffer;
    size_t RxStart = 0;
    bool Pending = false;
    std::string RxData;
    uint8_t RxPort = 0;
    uint8_t RxPid = 0;
    char RxKind = 0;
    std::string RxFrom;
    std::string RxTo;
    int32_t RxLen = 0;

    bool Active = false;
    bool Registered = false;
    std::string Monitor = "N";
    bool RawFrames = false;
    bool PortPolling = false;
    std::string LoginUser;
    std::string LoginPassword;
    int32_t VersionMajor = 0;
    int32_t VersionMinor = 0;
    int32_t PortCount = MAX_PORTS;
    std::unique_ptr<Timer> PortTimer;
    uint8_t LoopBack = 0;
    int32_t LoopBackPort = 0;

    // The trace; the owner copies its Debug, Trace and LogFile in.
    TraceLog Log{"", 1, ""};

    // Events, sender first; an empty one is skipped.
    std::function<void(TL2&)> FOnDestroy;
    std::function<void(TL2&, uint8_t Port, Text Call, Text Text_)> FOnMyConnect;
    std::function<void(TL2&, uint8_t Port, Text Call, Text Text_)> FOnHisConnect;
    std::function<void(TL2&, uint8_t Port, Text Call, Text Text_)> FOnAnyConnect;
    std::function<void(TL2&, uint8_t Port, Text Call, Text Text_)> FOnRetryOut;
    std::function<void(TL2&, uint8_t Port, Text Call, Text Text_)> FOnMyDisconnect;
    std::function<void(TL2&, uint8_t Port, Text Call, Text Text_)> FOnHisDisconnect;
    std::function<void(TL2&, uint8_t Port, Text Call, Text Text_)> FOnDisconnect;
    std::function<void(TL2&, uint8_t Port, Text From, Text To, Text Text_)> FOnConnectEx;
    std::function<void(TL2&, uint8_t Port, Text From, Text To, Text Text_)> FOnDisconnectEx;
    std::function<void(TL2&, uint8_t Port, uint8_t PID, char Kind, Text CallFrom, Text CallTo, Text Data)> FOnFrame;
    std::function<void(TL2&)> FOnAGWUp;
    std::function<void(TL2&)> FOnAGWDown;
    std::function<void(TL2&)> FOnAGWError;
    std::function<void(TL2&, Text Call, Text Data)> FOnRegister;
    std::function<void(TL2&, Text Call, Text Data)> FOnUnRegister;
    std::function<void(TL2&, uint8_t Port, Text From, Text To, Text Via, Text FrameType, Text Pid, int32_t NR,
                       int32_t NS, int32_t Len, Text Info)>
        FOnIFrame;
    std::function<void(TL2&, uint8_t Port, Text From, Text To, Text Via, Text FrameType, Text Pid, int32_t Len,
                       Text Info)>
        FOnUIFrame;
    std::function<void(TL2&, uint8_t Port, Text CallFrom, Text CallTo, Text Via, Text FrameType, int32_t NR)> FOnSFrame;
    std::function<void(TL2&, uint8_t Port, Text CallFrom, Text CallTo, uint8_t PID, Text Data)> FOnMonitor;
    std::function<void(TL2&, uint8_t Port, Text Data)> FOnRawFrame;
    std::function<void(TL2&, int32_t Major, int32_t Minor)> FOnVersion;
    std::function<void(TL2&)> FOnPort;
    std::function<void(TL2&)> FOnParameter;
    std::function<void(TL2&, uint8_t Port, int32_t Frames)> FOnPortFrames;
    std::function<void(TL2&, uint8_t Port, Text CallFrom, Text CallTo, uint8_t PID, Text Data)> FOnData;
    std::function<void(TL2&, uint8_t Port, Text From, Text To, uint8_t PID, Text Info)> FOnDataUI;
    // Answer to AskOutstanding: frames still to be sent or acknowledged on one connection.
    std::function<void(TL2&, uint8_t Port, Text CallFrom, Text CallTo, int32_t Frames)> FOnConnFrames;

    std::array<TPortRecord, MAX_PORTS + 1> Ports; // indexed 1..16; [0] unused

    // Connection (AGWL2.cpp)
    void Open();
    void SetAddress(const std::string& value);
    void SetPort(uint32_t value);
    void SetCallSign(const std::string& value);
    void SetRegister(bool value);
    void SetMonitor(const std::string& value);
    void AGWConnect();
    void AGWDisc();
    void AGWError(int& errorCode);
    void AGWRead();
    void PortTimerTick();

    // Send path (L2Send.cpp)
    void SendData(uint32_t Port_, uint8_t PID, const std::string& CallFrom, const std::string& CallTo,
                  const std::string& Text_);
    void Disconnect(uint8_t Port_, const std::string& CallFrom, const std::string& CallTo);
    bool AGWRegister(const std::string& Call);
    bool AGWUnRegister(const std::string& Call);
    // Asks how many frames of one connection the engine has yet to send or see
    // acknowledged (kind "Y"); the answer comes as FOnConnFrames. False when not sent.
    bool AskOutstanding(uint8_t Port_, const std::string& CallFrom, const std::string& CallTo);
    bool Write(uint8_t Port_, uint8_t PID, char Kind, std::string_view CallFrom, std::string_view CallTo,
               std::string_view Data);
    bool Send(ClientSocket* socket, uint8_t Port_, uint8_t PID, char Kind, std::string_view CallFrom,
              std::string_view CallTo, uint32_t DataLen, std::string_view Data);
    void SendAGW(std::string_view frame);
    // The via block of a "V" frame built from blank-separated digipeater calls.
    static std::string ViaList(std::string_view vias);

    // Receive path (L2Receive.cpp). Store decodes every complete frame of the
    // stream; FragFrame takes the data part of the current frame, true when it
    // was complete and decoded.
    void Store(std::string_view bytes);
    bool FragFrame();

    // Decoding (L2Decode.cpp, MonitorHeader.cpp, PortAnswers.cpp)
    void Decode(uint8_t Port_, uint8_t PID, char Kind, std::string CallFrom, std::string CallTo, int32_t DataLen,
                std::string Data);
    TMonitorHeader GetHeader(const std::string& Data);
    void ParsePort(const std::string& Data);
    void ParseParam(uint8_t Port_, const std::string& Data);
    void ParseHeard(uint8_t Port_, const std::string& Data);

    void WriteLog(uint8_t level, std::string_view text) { Log.WriteLog(level, text); }
    void WriteHex(uint8_t level, std::string_view data) { Log.WriteHex(level, data); }

    // Raises an event when it is assigned, after its "Fired Event" trace line.
    template <typename Event, typename... Args>
    void FireEvent(const Event& event, const char* name, const Args&... args)
    {
        if (!event)
            return;
        WriteLog(4, std::string("{L2} Fired Event <") + name + ">");
        event(*this, args...);
    }

    ClientSocket& Socket() { return *socket_; }

private:
    // The data of a frame as the trace may show it: the password of a login
    // frame is starred out.
    static std::string DataForTrace(char Kind, std::string_view Data);
    void DecodeOne();

    std::unique_ptr<ClientSocket> socket_;
    TimerFactory& timers_;
};
