// The server as the program starts it, with every byte from the engine and
// every passing of time chosen by the input, its invariants checked after
// each step.
//
// Input: a configuration byte, then steps. Configuration: bit 0 forces names,
// bit 1 rings the bell, bit 2 disconnects at once, bit 3 sets an idle limit
// of 60 s instead of the time limit, bit 4 sends the beacon through
// digipeaters, bit 5 logs in to the engine and ends when the link is lost
// instead of connecting again, bit 6 forbids new areas; bit 7 leaves the
// engine's answers to the steps (otherwise it is up, the callsign
// registered, two ports listed).
//
// A step is a control byte: bits 0-2 the operation, bits 3-7 its variant v.
// Operations that concern a station read one more byte, the selector: bits
// 0-2 the callsign, 3-4 the port, 5 another called station than the server,
// 6-7 the PID.
//   0 the station says the next line (v&3: ends in CR, nothing, CR LF, LF)
//   1 the station connects (v&1: "With" instead of "To", v&2: text after it)
//   2 the station's connection ends (v&3: From, RETRYOUT, With, neither)
//   3 time passes (DELAYS[v]), six hours in all at the most
//   4 a frame of kind KINDS[v] from the station, the next line its data
//   5 the next n bytes as they come from the engine (n: the next byte, 0 = all)
//   6 the engine's socket: v&3 = 0 by v>>2: 1 the engine stops reading, 2
//     it reads all again, 4 a user's connection over TCP arrives (from
//     ADDRESSES[next byte & 3]), 5 a user over TCP types the next line (the
//     next byte: bits 0-5 which connection, 6-7 its line end as in 0), 6 a
//     user's connection (the next byte: bits 0-5 which, 6-7 closes, fails,
//     stops reading, reads all again), else it closes; 1 fails (open, or while the link
//     connects), 2 by v>>2: 0 accepts a connect the link asked for, 1 stops
//     the program politely, 2 to 7 trace levels 0 to 5 from here on; 3
//     answers "Y" for the station ((v>>2)&3 frames waiting, v&16 names the
//     calls the other way round)
//   7 the step before, v+2 times more
#include "FuzzSupport.h"

#include <array>
#include <filesystem>
#include <map>
#include <string>

