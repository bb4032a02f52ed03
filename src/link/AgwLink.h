// AgwLink: the server's one connection to the AGW Packet Engine. It owns the TCP
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

struct EnginePort {
    std::string portName;
    uint8_t listed = 0;
    std::array<uint8_t, 8> params{};
    int32_t paramValue = 0;
    int32_t waiting = 0;
    std::array<std::string, MAX_HEARD> heard;
};

// The fields of a monitored frame's header text.
struct MonitorHeader {
    std::string from;
    std::string to;
    std::string via;
    std::string frameType;
    std::string pid;
    int32_t nr = 0;
    int32_t ns = 0;
    int32_t len = 0;
    std::string info;
};

class AgwLink {
public:
    using TextRef = const std::string&;

    AgwLink(std::unique_ptr<ClientSocket> socket, TimerFactory& timers);
    ~AgwLink();
    AgwLink(const AgwLink&) = delete;
    AgwLink& operator=(const AgwLink&) = delete;

    // Connection settings. Address, Port and callSign change through the
    // guarded setters; the owner writes Host directly.
    std::string address;
    uint32_t port = 8000;
    std::string host;
    std::string callSign;

    // Receive state (reassembly). rxBuffer holds unconsumed bytes from rxStart on.
    std::string rxBuffer;
    size_t rxStart = 0;
    bool pending = false;
    std::string rxData;
    uint8_t rxPort = 0;
    uint8_t rxPid = 0;
    char rxKind = 0;
    std::string rxFrom;
    std::string rxTo;
    int32_t rxLen = 0;

    bool active = false;
    bool registered = false;
    std::string monitor = "N";
    bool rawFrames = false;
    bool portPolling = false;
    std::string loginUser;
    std::string loginPassword;
    int32_t versionMajor = 0;
    int32_t versionMinor = 0;
    int32_t portCount = MAX_PORTS;
    std::unique_ptr<Timer> portTimer;
    uint8_t loopBack = 0;
    int32_t loopBackPort = 0;

    // The trace; the owner copies its Debug, Trace and logFile in.
    TraceLog log{"", 1, ""};

    // Events, sender first; an empty one is skipped.
    std::function<void(AgwLink&)> onDestroy;
    std::function<void(AgwLink&, uint8_t port, TextRef call, TextRef text)> onMyConnect;
    std::function<void(AgwLink&, uint8_t port, TextRef call, TextRef text)> onHisConnect;
    std::function<void(AgwLink&, uint8_t port, TextRef call, TextRef text)> onAnyConnect;
    std::function<void(AgwLink&, uint8_t port, TextRef call, TextRef text)> onRetryOut;
    std::function<void(AgwLink&, uint8_t port, TextRef call, TextRef text)> onMyDisconnect;
    std::function<void(AgwLink&, uint8_t port, TextRef call, TextRef text)> onHisDisconnect;
    std::function<void(AgwLink&, uint8_t port, TextRef call, TextRef text)> onDisconnect;
    std::function<void(AgwLink&, uint8_t port, TextRef from, TextRef to, TextRef text)> onConnectEx;
    std::function<void(AgwLink&, uint8_t port, TextRef from, TextRef to, TextRef text)> onDisconnectEx;
    std::function<void(AgwLink&, uint8_t port, uint8_t pid, char kind, TextRef callFrom, TextRef callTo, TextRef data)>
        onFrame;
    std::function<void(AgwLink&)> onAgwUp;
    std::function<void(AgwLink&)> onAgwDown;
    std::function<void(AgwLink&)> onAgwError;
    std::function<void(AgwLink&, TextRef call, TextRef data)> onRegister;
    std::function<void(AgwLink&, TextRef call, TextRef data)> onUnRegister;
    std::function<void(AgwLink&, uint8_t port, TextRef from, TextRef to, TextRef via, TextRef frameType, TextRef pid,
                       int32_t nr, int32_t ns, int32_t len, TextRef info)>
        onIFrame;
    std::function<void(AgwLink&, uint8_t port, TextRef from, TextRef to, TextRef via, TextRef frameType, TextRef pid,
                       int32_t len, TextRef info)>
        onUIFrame;
    std::function<void(AgwLink&, uint8_t port, TextRef callFrom, TextRef callTo, TextRef via, TextRef frameType,
                       int32_t nr)>
        onSFrame;
    std::function<void(AgwLink&, uint8_t port, TextRef callFrom, TextRef callTo, uint8_t pid, TextRef data)> onMonitor;
    std::function<void(AgwLink&, uint8_t port, TextRef data)> onRawFrame;
    std::function<void(AgwLink&, int32_t major, int32_t minor)> onVersion;
    std::function<void(AgwLink&)> onPort;
    std::function<void(AgwLink&)> onParameter;
    std::function<void(AgwLink&, uint8_t port, int32_t frames)> onPortFrames;
    std::function<void(AgwLink&, uint8_t port, TextRef callFrom, TextRef callTo, uint8_t pid, TextRef data)> onData;
    std::function<void(AgwLink&, uint8_t port, TextRef from, TextRef to, uint8_t pid, TextRef info)> onDataUI;
    // Answer to askOutstanding: frames still to be sent or acknowledged on one connection.
    std::function<void(AgwLink&, uint8_t port, TextRef callFrom, TextRef callTo, int32_t frames)> onConnFrames;

