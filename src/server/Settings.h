// The chat server's configuration, as Palavoro.INI gives it, and the one
// reading of that file that start-up and the operator's check share: every
// value start-up refuses or would take otherwise than written is a problem.
#pragma once

#include "convers/NetworkTypes.h"
#include "support/Profile.h"

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

constexpr int MAX_ENABLE_PORTS = 100;

// Where the status page listens, or that it is off.
struct StatusListen {
    bool on = true;
    std::string address = "127.0.0.1";
    uint16_t port = 8080;
};

// STATUS as written: "address:port" ("[address]:port" for IPv6), or a bare
// port on loopback; empty or NOT (any case) switch the page off. False when
// it is none of these.
bool parseStatusListen(const std::string& text, StatusListen& listen);

struct ServerSettings {
    ServerSettings() { portEnabled.fill(true); }

    std::string ipAddress = "127.0.0.1";
    std::string hostName;
    int32_t tcpPort = 8000;
    std::string callSign = "NOBODY-0";
    std::string login;
    std::string password;
    // Time limit of a connection in ms, counted from the connect; 0 = none.
    int32_t timeout = 600000;
    // Limit in ms on the time since a station's last line; 0 = none.
    int32_t idle = 0;
    // Longest wait, in ms, for the engine to send a station's last texts before
    // its disconnect; 0 or less disconnects at once.
    int32_t discWait = 60000;
    // How long, in ms, output may wait with the engine taking none of it
    // before the link is broken; 0 = never.
    int32_t engineWait = 60000;
    bool createArea = false;
    // Areas that users of one base callsign may have created at a time.
    int32_t maxAreas = 3;
    bool bell = false;
    bool forceName = false;
    std::array<bool, MAX_ENABLE_PORTS + 1> portEnabled; // [1..100]
    std::string beaconText;
    int32_t beaconEvery = 0;
    std::string beaconId;
    std::string beaconVia;
    // Waits for the engine and connects again when the link is lost, instead
    // of ending (a socket error) or sitting deaf (a close).
    bool reconnect = true;
    std::string debug = "YES";
    int32_t traceLevel = 4;
    std::string logFile = "PALAVORO.LOG";
    // The trace is moved to LOGFILE.1 past this many KiB; 0 = no bound.
    int32_t logSize = 4096;
    StatusListen status;
    // [TCPUSERS] LISTEN: where chat users log in over TCP; off unless set.
    StatusListen tcpUsers{false, "127.0.0.1", 0};
    // The AREAS section's "id=topic" lines, in file order.
    std::vector<std::string> areaLines;
    // The CONVERS and LINKS sections (ConversSettings.h).
    NetworkConfig network;

    // False for a port that DISABLE names; ports beyond the table are allowed.
    bool portAllowed(int port) const
    {
        return port < 1 || port > MAX_ENABLE_PORTS || portEnabled[static_cast<size_t>(port)];
    }
};

// One line for the operator about the station's files, and whether start-up
// cannot go on with it (the others are warnings: start-up says them and goes on).
struct SettingsProblem {
    std::string text;
    bool stops = false;
    bool operator==(const SettingsProblem&) const = default;
};
using SettingsProblems = std::vector<SettingsProblem>;

// Start-up refused: the first problem that stops it.
class StartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the INI file over `settings` (which holds the built-in values), the
// DISABLE list aside: it comes back as written, for start-up to apply and
// trace. Returns every problem in a fixed order; `settings` and `disable`
// change only when none of them stops start-up.
SettingsProblems readSettings(const Profile::Document& ini, ServerSettings& settings, std::string& disable);

// A section that another module reads from Palavoro.INI: its keys are known
// (no key is unknown when `keys` is empty) and `check` adds what it finds
// wrong in them, so that start-up and the check report them alike.
struct IniSectionRules {
    std::string section;
    std::vector<std::string> keys;
    std::function<void(const Profile::Document& ini, SettingsProblems& problems)> check;
};
// Registered once, before the file is read (a second call for the same section replaces it).
void addIniSection(IniSectionRules rules);

// A station without its callsign does not start: said after "Palavoro.INI: ",
// or after the file's path when there is no file.
constexpr const char* CALLSIGN_MISSING =
    "[PALAVORO] CALLSIGN is missing: the server does not go on the air without the station's callsign";
// The sample file's callsign, which is no one's.
constexpr std::string_view SAMPLE_CALLSIGN = "N0CALL";

// An AX.25 callsign: 1 to 6 letters or digits, then optionally "-" and an SSID 0 to 15.
bool isValidCallSign(std::string_view call);
