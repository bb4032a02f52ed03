// What the fuzz targets share: a reader that takes control bytes off the
// input, a work directory made once per process, readers of their own for
// the frames sent to the engine and for the status page's JSON, the server's
// invariants, and a server wired as at start-up on a fake engine socket and a
// manual clock.
#pragma once

#include "fakes/FakeListenSocket.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "link/AgwFrame.h"
#include "server/ChatServer.h"
#include "server/ServerStatus.h"
#include "support/HexStr.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}
    explicit Input(std::string_view bytes) : rest_(bytes) {}

    bool empty() const { return rest_.empty(); }
    // The next byte, 0 once the input is used up.
    uint8_t byte()
    {
        if (rest_.empty())
            return 0;
        const auto byte = static_cast<uint8_t>(rest_[0]);
        rest_.remove_prefix(1);
        return byte;
    }
    // Up to `count` bytes.
    std::string_view take(size_t count)
    {
        const std::string_view taken = rest_.substr(0, count);
        rest_.remove_prefix(taken.size());
        return taken;
    }
    // Up to the next LF (dropped) or the end.
    std::string_view line()
    {
        const size_t end = rest_.find('\n');
        const std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return line;
    }
    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

// One directory for the whole run, in memory where the system has it: the
// targets write files for every input, and on a disk each truncated file is
// flushed when it is closed.
inline const TempDir& workDir()
{
    static const TempDir dir("palavoro-fuzz", std::filesystem::is_directory("/dev/shm")
                                                  ? std::filesystem::path("/dev/shm")
                                                  : std::filesystem::temp_directory_path());
    return dir;
}

// ---------------------------------------------------------------------------
// Frames between the engine and the server, written and read here without
// the program's own frame code: 36-byte header (port, kind, PID, two
// NUL-padded 10-byte calls, 32-bit little-endian length), then the data.

constexpr size_t HEADER = 36;

struct Frame {
    uint8_t wirePort = 0;
    char kind = 0;
    uint8_t pid = 0;
    std::string from;
    std::string to;
    std::string data;
};

inline std::string encode(uint8_t wirePort, char kind, uint8_t pid, std::string_view from, std::string_view to,
                          std::string_view data)
{
    std::string bytes(HEADER, '\0');
    bytes[0] = static_cast<char>(wirePort);
    bytes[4] = kind;
    bytes[6] = static_cast<char>(pid);
    bytes.replace(8, std::min<size_t>(from.size(), 10), from.substr(0, 10));
    bytes.replace(18, std::min<size_t>(to.size(), 10), to.substr(0, 10));
    for (int i = 0; i < 4; ++i)
        bytes[28 + i] = static_cast<char>(data.size() >> (8 * i));
    bytes += data;
    return bytes;
}

inline void require(bool condition)
{
    if (!condition)
        std::abort();
}

// A call field: text, then NUL bytes to the end of the field.
inline std::string callOf(std::string_view field)
{
    const std::string_view text = field.substr(0, field.find('\0'));
    require(field.find_first_not_of('\0', text.size()) == std::string_view::npos);
    return std::string(text);
}

// What a client of the engine may send, and which of it carries no data.
constexpr std::string_view CLIENT_KINDS = "PXxGRmkHgyYDdMVCvcK";
constexpr std::string_view NO_DATA_KINDS = "XxGRmkHgyYdCc";
constexpr std::string_view ENGINE_WIDE_KINDS = "PGRmk"; // port 0, no calls

// The frames sent to the engine; aborts on anything malformed, including a
// cut frame: every send is whole frames.
inline std::vector<Frame> readSent(std::string_view sent)
{
    std::vector<Frame> frames;
    while (!sent.empty()) {
        require(sent.size() >= HEADER);
        const std::string_view h = sent.substr(0, HEADER);
        for (size_t reserved : {1, 2, 3, 5, 7, 32, 33, 34, 35})
            require(h[reserved] == '\0');
        uint32_t length = 0;
        for (int i = 3; i >= 0; --i)
            length = length << 8 | static_cast<uint8_t>(h[28 + i]);
        require(sent.size() - HEADER >= length);
        Frame f;
        f.wirePort = static_cast<uint8_t>(h[0]);
        f.kind = h[4];
        f.pid = static_cast<uint8_t>(h[6]);
        f.from = callOf(h.substr(8, 10));
        f.to = callOf(h.substr(18, 10));
        f.data = std::string(sent.substr(HEADER, length));
        sent.remove_prefix(HEADER + length);

        require(f.kind != '\0' && CLIENT_KINDS.find(f.kind) != std::string_view::npos);
        if (NO_DATA_KINDS.find(f.kind) != std::string_view::npos)
            require(f.data.empty());
        if (ENGINE_WIDE_KINDS.find(f.kind) != std::string_view::npos)
            require(f.wirePort == 0 && f.from.empty() && f.to.empty());
        if (f.kind != 'D' && f.kind != 'M' && f.kind != 'V' && f.kind != 'K')
            require(f.pid == 0);
        switch (f.kind) {
        case 'P':
            require(f.data.size() == 510);
            break;
        case 'X':
        case 'x':
            // The callsign is registered on every radio port the engine lists.
            require(!f.from.empty() && f.to.empty() && f.wirePort < MAX_PORTS);
            break;
        case 'V': {
            // A digipeater count, that many 10-byte calls, then the text.
            require(!f.data.empty());
            const size_t vias = static_cast<uint8_t>(f.data[0]);
            require(vias >= 1 && f.data.size() >= 1 + 10 * vias && f.data.size() <= 255);
            break;
        }
        case 'K':
            break;
        default:
            require(f.data.size() <= 255);
        }
        frames.push_back(std::move(f));
    }
    return frames;
}