namespace {

constexpr const char* OWN_CALL = "N0SRV";

// Lower case reaches the server upper-cased; N0SRV is the server's own call.
constexpr std::array<const char*, 8> CALLS{"N0AA", "N0BB-1", "N0CC-15", "n0aa", OWN_CALL, "", "N0LONGCALL", "N0DD-7"};
// Wire port bytes: ports 1, 2, 3 (refused) and 0.
constexpr std::array<uint8_t, 4> WIRE_PORTS{0, 1, 2, 255};
constexpr std::array<uint8_t, 4> PIDS{0xF0, 0x00, 0xCF, 0x08};
constexpr std::array<uint32_t, 32> DELAYS{1,      10,     100,    250,    500,    999,    1000,    1001,
                                          1500,   1999,   2000,   2001,   3000,   4999,   5000,    5001,
                                          9999,   10000,  15000,  30000,  59999,  60000,  60001,   119999,
                                          120000, 120001, 299999, 300000, 300001, 600000, 1200000, 3600000};
constexpr std::array<const char*, 4> ADDRESSES{"127.0.0.1", "127.0.0.1", "::ffff:192.0.2.7", "2001:db8::1"};
constexpr std::array<const char*, 4> ENDS{"\r", "", "\r\n", "\n"};
constexpr std::string_view KINDS{"XxGRgyHYKUISTCdDMmPVv?ZA\0XGCDdYU", 32};

struct Config {
    std::string dir;
    bool engineUp;
};

std::string ini(uint8_t config)
{
    auto yes = [config](int bit) { return (config & (1 << bit)) != 0 ? "YES" : "NOT"; };
    // No log file: a step may switch tracing on, written nowhere.
    std::string text =
        "[PALAVORO]\r\nCALLSIGN=" + std::string(OWN_CALL) + "\r\nDEBUG=NOT\r\nTRACE=1\r\nLOGFILE=\r\nDISABLE=3\r\n";
    text += std::string("FORCENAME=") + yes(0) + "\r\nBELL=" + yes(1) + "\r\n";
    text += std::string("DISCWAIT=") + ((config & 4) != 0 ? "0" : "5000") + "\r\n";
    text += std::string("TIMEOUT=") + ((config & 8) != 0 ? "0\r\nIDLE=60000" : "120000") + "\r\n";
    if ((config & 32) != 0)
        text += "LOGIN=fuzz\r\nPASWD=secret\r\nRECONNECT=NOT\r\n";
    text += std::string("CREATEAREA=") + ((config & 64) != 0 ? "NOT" : "YES") + "\r\n";
    text += "[BEACON]\r\nTEXT=Chat on N0SRV\r\nEVERY=300000\r\n";
    if ((config & 16) != 0)
        text += "VIA=WIDE1-1 WIDE2-1\r\n";
    text += "[AREAS]\r\n1=Packet\r\n7=Seven\r\n";
    text += "[TCPUSERS]\r\nLISTEN=7300\r\n";
    return text;
}

// One station directory per configuration, made on first use.
const std::string& stationDir(uint8_t config)
{
    static std::map<uint8_t, std::string> dirs;
    const uint8_t key = config & 0x7F;
    auto found = dirs.find(key);
    if (found != dirs.end())
        return found->second;
    const std::string dir = fuzz::workDir().file("server-" + std::to_string(key)) + "/";
    std::filesystem::create_directories(dir + "TEXT");
    writeFile(dir + "Palavoro.INI", ini(key));
    writeFile(dir + "TEXT/HELP.INF", "Commands:\r\n/B bye\r/W who\nand more\r\n\032after the end");
    writeFile(dir + "TEXT/news.inf", "No news today");
    // N0AA logs in over TCP with "secret" (yescrypt at its lowest cost, so that tries are quick).
    writeFile(dir + "Palavoro.PWD",
              "[PASSWORDS]\r\nN0AA=$y$j75$HcgbB3/WsHf2T8iRxUfgA.$o25a3lUJKHqI8gnbZcdW7huQXRerE.BdTwEo5faLEg2\r\n");
    return dirs.emplace(key, dir).first->second;
}

class Steps {
public:
    explicit Steps(fuzz::Rig& rig) : rig_(rig) {}

    void run(fuzz::Input& input)
    {
        std::string_view last;
        while (!input.empty() && !rig_.ended() && budget_ > 0) {
            const std::string_view before = input.rest();
            const uint8_t control = input.byte();
            if ((control & 7) == 7) {
                for (int i = 0; i < (control >> 3) + 2 && !last.empty() && !rig_.ended() && budget_ > 0; ++i) {
                    fuzz::Input again(last);
                    step(again);
                }
                continue;
            }
            step(control, input);
            last = before.substr(0, before.size() - input.rest().size());
        }
    }

private:
    struct Station {
        uint8_t wirePort;
        std::string call;
        std::string to;
        uint8_t pid;
    };

    static Station station(uint8_t selector)
    {
        return {WIRE_PORTS[(selector >> 3) & 3], CALLS[selector & 7], (selector & 32) != 0 ? "N0XX" : OWN_CALL,
                PIDS[selector >> 6]};
    }

    void step(fuzz::Input& input) { step(input.byte(), input); }

