// The chat server's configuration, as Palavoro.INI gives it, and the reading
// of that file. A number that does not convert stops start-up before anything
// has been changed; the check of the file (SettingsCheck.h) collects every
// such problem instead.
#pragma once

#include <array>
#include <cstdint>
#include <string>
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
    StatusListen status;
    // The AREAS section's "id=topic" lines, in file order.
    std::vector<std::string> areaLines;

    // False for a port that DISABLE names; ports beyond the table are allowed.
    bool portAllowed(int port) const
    {
        return port < 1 || port > MAX_ENABLE_PORTS || portEnabled[static_cast<size_t>(port)];
    }
};

// Reads the INI file over `settings` (which holds the built-in values), the
// DISABLE list aside: it comes back as written, for start-up to apply and trace.
// Throws ConvertError naming the key when a number is bad. With `problems`,
// it throws nothing: each bad value is added there and its field keeps the
// value it had.
void readSettings(const std::string& iniPath, ServerSettings& settings, std::string& disable,
                  std::vector<std::string>* problems = nullptr);

// Whether the server reads this key of the PALAVORO or BEACON section (any case).
bool isKnownSettingsKey(const std::string& section, const std::string& key);
