// Lines from radio users through the chat server, interleaved with stations
// coming and going, time passing and the engine's answers to "Y" and "d".
//
// Input: a flags byte, then lines cut at LF. Flags: bits 0 and 7 both set
// trace everything into a file (only some inputs, for speed); bit 1 forces
// names, bit 2 rings the bell, bit 3 disconnects at once, bit 4 sets no time
// limit, bit 5 disables port 2, bit 6 keeps no user file. Each line's first
// byte picks a station (bits 0-1) and what happens (bits 2-4); bits 5-7 are
// that step's argument; the rest is the text.
#include "FuzzSupport.h"
#include "fakes/FakeSocket.h"
#include "fakes/Frames.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TraceFile.h"
#include "server/chat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr const char* OWN_CALL = "N0SRV";

struct Station {
    uint8_t Port;
    const char* Call;
};

// Two stations share a port; one call is on the air on two ports at once.
constexpr std::array<Station, 4> STATIONS{{{1, "N0AA"}, {1, "N0BB-1"}, {2, "N0CC-15"}, {2, "N0AA"}}};

const std::string& BaseDir()
{
    static const std::string dir = [] {
        const std::string base = fuzz::WorkDir().File("chat") + "/";
        std::filesystem::create_directories(base + "TEXT");
        WriteFile(base + "TEXT/HELP.INF", "Commands:\r\n/B bye\r/W who\nand more\r\n\032after the end");
        WriteFile(base + "TEXT/news.inf", "No news today");
        return base;
    }();
    return dir;
}

std::string Count(uint32_t frames)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(frames >> (8 * i));
    return bytes;
}

void Wire(TForm1& form, TL2& link)
{
    link.FOnConnectEx = [&form](TL2& l, uint8_t port, const std::string& from, const std::string& to,
                                const std::string& text) { form.OnConnect(l, port, from, to, text); };
    link.FOnDisconnect = [&form](TL2& l, uint8_t port, const std::string& call, const std::string& text) {
        form.OnDisconnect(l, port, call, text);
    };
    link.FOnData = [&form](TL2& l, uint8_t port, const std::string& from, const std::string& to, uint8_t pid,
                           const std::string& data) { form.OnData(l, port, from, to, pid, data); };
    link.FOnConnFrames = [&form](TL2& l, uint8_t port, const std::string& from, const std::string& to, int32_t frames) {
        form.OnConnFrames(l, port, from, to, frames);
    };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t flags = input.Byte();
    const bool trace = (flags & 0x81) == 0x81;
    const std::string base = BaseDir();
    const std::string traceFile = base + "chat.log";
    if ((flags & 64) == 0)
        WriteFile(base + "Palavoro.USR", "[USERS]\r\nN0AA=Ann\r\n[INFO]\r\nN0AA=QTH here\r\n");
    else
        std::filesystem::remove(base + "Palavoro.USR");

    ManualClock clock;
    RecordingShell shell;
    {
        const SocketFactory sockets = [] { return std::make_unique<FakeSocket>(); };
        TForm1 form(shell, clock, sockets, base);
        auto owned = std::make_unique<FakeSocket>();
        FakeSocket& engine = *owned;
        form.L2 = std::make_unique<TL2>(std::move(owned), clock);
        TL2& link = *form.L2;
        if (trace) {
            TraceInto(form.Log, 5, traceFile);
            TraceInto(link.Log, 5, traceFile);
        } else {
            form.Log.Debug = "NOT";
        }
        link.SetCallSign(OWN_CALL);
        link.SetAddress("127.0.0.1");
        Wire(form, link);
        form.CallSign = OWN_CALL;
        form.CreateArea = true;
        form.ForceName = (flags & 2) != 0;
        form.Bell = (flags & 4) != 0;
        form.DiscWait = (flags & 8) != 0 ? 0 : 60000;
        form.Timeout = (flags & 16) != 0 ? 0 : 60000;
        form.PortEnabled[2] = (flags & 32) == 0;
        form.AddArea(0, "Root", true, OWN_CALL);
        form.AddArea(1, "Packet", true, OWN_CALL);
        form.AddArea(2, "Open", false, "N0AA");
        engine.Connect();
        form.Registered = true;
        for (size_t i = 0; i < 3; ++i)
            form.OnConnect(link, STATIONS[i].Port, STATIONS[i].Call, OWN_CALL,
                           std::string("*** CONNECTED To Station ") + STATIONS[i].Call);
        fuzz::CheckSentFrames(engine.TakeSent());

        while (!input.Empty()) {
            std::string_view line = input.Line();
            const uint8_t control = line.empty() ? 0 : static_cast<uint8_t>(line[0]);
            const std::string text(line.substr(line.empty() ? 0 : 1));
            const Station& station = STATIONS[control & 3];
            const uint8_t argument = control >> 5;
            switch ((control >> 2) & 7) {
            case 0:
            case 1:
            case 2:
                form.OnData(link, station.Port, station.Call, OWN_CALL, PID_NO_L3, text);
                break;
            case 3:
                form.OnData(link, station.Port, station.Call, OWN_CALL, PID_NO_L3, text + "\r");
                break;
            case 4:
                engine.Deliver(Frame(station.Port - 1, 'd', 0, station.Call, OWN_CALL,
                                     std::string("*** DISCONNECTED From Station ") + station.Call + "\r"));
                break;
            case 5:
                form.OnConnect(link, station.Port, station.Call, OWN_CALL,
                               std::string("*** CONNECTED To Station ") + station.Call);
                break;
            case 6:
                clock.Advance(argument == 7 ? 60000 : 500u * (argument + 1));
                break;
            case 7:
                // Engines differ on which call of the connection they name first.
                if ((argument & 4) == 0)
                    engine.Deliver(Frame(station.Port - 1, 'Y', 0, OWN_CALL, station.Call, Count(argument & 3)));
                else
                    engine.Deliver(Frame(station.Port - 1, 'Y', 0, station.Call, OWN_CALL, Count(argument & 3)));
                break;
            }
            fuzz::CheckSentFrames(engine.TakeSent());
        }
    }
    if (trace)
        std::filesystem::remove(traceFile);
    return 0;
}
