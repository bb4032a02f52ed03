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
#include <vector>

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

    // Connection settings. Address, TCP port and callsign refuse a change while
    // the link is up.
    void setAddress(const std::string& value);
    void setPort(uint32_t value);
    void setCallSign(const std::string& value);
    // A host name, used instead of the address when set.
    void setHost(const std::string& value) { host_ = value; }
    // Sent as a "P" frame on connecting, only when both are set.
    void setLogin(const std::string& user, const std::string& password);
    void setRawFrames(bool on) { rawFrames_ = on; }
    // Asks for the port list every 60 s while connected.
    void setPortPolling(bool on) { portPolling_ = on; }
    void setRegister(bool value);
    void setMonitor(const std::string& value);

    const std::string& address() const { return address_; }
    uint32_t tcpPort() const { return tcpPort_; }
    const std::string& host() const { return host_; }
    const std::string& callSign() const { return callSign_; }
    const std::string& loginUser() const { return loginUser_; }
    const std::string& loginPassword() const { return loginPassword_; }
    const std::string& monitor() const { return monitor_; }
    // True while the TCP connection to the engine is up.
    bool isActive() const { return active_; }
    // The engine's last answer to registering the callsign.
    bool isRegistered() const { return registered_; }
    int32_t versionMajor() const { return versionMajor_; }
    int32_t versionMinor() const { return versionMinor_; }
    // Radio ports the engine announced (16 until it has said).
    int32_t portCount() const { return portCount_; }
    // What the engine said of one radio port, 1 to MAX_PORTS.
    const EnginePort& enginePort(int number) const { return ports_.at(static_cast<size_t>(number)); }
    uint8_t loopBack() const { return loopBack_; }
    int32_t loopBackPort() const { return loopBackPort_; }

    // The trace; the owner sets its switch, level and file.
    TraceLog& traceLog() { return log_; }

    // Events, sender first; an empty one is skipped.
    std::function<void(AgwLink&)> onDestroy;
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef text)> onMyConnect;
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef text)> onHisConnect;
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef text)> onAnyConnect;
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef text)> onRetryOut;
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef text)> onMyDisconnect;
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef text)> onHisDisconnect;
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef text)> onDisconnect;
    std::function<void(AgwLink&, RadioPort port, TextRef from, TextRef to, TextRef text)> onConnectEx;
    std::function<void(AgwLink&, RadioPort port, TextRef from, TextRef to, TextRef text)> onDisconnectEx;
    std::function<void(AgwLink&, RadioPort port, uint8_t pid, char kind, TextRef callFrom, TextRef callTo,
                       TextRef data)>
        onFrame;
    std::function<void(AgwLink&)> onAgwUp;
    std::function<void(AgwLink&)> onAgwDown;
    std::function<void(AgwLink&)> onAgwError;
    // Answers to "X" and "x", with the (1-based) port the engine answered on.
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef data)> onRegister;
    std::function<void(AgwLink&, RadioPort port, TextRef call, TextRef data)> onUnRegister;
    // The link was ended because the engine's stream or its reading cannot be
    // trusted (see breakLink); raised from the event loop, never inside a send.
    std::function<void(AgwLink&, TextRef reason)> onBroken;
    // The output became backlogged (true) or drained below the low mark (false).
    // Going off is raised from the event loop; a handler may send, and the
    // link reads again only if that leaves it below the high mark.
    std::function<void(AgwLink&, bool backlogged)> onBacklog;
    std::function<void(AgwLink&, RadioPort port, TextRef from, TextRef to, TextRef via, TextRef frameType, TextRef pid,
                       int32_t nr, int32_t ns, int32_t len, TextRef info)>
        onIFrame;
    std::function<void(AgwLink&, RadioPort port, TextRef from, TextRef to, TextRef via, TextRef frameType, TextRef pid,
                       int32_t len, TextRef info)>
        onUIFrame;
    std::function<void(AgwLink&, RadioPort port, TextRef callFrom, TextRef callTo, TextRef via, TextRef frameType,
                       int32_t nr)>
        onSFrame;
    std::function<void(AgwLink&, RadioPort port, TextRef callFrom, TextRef callTo, uint8_t pid, TextRef data)>
        onMonitor;
    std::function<void(AgwLink&, RadioPort port, TextRef data)> onRawFrame;
    std::function<void(AgwLink&, int32_t major, int32_t minor)> onVersion;
    std::function<void(AgwLink&)> onPort;
    std::function<void(AgwLink&)> onParameter;
    std::function<void(AgwLink&, RadioPort port, int32_t frames)> onPortFrames;
    std::function<void(AgwLink&, RadioPort port, TextRef callFrom, TextRef callTo, uint8_t pid, TextRef data)> onData;
    std::function<void(AgwLink&, RadioPort port, TextRef from, TextRef to, uint8_t pid, TextRef info)> onDataUI;
    // Answer to askOutstanding: frames still to be sent or acknowledged on one connection.
    std::function<void(AgwLink&, RadioPort port, TextRef callFrom, TextRef callTo, int32_t frames)> onConnFrames;

    // Opens the TCP connection to the engine, with a fresh receive state.
    void open();
    // Closes what is left of the connection and opens it again.
    void reopen();
    // Ends the connection: a stream out of step or an engine that stopped
    // reading. One level-1 trace line; onBroken follows from the event loop.
    void breakLink(const std::string& reason);
    // Back-pressure: above `high` bytes waiting for the engine the output is
    // backlogged (onBacklog) until fewer than `low` wait; the owner then makes
    // no more output, but the engine is still read.
    void setOutputMarks(size_t high, size_t low)
    {
        highWater_ = high;
        lowWater_ = low;
    }
    bool outputBacklogged() const { return backlogged_; }
    // The owner holds too much of what the engine sent: the engine's socket is
    // not read, nor frames already read decoded, until it says otherwise.
    void holdInput(bool hold);
    // How long output may wait with the engine taking none of it before the
    // link is broken, in ms; 0 never breaks it.
    void setEngineWait(uint32_t milliseconds) { engineWait_ = milliseconds; }
    static constexpr size_t HIGH_WATER = 2 << 20;
    static constexpr size_t LOW_WATER = 512 << 10;
    static constexpr uint32_t ENGINE_WAIT = 60000;
    static constexpr uint32_t OUTPUT_TICK = 1000;
    // Sends what is queued before the program ends, waiting at most that long.
    void flush(int milliseconds) { socket_->flush(milliseconds); }
    // The last socket error as the system words it.
    std::string lastError() const { return socket_->errorString(); }

    // Send path (AgwSender.cpp)
    void sendData(uint32_t radioPort, uint8_t pid, const std::string& callFrom, const std::string& callTo,
                  const std::string& text);
    // One station a text goes to: its radio port (1-based) and call.
    struct Addressee {
        uint32_t radioPort;
        const std::string* call;
    };
    // The same bytes as sendData to each station in turn, written one after
    // the other from one header and handed to the socket at once. Only when
    // that changes nothing else: no per-frame trace level is on, the text fits
    // one frame and the connection is open.
    // Otherwise it sends nothing and answers false.
    bool sendDataToEach(uint8_t pid, const std::string& callFrom, const std::vector<Addressee>& to,
                        std::string_view text);
    void disconnect(RadioPort radioPort, const std::string& callFrom, const std::string& callTo);
    // Registers the callsign on one radio port (1-based); the engine answers "X" on that port.
    bool agwRegister(const std::string& call, RadioPort radioPort = 1);
    bool agwUnRegister(const std::string& call);
    // Asks how many frames of one connection the engine has yet to send or see
    // acknowledged (kind "Y"); the answer comes as onConnFrames. False when not sent.
    bool askOutstanding(RadioPort radioPort, const std::string& callFrom, const std::string& callTo);
    bool write(RadioPort radioPort, uint8_t pid, char kind, std::string_view callFrom, std::string_view callTo,
               std::string_view data);
    bool send(ClientSocket* socket, RadioPort radioPort, uint8_t pid, char kind, std::string_view callFrom,
              std::string_view callTo, uint32_t dataLen, std::string_view data);
    void sendAgw(std::string_view frame);
    // The via block of a "V" frame built from blank-separated digipeater calls.
    static std::string viaList(std::string_view vias);

    // Receive path (AgwReassembly.cpp): decodes every complete frame of the
    // stream, however the bytes were split.
    void store(std::string_view bytes);

    // Decoding (AgwDecoder.cpp, MonitorHeader.cpp, PortAnswers.cpp)
    void decode(RadioPort radioPort, uint8_t pid, char kind, std::string callFrom, std::string callTo, int32_t dataLen,
                std::string data);
    MonitorHeader getHeader(const std::string& data);
    void parsePortList(const std::string& data);
    void parseParam(RadioPort radioPort, const std::string& data);
    void parseHeard(RadioPort radioPort, const std::string& data);

    void writeLog(uint8_t level, std::string_view text) { log_.writeLog(level, text); }
    void writeHex(uint8_t level, std::string_view data) { log_.writeHex(level, data); }

    // Raises an event when it is assigned, after its "Fired Event" trace line.
    // `name` is the event's name in the trace ("FOnData"): a fixed text that
    // operators' log tools know, not the member's name.
    template <typename Event, typename... Args>
    void fireEvent(const Event& event, const char* name, const Args&... args)
    {
        if (!event)
            return;
        if (log_.enabled(4))
            writeLog(4, std::string("{L2} Fired Event <") + name + ">");
        event(*this, args...);
    }

    ClientSocket& socket() { return *socket_; }

