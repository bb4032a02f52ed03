// Lines from radio users through the chat server, interleaved with stations
// coming and going, time passing and the engine's answers to "Y" and "d".
//
// Input: a flags byte, then lines cut at LF. Flags: bit 1 forces names, bit 2
// rings the bell, bit 3 disconnects at once, bit 4 sets no time limit, bit 5
// disables port 2, bit 6 keeps no user file (bits 0 and 7 are unused: the
// trace is off, so no time goes to writing it). Each line's first byte picks
// a station (bits 0-1) and what happens (bits 2-4); bits 5-7 are that step's
// argument; the rest is the text. After every step the areas' counts and the
// station list must agree.
#include "FuzzSupport.h"
#include "fakes/FakeSocket.h"
#include "fakes/Frames.h"
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

struct FuzzStation {
    RadioPort port;
    const char* call;
};

// Two stations share a port; one call is on the air on two ports at once.
constexpr std::array<FuzzStation, 4> STATIONS{{{1, "N0AA"}, {1, "N0BB-1"}, {2, "N0CC-15"}, {2, "N0AA"}}};

const std::string& baseDir()
{
    static const std::string dir = [] {
        const std::string base = fuzz::workDir().file("chat") + "/";
        std::filesystem::create_directories(base + "TEXT");
        writeFile(base + "TEXT/HELP.INF", "Commands:\r\n/B bye\r/W who\nand more\r\n\032after the end");
        writeFile(base + "TEXT/news.inf", "No news today");
        return base;
    }();
    return dir;
}

std::string count(uint32_t frames)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(frames >> (8 * i));
    return bytes;
}

void wire(ChatServer& form, AgwLink& link)
{
    link.onConnectEx = [&form](AgwLink& l, RadioPort port, const std::string& from, const std::string& to,
                               const std::string& text) { form.connections().handleConnect(l, port, from, to, text); };
    link.onDisconnect = [&form](AgwLink& l, RadioPort port, const std::string& call, const std::string& text) {
        form.connections().handleDisconnect(l, port, call, text);
    };
    link.onData = [&form](AgwLink& l, RadioPort port, const std::string& from, const std::string& to, uint8_t pid,
                          const std::string& data) { form.connections().handleData(l, port, from, to, pid, data); };
    link.onConnFrames = [&form](AgwLink& l, RadioPort port, const std::string& from, const std::string& to,
                                int32_t frames) { form.drain().handleConnFrames(l, port, from, to, frames); };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t flags = input.byte();
    const std::string base = baseDir();
    if ((flags & 64) == 0)
        writeFile(base + "Palavoro.USR", "[USERS]\r\nN0AA=Ann\r\n[INFO]\r\nN0AA=QTH here\r\n");
    else
        std::filesystem::remove(base + "Palavoro.USR");

    ManualClock clock;
    RecordingShell shell;
    {
        const SocketFactory sockets = [] { return std::make_unique<FakeSocket>(); };
        ChatServer form(shell, clock, sockets, base);
        auto owned = std::make_unique<FakeSocket>();
        FakeSocket& engine = *owned;
        form.replaceLink(std::make_unique<AgwLink>(std::move(owned), clock));
        AgwLink& link = *form.link();
        form.traceLog().debug = "NOT";
        link.setCallSign(OWN_CALL);
        link.setAddress("127.0.0.1");
        wire(form, link);
        form.settings().callSign = OWN_CALL;
        form.settings().createArea = true;
        form.settings().forceName = (flags & 2) != 0;
        form.settings().bell = (flags & 4) != 0;
        form.settings().discWait = (flags & 8) != 0 ? 0 : 60000;
        form.settings().timeout = (flags & 16) != 0 ? 0 : 60000;
        form.settings().portEnabled[2] = (flags & 32) == 0;
        form.directory().addArea(0, "Root", true, OWN_CALL);
        form.directory().addArea(1, "Packet", true, OWN_CALL);
        form.directory().addArea(2, "Open", false, "N0AA");
        engine.connect();
        form.connections().setRegistered(true);
        for (size_t i = 0; i < 3; ++i)
            form.connections().handleConnect(link, STATIONS[i].port, STATIONS[i].call, OWN_CALL,
                                             std::string("*** CONNECTED To Station ") + STATIONS[i].call);
        fuzz::checkSentFrames(engine.takeSent());
        fuzz::checkDirectory(form.directory());

        while (!input.empty()) {
            std::string_view line = input.line();
            const uint8_t control = line.empty() ? 0 : static_cast<uint8_t>(line[0]);
            const std::string text(line.substr(line.empty() ? 0 : 1));
            const FuzzStation& station = STATIONS[control & 3];
            const uint8_t argument = control >> 5;
            switch ((control >> 2) & 7) {
            case 0:
            case 1:
            case 2:
                form.connections().handleData(link, station.port, station.call, OWN_CALL, PID_NO_L3, text);
                break;
            case 3:
                form.connections().handleData(link, station.port, station.call, OWN_CALL, PID_NO_L3, text + "\r");
                break;
            case 4:
                engine.deliver(agwFrame(station.port - 1, 'd', 0, station.call, OWN_CALL,
                                        std::string("*** DISCONNECTED From Station ") + station.call + "\r"));
                break;
            case 5:
                form.connections().handleConnect(link, station.port, station.call, OWN_CALL,
                                                 std::string("*** CONNECTED To Station ") + station.call);
                break;
            case 6:
                clock.advance(argument == 7 ? 60000 : 500u * (argument + 1));
                break;
            case 7:
                // Engines differ on which call of the connection they name first.
                if ((argument & 4) == 0)
                    engine.deliver(agwFrame(station.port - 1, 'Y', 0, OWN_CALL, station.call, count(argument & 3)));
                else
                    engine.deliver(agwFrame(station.port - 1, 'Y', 0, station.call, OWN_CALL, count(argument & 3)));
                break;
            }
            fuzz::checkSentFrames(engine.takeSent());
            fuzz::checkDirectory(form.directory());
        }
    }
    return 0;
}
