// Lines from a neighbour node over a host link into a server with stations,
// a second neighbour linked beside it, and time passing.
//
// Input: lines cut at LF. Each line's first byte says what happens (bits 0-2)
// and how (bits 3-7); the rest is the text. 0-3: a line from neighbour A,
// ended by LF, CR, CR LF or LF CR (bits 3-4), with the command prefix put in
// front when bit 5 is set; 4: bytes from A with no line end; 5: a station's
// line; 6: time passes; 7 (bits 3-4): 0 A's link ends and A links again, 1
// the same for B, 2 and 3 A's or B's send queue fills to just below the bound
// (bits 5-7 say how far below), so that the next lines relayed there drop the
// link in the middle of handling a line. After every step: the remote table
// stays within its bound, every area counts exactly its stations and the
// remote users on its channel, and nothing A said came back to A.
#include "FuzzSupport.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "server/ChatServer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr const char* OWN_CALL = "N0SRV";
constexpr size_t MAX_USERS = 6;
const std::string PREFIX = "/\xff\x80";

// A socket the harness can ask whether the network still holds it.
class TrackedSocket : public FakeSocket {
public:
    explicit TrackedSocket(std::shared_ptr<bool> alive) : alive_(std::move(alive)) { *alive_ = true; }
    ~TrackedSocket() override { *alive_ = false; }

private:
    std::shared_ptr<bool> alive_;
};

struct Peer {
    std::shared_ptr<bool> alive = std::make_shared<bool>(false);
    TrackedSocket* socket = nullptr;

    bool usable() const { return *alive && socket->open; }
};

void link(ChatServer& form, Peer& peer, const std::string& name)
{
    if (peer.usable())
        peer.socket->peerClose();
    // A socket of its own to watch: the one before may linger until freed.
    peer.alive = std::make_shared<bool>(false);
    auto socket = std::make_unique<TrackedSocket>(peer.alive);
    socket->open = true;
    peer.socket = socket.get();
    form.network().accept(std::move(socket), "127.0.0.1");
    peer.socket->deliver(PREFIX + "HOST " + name + " W-2.81 dpu\n");
}

const std::string& baseDir()
{
    static const std::string dir = [] {
        const std::string base = fuzz::workDir().file("convers") + "/";
        std::filesystem::create_directories(base);
        return base;
    }();
    return dir;
}

// Each area counts its stations (checkDirectory) and the remote users on its
// channel; a remote user on a channel below 128 has an area to be in.
void checkAreas(ChatServer& form)
{
    fuzz::checkDirectory(form.directory());
    fuzz::require(form.network().remoteCount() <= 2 * MAX_USERS);
    for (const Area& area : form.directory().areas()) {
        uint32_t remote = 0;
        for (const RemoteUser* user : form.network().remoteUsers())
            for (int32_t channel : user->channels)
                remote += channel == area.id ? 1 : 0;
        fuzz::require(area.remoteCount == (area.onNetwork() ? remote : 0));
    }
    for (const RemoteUser* user : form.network().remoteUsers())
        for (int32_t channel : user->channels)
            fuzz::require(channel >= 128 || form.directory().findArea(channel) != nullptr);
}

// What went to A names only our stations and B's user: nothing of A's own.
void checkNothingBack(std::string_view sent)
{
    while (!sent.empty()) {
        const size_t end = sent.find("\r\n");
        fuzz::require(end != std::string_view::npos);
        std::string line(sent.substr(0, end));
        sent.remove_prefix(end + 2);
        fuzz::require(line.rfind(PREFIX, 0) == 0);
        line.erase(0, PREFIX.size());
        std::string word = nextWord(line);
        const std::string first = nextWord(line);
        const std::string second = nextWord(line);
        if (word == "USER")
            fuzz::require(second == "n0srv" || second == "wam2");
        else if (word == "CMSG" || word == "UMSG")
            fuzz::require(first == "n0aa" || first == "n0bb-1" || first == "carol");
        else
            fuzz::require(word == "HOST" || word == "PING" || word == "PONG");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    ManualClock clock;
    RecordingShell shell;
    {
        const SocketFactory sockets = [] { return std::make_unique<FakeSocket>(); };
        ChatServer form(shell, clock, sockets, baseDir());
        auto owned = std::make_unique<FakeSocket>();
        FakeSocket& engine = *owned;
        form.replaceLink(std::make_unique<AgwLink>(std::move(owned), clock));
        AgwLink& agw = *form.link();
        form.traceLog().debug = "NOT";
        agw.setCallSign(OWN_CALL);
        agw.setAddress("127.0.0.1");
        agw.onData = [&form](AgwLink& l, uint8_t port, const std::string& from, const std::string& to, uint8_t pid,
                             const std::string& text) { form.connections().handleData(l, port, from, to, pid, text); };
        form.settings().callSign = OWN_CALL;
        form.settings().createArea = true;
        form.settings().timeout = 0;
        form.directory().addArea(0, "Root", true, OWN_CALL);
        form.directory().addArea(1, "Packet", true, OWN_CALL);
        engine.connect();
        form.connections().setRegistered(true);
        form.connections().handleConnect(agw, 1, "N0AA", OWN_CALL, "*** CONNECTED To Station N0AA");
        form.connections().handleConnect(agw, 2, "N0BB-1", OWN_CALL, "*** CONNECTED To Station N0BB-1");

        NetworkConfig config;
        config.hostName = "n0srv";
        config.callSign = OWN_CALL;
        config.maxRemoteUsers = MAX_USERS;
        config.neighbours = {{"wam1", "", 0, "", true}, {"wam2", "", 0, "", true}};
        form.network().start(config);
        Peer a;
        Peer b;
        const auto linkB = [&form, &b] {
            link(form, b, "wam2");
            if (b.usable())
                b.socket->deliver(PREFIX + "USER carol wam2 1 -1 0 @\n" + PREFIX + "USER carol wam2 2 -1 5 @\n");
        };
        linkB();
        link(form, a, "wam1");
        engine.takeSent();
        checkAreas(form);

        const std::array<const char*, 4> ends{"\n", "\r", "\r\n", "\n\r"};
        while (!input.empty()) {
            std::string_view line = input.line();
            const uint8_t control = line.empty() ? 0 : static_cast<uint8_t>(line[0]);
            const std::string text(line.substr(line.empty() ? 0 : 1));
            const uint8_t argument = control >> 3;
            switch (control & 7) {
            case 0:
            case 1:
            case 2:
            case 3:
                if (a.usable())
                    a.socket->deliver(((argument & 4) != 0 ? PREFIX : std::string()) + text + ends[argument & 3]);
                break;
            case 4:
                if (a.usable())
                    a.socket->deliver(text);
                break;
            case 5:
                form.connections().handleData(agw, 1 + (argument & 1), (argument & 1) != 0 ? "N0BB-1" : "N0AA",
                                              OWN_CALL, 0xF0, text + "\r");
                break;
            case 6:
                clock.advance(1000u << (argument & 15));
                break;
            case 7: {
                Peer& peer = (argument & 1) != 0 ? b : a;
                if ((argument & 2) == 0) {
                    if (&peer == &b)
                        linkB();
                    else
                        link(form, a, "wam1");
                } else if (peer.usable()) {
                    peer.socket->unsent = Network::MAX_QUEUED - (argument >> 2) * 97;
                }
                break;
            }
            }
            if (a.usable())
                checkNothingBack(a.socket->takeSent());
            engine.takeSent();
            checkAreas(form);
        }
    }
    return 0;
}