private:
    friend struct AgwDecoder;
    friend struct AgwLinkProbe; // the unit tests' view of the receive state

    // Notifications of the socket.
    void socketConnected();
    void socketClosed();
    void socketError(int& errorCode);
    void socketReadable();
    void portTimerTick();
    // Back-pressure: the socket took bytes, the output timer's tick, and the
    // mark crossed either way.
    void outputTaken();
    void outputTick();
    void noteOutput();
    void setBacklogged(bool on);
    // Forgets the back-pressure of a connection that has ended.
    void endBacklog();
    std::string engineAddress() const;
    // Takes the data part of the current frame; true when it was complete and decoded.
    bool fragFrame();

    // The data of a frame as the trace may show it: the password of a login
    // frame is starred out.
    static std::string dataForTrace(char kind, std::string_view data);
    // Port, PID, kind and callsigns of the frames of one text, handed down the
    // send path by reference.
    struct FrameAddress {
        RadioPort radioPort;
        uint8_t pid;
        char kind;
        std::string_view callFrom;
        std::string_view callTo;
    };
    // What write and send do, for the public ones and for sendData.
    bool writeFrames(const FrameAddress& address, std::string_view data);
    bool sendFrames(ClientSocket* socket, const FrameAddress& address, std::string_view data);
    void decodeOne();

    std::unique_ptr<ClientSocket> socket_;
    TimerFactory& timers_;
    TraceLog log_{"", 1, ""};

    std::string address_;
    uint32_t tcpPort_ = 8000;
    std::string host_;
    std::string callSign_;
    std::string loginUser_;
    std::string loginPassword_;
    bool rawFrames_ = false;
    bool portPolling_ = false;
    std::unique_ptr<Timer> portTimer_;
    size_t highWater_ = HIGH_WATER;
    size_t lowWater_ = LOW_WATER;
    uint32_t engineWait_ = ENGINE_WAIT;
    bool backlogged_ = false;
    bool inputHeld_ = false;
    bool storing_ = false;
    uint32_t stalledFor_ = 0; // ms with output waiting and none taken
    std::unique_ptr<Timer> outputTimer_;
    std::string frame_;     // the frame being sent, its buffer kept from one frame to the next
    bool closing_ = false;  // our own close: its notifications are not news
    bool retrying_ = false; // a reopened connection not up yet: its lines are level 3
    std::unique_ptr<Timer> brokenTimer_;
    std::string brokenReason_;

    bool active_ = false;
    bool registered_ = false;
    std::string monitor_ = "N";
    int32_t versionMajor_ = 0;
    int32_t versionMinor_ = 0;
    int32_t portCount_ = MAX_PORTS;
    uint8_t loopBack_ = 0;
    int32_t loopBackPort_ = 0;
    std::array<EnginePort, MAX_PORTS + 1> ports_; // indexed 1..16; [0] unused

    // Receive state: rxBuffer_ holds unconsumed bytes from rxStart_ on; the
    // header of a frame whose data is still incomplete is kept in the rx fields.
    std::string rxBuffer_;
    size_t rxStart_ = 0;
    bool pending_ = false;
    std::string rxData_;
    RadioPort rxPort_ = 0;
    uint8_t rxPid_ = 0;
    char rxKind_ = 0;
    std::string rxFrom_;
    std::string rxTo_;
    int32_t rxLen_ = 0;
};