    std::array<EnginePort, MAX_PORTS + 1> ports; // indexed 1..16; [0] unused

    // Connection (link.cpp)
    void open();
    void setAddress(const std::string& value);
    void setPort(uint32_t value);
    void setCallSign(const std::string& value);
    void setRegister(bool value);
    void setMonitor(const std::string& value);
    void socketConnected();
    void socketClosed();
    void socketError(int& errorCode);
    void socketReadable();
    void portTimerTick();

    // Send path (L2Send.cpp)
    void sendData(uint32_t radioPort, uint8_t pid, const std::string& callFrom, const std::string& callTo,
                  const std::string& text);
    void disconnect(uint8_t radioPort, const std::string& callFrom, const std::string& callTo);
    bool agwRegister(const std::string& call);
    bool agwUnRegister(const std::string& call);
    // Asks how many frames of one connection the engine has yet to send or see
    // acknowledged (kind "Y"); the answer comes as onConnFrames. False when not sent.
    bool askOutstanding(uint8_t radioPort, const std::string& callFrom, const std::string& callTo);
    bool write(uint8_t radioPort, uint8_t pid, char kind, std::string_view callFrom, std::string_view callTo,
               std::string_view data);
    bool send(ClientSocket* socket, uint8_t radioPort, uint8_t pid, char kind, std::string_view callFrom,
              std::string_view callTo, uint32_t dataLen, std::string_view data);
    void sendAgw(std::string_view frame);
    // The via block of a "V" frame built from blank-separated digipeater calls.
    static std::string viaList(std::string_view vias);

    // Receive path (L2Receive.cpp). Store decodes every complete frame of the
    // stream; fragFrame takes the data part of the current frame, true when it
    // was complete and decoded.
    void store(std::string_view bytes);
    bool fragFrame();

    // Decoding (L2Decode.cpp, MonitorHeader.cpp, PortAnswers.cpp)
    void decode(uint8_t radioPort, uint8_t pid, char kind, std::string callFrom, std::string callTo, int32_t dataLen,
                std::string data);
    MonitorHeader getHeader(const std::string& data);
    void parsePortList(const std::string& data);
    void parseParam(uint8_t radioPort, const std::string& data);
    void parseHeard(uint8_t radioPort, const std::string& data);

    void writeLog(uint8_t level, std::string_view text) { log.writeLog(level, text); }
    void writeHex(uint8_t level, std::string_view data) { log.writeHex(level, data); }

    // Raises an event when it is assigned, after its "Fired Event" trace line.
    template <typename Event, typename... Args>
    void fireEvent(const Event& event, const char* name, const Args&... args)
    {
        if (!event)
            return;
        writeLog(4, std::string("{L2} Fired Event <") + name + ">");
        event(*this, args...);
    }

    ClientSocket& socket() { return *socket_; }

private:
    // The data of a frame as the trace may show it: the password of a login
    // frame is starred out.
    static std::string dataForTrace(char kind, std::string_view data);
    void decodeOne();

    std::unique_ptr<ClientSocket> socket_;
    TimerFactory& timers_;
};