// The same frames as the program's own reader for peers and tests cuts them.
inline std::vector<Frame> readSentTwice(std::string_view sent)
{
    std::vector<Frame> frames = readSent(sent);
    const std::vector<AgwFrame> theirs = decodeFrames(sent);
    require(theirs.size() == frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
        require(theirs[i].wirePort == frames[i].wirePort && theirs[i].kind == frames[i].kind &&
                theirs[i].pid == frames[i].pid && theirs[i].callFrom == frames[i].from &&
                theirs[i].callTo == frames[i].to && theirs[i].data == frames[i].data);
    return frames;
}

inline void checkSentFrames(std::string_view sent)
{
    readSentTwice(sent);
}

// JSON as RFC 8259 has it, read by nlohmann::json rather than the program's
// own code, and for the status page without a raw '<', '>', '&' or DEL
// (FuzzJson.cpp). Aborts on anything else.
void checkJson(std::string_view text);

// ---------------------------------------------------------------------------
// The server's invariants.

// Each area counts exactly the stations in it; ids are unique; no station is
// there twice on one port and call.
inline void checkDirectory(const Directory& directory)
{
    std::set<int32_t> ids;
    for (const Area& area : directory.areas()) {
        require(ids.insert(area.id).second);
        uint32_t inArea = 0;
        for (const Station& station : directory.stations())
            inArea += station.areaId == area.id ? 1 : 0;
        require(area.userCount == inArea);
    }
    std::set<std::pair<int32_t, std::string>> seen;
    for (const Station& station : directory.stations())
        require(seen.insert({station.port, station.callSign}).second);
}

// ---------------------------------------------------------------------------
// The server as the program runs it: ChatServer::start() in a station
// directory, its sockets made here and driven as the engine, its timers on a
// manual clock, its fatal errors kept.

class Rig {
public:
    // `dir` is the station directory, with a trailing "/".
    explicit Rig(const std::string& dir)
        : server(
              shell, clock, [this] { return makeSocket(); }, dir)
    {
        server.setListenFactory([this] {
            auto listener = std::make_unique<FakeListenSocket>();
            listener_ = listener.get();
            return listener;
        });
        // A trace without a file says so once per trace on standard error;
        // the targets trace to no file on purpose.
        static const bool muted = [] {
            std::cerr.rdbuf(nullptr);
            return true;
        }();
        (void)muted;
    }
    ~Rig() = default;
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Start-up; false when it refused (a bad number, or a fatal error).
    bool start()
    {
        try {
            server.start();
        } catch (const StartupError&) {
            return false;
        }
        watchLink();
        return shell.fatal.empty();
    }

    // Tracing off everywhere, for the steps after start-up.
    void quiet()
    {
        server.traceLog().debug = "NOT";
        if (server.link() != nullptr)
            server.link()->traceLog().debug = "NOT";
        if (server.beacon() != nullptr)
            server.beacon()->traceLog().debug = "NOT";
    }

    // Tracing at `level` everywhere (0: off), to no file: every trace text
    // is built and formatted, and no time goes to opening a file per line.
    void trace(int32_t level)
    {
        for (TraceLog* log : {&server.traceLog(), server.link() != nullptr ? &server.link()->traceLog() : nullptr,
                              server.beacon() != nullptr ? &server.beacon()->traceLog() : nullptr})
            if (log != nullptr) {
                log->debug = level > 0 ? "YES" : "NOT";
                log->level = level;
                log->logFile.clear();
            }
    }

    // The operator stops the program politely: every station is told and
    // disconnected, and the program ends once the engine has reported them
    // all gone, or after the wait at the most. A second stop ends it at once
    // (the shell's part), so there is none here.
    void stop()
    {
        if (stopping_)
            return;
        stopping_ = true;
        const uint64_t at = clock.now();
        const bool active = server.link() != nullptr && server.link()->isActive();
        // Users over TCP are told and disconnected with or without the engine.
        const auto& stations = server.directory().stations();
        const bool users =
            std::any_of(stations.begin(), stations.end(), [](const Station& s) { return isTcpUser(s.port); });
        server.connections().stopAll([this, at, active, users] {
            require(!stopped_);
            require((!active && !users) || server.directory().stationCount() == 0 ||
                    clock.now() - at >= Connections::STOP_WAIT);
            stopped_ = true;
        });
        require(active || users || stopped_);
    }

    // A connect the link asked for has not been answered yet.
    bool connecting() const
    {
        return engine_ != nullptr && !engine_->open && engine_->connectCalls > acceptedConnects_;
    }

    // A socket error on the open connection, or the connect under way fails.
    void failSocket()
    {
        if (engine_ == nullptr || !(engine_->open || connecting()))
            return;
        acceptedConnects_ = engine_->connectCalls; // this try is over
        engine_->fail();
    }

    // The engine stops reading (what is sent stays waiting), or reads all again.
    void stall(bool stalled)
    {
        stalled_ = stalled;
        if (!stalled && engine_ != nullptr)
            engine_->take(engine_->unsent);
    }

    // The socket the link uses now, if any.
    FakeSocket* engine() { return engine_; }

    // The engine accepts a connect the link has asked for (once per connectTo).
    void acceptConnect()
    {
        if (connecting()) {
            acceptedConnects_ = engine_->connectCalls;
            engine_->connect();
        }
    }

    void deliver(std::string_view bytes)
    {
        if (engine_ != nullptr && engine_->open)
            engine_->deliver(bytes);
    }
    void send(uint8_t wirePort, char kind, uint8_t pid, std::string_view from, std::string_view to,
              std::string_view data)
    {
        deliver(encode(wirePort, kind, pid, from, to, data));
    }

    // The engine as it answers a server starting up: connection, registration,
    // port list and version.
    void engineUp(std::string_view ports = "2;Port1 first;Port2 second;")
    {
        acceptConnect();
        if (engine_ == nullptr)
            return;
        const std::string call = server.link()->callSign();
        send(0, 'X', 0, call, "", "\x01");
        send(0, 'G', 0, "", "", ports);
        send(0, 'R', 0, "", "", std::string("\x07\x00\x00\x00\x7f\x00\x00\x00", 8));
    }

    // A station connects, says a line, leaves, as the engine reports it (port 1-based).
    void connectStation(RadioPort port, const std::string& call)
    {
        send(port - 1, 'C', 0, call, server.link()->callSign(), "*** CONNECTED To Station " + call + "\r");
    }
    void line(RadioPort port, const std::string& call, const std::string& text)
    {
        send(port - 1, 'D', 0xF0, call, server.link()->callSign(), text);
    }
    void disconnectStation(RadioPort port, const std::string& call)
    {
        send(port - 1, 'd', 0, call, server.link()->callSign(), "*** DISCONNECTED From Station " + call + "\r");
    }

    // A user's connection over TCP arrives from `address` (when the server listens).
    void arriveTcp(const std::string& address)
    {
        if (listener_ == nullptr || !listener_->listening || !listener_->onAccept)
            return;
        auto socket = std::make_unique<UserSocket>(*this);
        socket->open = true;
        listener_->onAccept(std::move(socket), address);
    }
    // One of the users' connections still open, by number (wrapping), or none.
    FakeSocket* tcpUser(size_t index) { return users_.empty() ? nullptr : users_[index % users_.size()]; }

    // The frames sent since the last call, read and checked.
    std::vector<Frame> takeSent()
    {
        return engine_ != nullptr ? readSentTwice(engine_->takeSent()) : std::vector<Frame>();
    }

    // After every step: the directory is consistent, every disconnect that
    // waits is for a station that is there or a connection the engine has
    // reported and not yet ended (one that was refused), and what was sent is
    // well-formed (and went where it may, checked as it was sent).
    void check()
    {
        watchLink();
        Directory& directory = server.directory();
        checkDirectory(directory);
        for (const PendingDisconnect& pending : server.drain().pending())
            require(directory.findStation(pending.port, pending.call) != nullptr ||
                    onAir_.count({pending.port, pending.call}) != 0);
        takeSent();
        TcpUsers& tcp = server.tcpUsers();
        require(tcp.waitingCount() <= TcpUsers::MAX_WAITING && tcp.userCount() <= TcpUsers::MAX_USERS);
        // Every user logged in is a station.
        for (const Station& station : directory.stations())
            if (isTcpUser(station.port))
                require(server.output().waiting(TCP_USER_PORT, station.callSign) <= StationOutput::MOST + 1024);
    }

    // The status page's JSON is well-formed, whatever the stations have said.
    // It costs more than the server's step itself, so the targets check it
    // at the end of an input and where names and topics are set.
    void checkStatus() { checkJson(statusJson(server)); }

    // The program ends on a fatal error or once stopped; nothing runs after it.
    bool ended() const { return !shell.fatal.empty() || stopped_; }

    RecordingShell shell;
    ManualClock clock;

private:
    // Every send is whole frames, and data, a disconnect or a question about
    // a connection goes to one the engine has reported and not yet ended.
    class EngineSocket : public FakeSocket {
    public:
        explicit EngineSocket(Rig& rig) : rig_(rig) {}
        ~EngineSocket() override
        {
            if (rig_.engine_ == this)
                rig_.engine_ = nullptr;
        }
        void sendBytes(std::string_view bytes) override
        {
            FakeSocket::sendBytes(bytes);
            if (rig_.stalled_)
                unsent += bytes.size();
            for (const Frame& frame : readSent(bytes))
                if (frame.kind == 'D' || frame.kind == 'd' || frame.kind == 'Y')
                    require(rig_.onAir(frame.wirePort, frame.to));
        }

    private:
        Rig& rig_;
    };

    // A user's connection over TCP: nothing after its close, and every CR the
    // server sends is followed by LF.
    class UserSocket : public FakeSocket {
    public:
        explicit UserSocket(Rig& rig) : rig_(rig) { rig_.users_.push_back(this); }
        ~UserSocket() override { std::erase(rig_.users_, this); }
        void sendBytes(std::string_view bytes) override
        {
            require(open);
            for (size_t at = bytes.find('\r'); at != std::string_view::npos; at = bytes.find('\r', at + 1))
                require(at + 1 < bytes.size() && bytes[at + 1] == '\n');
            FakeSocket::sendBytes(bytes);
            if (holdSent)
                return;
            clearSent();
        }
        void close() override
        {
            FakeSocket::close();
            std::erase(rig_.users_, this);
        }

    private:
        Rig& rig_;
    };

    // Ports 0 and 1 both go out as port byte 0.
    bool onAir(uint8_t wirePort, const std::string& call) const
    {
        return std::any_of(onAir_.begin(), onAir_.end(), [&](const auto& connection) {
            return connection.second == call && (connection.first == 0 ? 0 : connection.first - 1) == wirePort;
        });
    }

    // Connections the engine has reported, followed through the link's own
    // events: the watchers go in front of the server's handlers.
    using OnAir = std::set<std::pair<int32_t, std::string>>;
    struct ConnectWatch {
        OnAir* onAir;
        decltype(AgwLink::onConnectEx) next;
        void operator()(AgwLink& link, RadioPort port, const std::string& from, const std::string& to,
                        const std::string& text) const
        {
            onAir->insert({port, from});
            if (next)
                next(link, port, from, to, text);
        }
    };
    struct DisconnectWatch {
        OnAir* onAir;
        decltype(AgwLink::onDisconnect) next;
        void operator()(AgwLink& link, RadioPort port, const std::string& call, const std::string& text) const
        {
            onAir->erase({port, call});
            if (next)
                next(link, port, call, text);
        }
    };

    // Text comes only from a connected station: the engine has it on the air
    // (the server may not know it, after a link made again).
    struct DataWatch {
        OnAir* onAir;
        decltype(AgwLink::onData) next;
        void operator()(AgwLink& link, RadioPort port, const std::string& from, const std::string& to, uint8_t pid,
                        const std::string& data) const
        {
            onAir->insert({port, from});
            if (next)
                next(link, port, from, to, pid, data);
        }
    };

    std::unique_ptr<ClientSocket> makeSocket()
    {
        auto socket = std::make_unique<EngineSocket>(*this);
        engine_ = socket.get();
        acceptedConnects_ = 0;
        return socket;
    }

    // A new link (start-up, or one made again) is watched from its first event on.
    void watchLink()
    {
        AgwLink* link = server.link();
        if (link == nullptr || link->onConnectEx.target<ConnectWatch>() != nullptr)
            return;
        onAir_.clear();
        link->onConnectEx = ConnectWatch{&onAir_, link->onConnectEx};
        link->onDisconnect = DisconnectWatch{&onAir_, link->onDisconnect};
        link->onData = DataWatch{&onAir_, link->onData};
    }

    EngineSocket* engine_ = nullptr;
    FakeListenSocket* listener_ = nullptr;
    std::vector<FakeSocket*> users_; // open connections of users over TCP
    int acceptedConnects_ = 0;
    bool stalled_ = false;
    bool stopping_ = false;
    bool stopped_ = false;
    OnAir onAir_;

public:
    ChatServer server; // last: it goes first, while the rest is still there
};

} // namespace fuzz