    void step(uint8_t control, fuzz::Input& input)
    {
        --budget_;
        const uint8_t v = control >> 3;
        switch (control & 7) {
        case 0: {
            const Station s = station(input.byte());
            rig_.send(s.wirePort, 'D', s.pid, s.call, s.to, std::string(input.line()) + ENDS[v & 3]);
            break;
        }
        case 1: {
            const Station s = station(input.byte());
            std::string text = std::string("*** CONNECTED ") + ((v & 1) != 0 ? "With" : "To") + " Station " + s.call;
            text += (v & 2) != 0 ? " via DIGI\r" : "\r";
            rig_.send(s.wirePort, 'C', 0, s.call, s.to, text);
            break;
        }
        case 2: {
            const Station s = station(input.byte());
            static constexpr std::array<const char*, 4> NOTICES{"*** DISCONNECTED From Station ",
                                                                "*** DISCONNECTED RETRYOUT With ",
                                                                "*** DISCONNECTED With ", "*** DISCONNECTED "};
            rig_.send(s.wirePort, 'd', 0, s.call, s.to, NOTICES[v & 3] + s.call + "\r");
            break;
        }
        case 3:
            // Every timer is due within the hour; more time only repeats them,
            // and a day of beacons on sixteen ports traced at level 5 takes an
            // input past the fuzzer's time limit.
            if (simulated_ + DELAYS[v] <= SIMULATED_LIMIT) {
                simulated_ += DELAYS[v];
                rig_.clock.advance(DELAYS[v]);
            }
            break;
        case 4: {
            const Station s = station(input.byte());
            rig_.send(s.wirePort, KINDS[v], s.pid, s.call, s.to, input.line());
            break;
        }
        case 5: {
            const uint8_t count = input.byte();
            rig_.deliver(input.take(count != 0 ? count : input.rest().size()));
            break;
        }
        case 6:
            socketStep(v, input);
            break;
        }
        rig_.check();
    }

    void socketStep(uint8_t v, fuzz::Input& input)
    {
        FakeSocket* engine = rig_.engine();
        switch (v & 3) {
        case 0:
            if (v >> 2 == 1 || v >> 2 == 2)
                rig_.stall(v >> 2 == 1);
            else if (v >> 2 >= 4 && v >> 2 <= 6)
                userStep(v >> 2, input);
            else if (engine != nullptr && engine->open)
                engine->peerClose();
            break;
        case 1:
            rig_.failSocket();
            break;
        case 2:
            if (v >> 2 == 0)
                rig_.acceptConnect();
            else if (v >> 2 == 1)
                rig_.stop();
            else
                rig_.trace((v >> 2) - 2);
            break;
        case 3: {
            const Station s = station(input.byte());
            const std::string frames{static_cast<char>((v >> 2) & 3), '\0', '\0', '\0'};
            if ((v & 16) != 0)
                rig_.send(s.wirePort, 'Y', 0, s.call, OWN_CALL, frames);
            else
                rig_.send(s.wirePort, 'Y', 0, OWN_CALL, s.call, frames);
            break;
        }
        }
    }

    void userStep(uint8_t what, fuzz::Input& input)
    {
        const uint8_t selector = input.byte();
        if (what == 4) {
            rig_.arriveTcp(ADDRESSES[selector & 3]);
            return;
        }
        FakeSocket* user = rig_.tcpUser(selector & 63);
        if (what == 5) {
            const std::string text = std::string(input.line()) + ENDS[selector >> 6];
            if (user != nullptr)
                user->deliver(text);
            return;
        }
        if (user == nullptr)
            return;
        switch (selector >> 6) {
        case 0:
            user->peerClose();
            break;
        case 1:
            user->fail();
            break;
        case 2:
            user->holdSent = true;
            break;
        case 3:
            user->holdSent = false;
            user->take(user->unsent);
            break;
        }
    }

    fuzz::Rig& rig_;
    int budget_ = 2000; // steps, so that repeats keep an input's run short
    static constexpr uint64_t SIMULATED_LIMIT = 6 * 3600 * 1000;
    uint64_t simulated_ = 0; // ms the clock has been moved on
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t config = input.byte();
    const std::string& dir = stationDir(config);
    writeFile(dir + "Palavoro.USR", "[USERS]\r\nN0AA=Ann\r\n[INFO]\r\nN0AA=QTH here\r\n");

    fuzz::Rig rig(dir);
    if (!rig.start())
        std::abort(); // the configuration is a good one
    // Back-pressure within reach of a short input.
    rig.server.link()->setOutputMarks(16 * 1024, 4 * 1024);
    if ((config & 128) == 0)
        rig.engineUp();
    rig.check();
    Steps(rig).run(input);
    rig.checkStatus();
    return 0;
}
