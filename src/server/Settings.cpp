// Reading Palavoro.INI.
#include "server/Settings.h"

#include "support/HexStr.h"
#include "support/Profile.h"

#include <algorithm>
#include <array>

namespace {

// Every key that readSettings reads, by section.
constexpr std::array PALAVORO_KEYS = {"IP_ADDRESS", "HOSTNAME", "TCP_PORT",  "DEBUG",      "TRACE",
                                      "LOGFILE",    "CALLSIGN", "LOGIN",     "PASWD",      "TIMEOUT",
                                      "IDLE",       "DISCWAIT", "DISABLE",   "CREATEAREA", "BELL",
                                      "FORCENAME",  "STATUS",   "RECONNECT", "MAXAREAS",   "ENGINEWAIT"};
constexpr std::array BEACON_KEYS = {"TEXT", "EVERY", "ID", "VIA"};

std::string badValue(const std::string& section, const std::string& key, const std::string& value,
                     const char* what = "is not a number")
{
    return "Palavoro.INI: [" + section + "] " + key + "=" + value + " " + what;
}

// The file's values, with each problem thrown at once or, for a check of the
// file, collected.
class IniReader {
public:
    IniReader(const std::string& ini, std::vector<std::string>* problems) : ini_(ini), problems_(problems) {}

    std::string text(const char* section, const char* key, const std::string& defaultValue) const
    {
        return Profile::readString(ini_, section, key, defaultValue);
    }
    bool yes(const char* key) const { return upperStr(text("PALAVORO", key, "NOT")) == "YES"; }

    // The number, or `current` after the problem is noted.
    int32_t number(const char* section, const char* key, const std::string& defaultValue, int32_t current)
    {
        std::string value = text(section, key, defaultValue);
        int32_t number = 0;
        if (tryStrToInt(value, number))
            return number;
        problem(badValue(section, key, value));
        return current;
    }

    void problem(std::string text)
    {
        if (problems_ == nullptr)
            throw ConvertError(text);
        problems_->push_back(std::move(text));
    }

private:
    const std::string& ini_;
    std::vector<std::string>* problems_;
};

// Checks every AREAS id before anything is built, so a bad one stops start-up
// as early as the other numbers do.
void checkAreaIds(const std::vector<std::string>& areas, IniReader& reader)
{
    for (const std::string& line : areas) {
        std::string topic = line;
        std::string id = nextField(topic, '=');
        int32_t value = 0;
        if (isNumeric(id) && !tryStrToInt(id, value))
            reader.problem(badValue("AREAS", id, topic, "has an area id that is not a 32-bit number"));
    }
}

bool isPortNumber(const std::string& text, uint16_t& port)
{
    int32_t value = 0;
    if (!isNumeric(text) || !tryStrToInt(text, value) || value < 1 || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

bool isIpv4Address(const std::string& text)
{
    std::string rest = text;
    for (int part = 0; part < 4; ++part) {
        std::string piece = nextField(rest, '.');
        int32_t value = 0;
        if (piece.empty() || piece.size() > 3 || !isNumeric(piece) || !tryStrToInt(piece, value) || value > 255)
            return false;
    }
    return rest.empty() && text.back() != '.';
}

// The shape of an IPv6 address; the shell's parser has the last word.
bool looksLikeIpv6Address(const std::string& text)
{
    return text.find(':') != std::string::npos &&
           text.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos;
}

} // namespace

bool parseStatusListen(const std::string& text, StatusListen& listen)
{
    StatusListen parsed;
    if (text.empty() || upperStr(text) == "NOT") {
        parsed.on = false;
        listen = parsed;
        return true;
    }
    std::string address;
    std::string port = text;
    if (text.starts_with('[')) {
        const size_t close = text.find("]:");
        if (close == std::string::npos)
            return false;
        address = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (!looksLikeIpv6Address(address))
            return false;
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address == "localhost")
            address = "127.0.0.1";
        if (!isIpv4Address(address))
            return false;
    }
    if (!isPortNumber(port, parsed.port))
        return false;
    if (!address.empty())
        parsed.address = address;
    listen = parsed;
    return true;
}

bool isKnownSettingsKey(const std::string& section, const std::string& key)
{
    const std::string wanted = upperStr(key);
    auto named = [&](const char* known) { return wanted == known; };
    const std::string sectionName = upperStr(section);
    if (sectionName == "PALAVORO")
        return std::any_of(PALAVORO_KEYS.begin(), PALAVORO_KEYS.end(), named);
    if (sectionName == "BEACON")
        return std::any_of(BEACON_KEYS.begin(), BEACON_KEYS.end(), named);
    return false;
}

void readSettings(const std::string& ini, ServerSettings& settings, std::string& disable,
                  std::vector<std::string>* problems)
{
    IniReader r(ini, problems);
    // Read in one go into a copy, so that a bad number changes nothing.
    ServerSettings s = settings;
    s.ipAddress = r.text("PALAVORO", "IP_ADDRESS", "127.0.0.1");
    s.hostName = r.text("PALAVORO", "HOSTNAME", "");
    const int32_t tcpPort = r.number("PALAVORO", "TCP_PORT", "8000", s.tcpPort);
    // A port beyond 16 bits would silently connect somewhere else.
    if (tcpPort < 0 || tcpPort > 65535)
        r.problem(badValue("PALAVORO", "TCP_PORT", std::to_string(tcpPort), "is not a TCP port number"));
    else
        s.tcpPort = tcpPort;
    s.debug = upperStr(r.text("PALAVORO", "DEBUG", "YES"));
    s.traceLevel = r.number("PALAVORO", "TRACE", "1", s.traceLevel);
    // A path keeps its case: file names are case-sensitive here.
    s.logFile = r.text("PALAVORO", "LOGFILE", settings.logFile);
    s.callSign = upperStr(r.text("PALAVORO", "CALLSIGN", "NOBODY-0"));
    s.login = upperStr(r.text("PALAVORO", "LOGIN", ""));
    s.password = upperStr(r.text("PALAVORO", "PASWD", ""));
    s.timeout = r.number("PALAVORO", "TIMEOUT", "600000", s.timeout);
    s.idle = r.number("PALAVORO", "IDLE", "0", s.idle);
    s.discWait = r.number("PALAVORO", "DISCWAIT", "60000", s.discWait);
    s.engineWait = r.number("PALAVORO", "ENGINEWAIT", "60000", s.engineWait);
    const std::string reconnect = upperStr(r.text("PALAVORO", "RECONNECT", "YES"));
    s.reconnect = reconnect != "NOT" && reconnect != "NO";
    std::string disabled = r.text("PALAVORO", "DISABLE", "");
    s.createArea = r.yes("CREATEAREA");
    s.maxAreas = r.number("PALAVORO", "MAXAREAS", "3", s.maxAreas);
    s.bell = r.yes("BELL");
    s.forceName = r.yes("FORCENAME");
    const std::string status = r.text("PALAVORO", "STATUS", "127.0.0.1:8080");
    if (!parseStatusListen(status, s.status))
        r.problem(badValue("PALAVORO", "STATUS", status, "is not address:port, a port, or NOT"));
    s.beaconText = r.text("BEACON", "TEXT", "");
    s.beaconEvery = r.number("BEACON", "EVERY", "600000", s.beaconEvery);
    s.beaconId = upperStr(r.text("BEACON", "ID", "ID"));
    s.beaconVia = upperStr(r.text("BEACON", "VIA", ""));
    s.areaLines = Profile::readSection(ini, "AREAS");
    checkAreaIds(s.areaLines, r);
    settings = std::move(s);
    disable = std::move(disabled);
}
