// Reading Palavoro.INI.
#include "server/Settings.h"

#include "server/ConversSettings.h"
#include "support/HexStr.h"
#include "support/Profile.h"

#include <algorithm>
#include <array>

namespace {

// The sections the server reads itself, and their keys; AREAS takes any key.
constexpr std::array PALAVORO_KEYS = {"IP_ADDRESS", "HOSTNAME", "TCP_PORT",   "DEBUG", "TRACE",     "LOGFILE",
                                      "LOGSIZE",    "CALLSIGN", "LOGIN",      "PASWD", "TIMEOUT",   "IDLE",
                                      "DISCWAIT",   "DISABLE",  "CREATEAREA", "BELL",  "FORCENAME", "STATUS",
                                      "RECONNECT",  "MAXAREAS", "ENGINEWAIT"};
constexpr std::array BEACON_KEYS = {"TEXT", "EVERY", "ID", "VIA"};

std::vector<IniSectionRules>& sectionRules()
{
    static std::vector<IniSectionRules> rules = [] {
        std::vector<IniSectionRules> own;
        own.push_back({"PALAVORO", {PALAVORO_KEYS.begin(), PALAVORO_KEYS.end()}, {}});
        own.push_back({"BEACON", {BEACON_KEYS.begin(), BEACON_KEYS.end()}, {}});
        own.push_back({"AREAS", {}, {}});
        own.push_back({"CONVERS", {"HOSTNAME", "LISTEN", "MAXUSERS"}, {}});
        own.push_back({"LINKS", {}, {}});
        own.push_back({"TCPUSERS", {"LISTEN"}, {}});
        return own;
    }();
    return rules;
}

std::string badValue(const std::string& section, const std::string& key, const std::string& value,
                     const std::string& what = "is not a number")
{
    return "Palavoro.INI: [" + section + "] " + key + "=" + value + " " + what;
}

// The file's values, each problem noted as it is met.
class IniReader {
public:
    IniReader(const Profile::Document& ini, SettingsProblems& problems) : ini_(ini), problems_(problems) {}

    std::string text(const char* section, const char* key, const std::string& defaultValue) const
    {
        return ini_.value(section, key, defaultValue);
    }
    // YES, or NOT (NO) and the default; anything else is taken as NOT.
    bool yes(const char* key, const char* defaultValue = "NOT")
    {
        const std::string value = upperStr(text("PALAVORO", key, defaultValue));
        if (value != "YES" && value != "NOT" && value != "NO")
            warn(badValue("PALAVORO", key, value, "is not YES or NOT (taken as NOT)"));
        return value == "YES";
    }

    // The number, or `current` after the problem is noted.
    int32_t number(const char* section, const char* key, const std::string& defaultValue, int32_t current)
    {
        std::string value = text(section, key, defaultValue);
        int32_t number = 0;
        if (tryStrToInt(value, number))
            return number;
        stop(badValue(section, key, value));
        return current;
    }
    // A number that start-up takes but that cannot mean what it says below 0.
    int32_t notNegative(const char* section, const char* key, const std::string& defaultValue, int32_t current,
                        const char* taken)
    {
        const int32_t value = number(section, key, defaultValue, current);
        if (value < 0)
            warn(badValue(section, key, std::to_string(value), std::string("is below 0 (taken as ") + taken + ")"));
        return value;
    }

    void stop(std::string text) { problems_.push_back({std::move(text), true}); }
    void warn(std::string text) { problems_.push_back({std::move(text), false}); }

private:
    const Profile::Document& ini_;
    SettingsProblems& problems_;
};

// Every AREAS id before anything is built: one too large for 32 bits stops
// start-up as early as the other numbers do; the lines start-up skips or
// refuses are said.
void checkAreaIds(const std::vector<std::string>& areas, IniReader& reader)
{
    std::vector<int32_t> seen{0};
    for (const std::string& line : areas) {
        std::string topic = line;
        std::string id = nextField(topic, '=');
        int32_t value = 0;
        if (!isNumeric(id))
            reader.warn(badValue("AREAS", id, topic, "has an id that is not a number (the line is skipped)"));
        else if (!tryStrToInt(id, value))
            reader.stop(badValue("AREAS", id, topic, "has an area id that is not a 32-bit number"));
        else if (std::find(seen.begin(), seen.end(), value) != seen.end())
            reader.warn(badValue("AREAS", id, topic,
                                 value == 0 ? "is Root's id (the line is skipped)"
                                            : "repeats an area id (the first line counts)"));
        else
            seen.push_back(value);
    }
}

void checkDisable(const std::string& disable, IniReader& reader)
{
    std::string rest = disable;
    while (!rest.empty()) {
        const std::string piece = nextField(rest, ',');
        int32_t port = 0;
        if (!isNumeric(piece) || !tryStrToInt(piece, port) || port < 1 || port > MAX_ENABLE_PORTS)
            reader.warn(
                badValue("PALAVORO", "DISABLE", disable,
                         "names '" + piece + "', which is not a port from 1 to " + std::to_string(MAX_ENABLE_PORTS)));
    }
}

const IniSectionRules* rulesFor(const std::string& section)
{
    for (const IniSectionRules& rules : sectionRules())
        if (upperStr(rules.section) == upperStr(section))
            return &rules;
    return nullptr;
}

// Sections and keys the server does not read, and keys given twice: the first counts.
void checkNames(const Profile::Document& ini, IniReader& reader)
{
    for (const Profile::Document::Section& section : ini.sections()) {
        const IniSectionRules* rules = rulesFor(section.name);
        if (rules == nullptr) {
            // A "[" without its "]" takes the lines up to the next "]": one line for them.
            std::string name = replaceChar(replaceChar(section.name, '\r', "\\r"), '\n', "\\n");
            reader.warn(section.name.empty() ? "Palavoro.INI: lines before the first [section] are not read"
                                             : "Palavoro.INI: [" + name + "] is not a known section");
            continue;
        }
        std::vector<std::string> seen;
        for (const Profile::Document::Item& item : section.items) {
            const std::string key = upperStr(item.key);
            auto known = [&](const std::string& name) { return upperStr(name) == key; };
            if (!rules->keys.empty() && std::none_of(rules->keys.begin(), rules->keys.end(), known))
                reader.warn("Palavoro.INI: [" + section.name + "] " + item.key + " is not a known key");
            else if (std::find(seen.begin(), seen.end(), key) != seen.end() && !rules->keys.empty())
                reader.warn("Palavoro.INI: [" + section.name + "] " + item.key + "=" + item.value +
                            " is given again (the first, " + ini.value(section.name, item.key, "") + ", counts)");
            seen.push_back(key);
        }
    }
}

bool isLetterOrDigit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
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

void addIniSection(IniSectionRules rules)
{
    std::vector<IniSectionRules>& all = sectionRules();
    for (IniSectionRules& each : all)
        if (upperStr(each.section) == upperStr(rules.section)) {
            each = std::move(rules);
            return;
        }
    all.push_back(std::move(rules));
}

bool isValidCallSign(std::string_view call)
{
    const size_t dash = call.find('-');
    const std::string_view base = call.substr(0, dash);
    if (base.empty() || base.size() > 6)
        return false;
    for (char c : base)
        if (!isLetterOrDigit(c))
            return false;
    if (dash == std::string_view::npos)
        return true;
    const std::string_view ssid = call.substr(dash + 1);
    int32_t value = 0;
    return !ssid.empty() && ssid.size() <= 2 && isNumeric(ssid) && tryStrToInt(ssid, value) && value <= 15;
}

SettingsProblems readSettings(const Profile::Document& ini, ServerSettings& settings, std::string& disable)
{
    SettingsProblems problems;
    IniReader r(ini, problems);
    // Read in one go into a copy, so that a refused file changes nothing.
    ServerSettings s = settings;
    s.ipAddress = r.text("PALAVORO", "IP_ADDRESS", "127.0.0.1");
    s.hostName = r.text("PALAVORO", "HOSTNAME", "");
    // The link would look a wrong address up as a host name, and fail for ever.
    if (s.hostName.empty() && !isIpv4Address(s.ipAddress) && !looksLikeIpv6Address(s.ipAddress))
        r.stop(
            badValue("PALAVORO", "IP_ADDRESS", s.ipAddress, "is not a numeric address (a host name goes in HOSTNAME)"));
    const int32_t tcpPort = r.number("PALAVORO", "TCP_PORT", "8000", s.tcpPort);
    // A port beyond 16 bits would silently connect somewhere else.
    if (tcpPort < 0 || tcpPort > 65535)
        r.stop(badValue("PALAVORO", "TCP_PORT", std::to_string(tcpPort), "is not a TCP port number"));
    else
        s.tcpPort = tcpPort;
    s.debug = upperStr(r.text("PALAVORO", "DEBUG", "YES"));
    if (s.debug != "YES" && s.debug != "NOT" && s.debug != "NO")
        r.warn(badValue("PALAVORO", "DEBUG", s.debug, "is not YES or NOT (taken as NOT)"));
    s.traceLevel = r.number("PALAVORO", "TRACE", "1", s.traceLevel);
    if (s.traceLevel < 1 || s.traceLevel > 5)
        r.warn(badValue("PALAVORO", "TRACE", std::to_string(s.traceLevel), "is not a level from 1 to 5"));
    // A path keeps its case: file names are case-sensitive here.
    s.logFile = r.text("PALAVORO", "LOGFILE", settings.logFile);
    s.logSize = r.notNegative("PALAVORO", "LOGSIZE", "4096", s.logSize, "0, no bound");
    // Going on the air under a made-up callsign is never what the sysop meant.
    const std::string callSign = upperStr(r.text("PALAVORO", "CALLSIGN", ""));
    if (callSign.empty())
        r.stop("Palavoro.INI: " + std::string(CALLSIGN_MISSING));
    else
        s.callSign = callSign;
    // The engine would refuse it, or take it as another callsign.
    if (!callSign.empty() && !isValidCallSign(s.callSign))
        r.stop(badValue("PALAVORO", "CALLSIGN", s.callSign,
                        "is not an AX.25 callsign (1 to 6 letters or digits, then -0 to -15)"));
    else if (s.callSign.substr(0, s.callSign.find('-')) == SAMPLE_CALLSIGN)
        r.warn(badValue("PALAVORO", "CALLSIGN", s.callSign,
                        "is the sample's callsign: set your own before going on the air"));
    s.login = upperStr(r.text("PALAVORO", "LOGIN", ""));
    s.password = upperStr(r.text("PALAVORO", "PASWD", ""));
    s.timeout = r.notNegative("PALAVORO", "TIMEOUT", "600000", s.timeout, "about 49 days");
    s.idle = r.notNegative("PALAVORO", "IDLE", "0", s.idle, "0, no limit");
    s.discWait = r.number("PALAVORO", "DISCWAIT", "60000", s.discWait);
    s.engineWait = r.notNegative("PALAVORO", "ENGINEWAIT", "60000", s.engineWait, "0, never");
    const std::string reconnect = upperStr(r.text("PALAVORO", "RECONNECT", "YES"));
    s.reconnect = reconnect != "NOT" && reconnect != "NO";
    std::string disabled = r.text("PALAVORO", "DISABLE", "");
    checkDisable(disabled, r);
    s.createArea = r.yes("CREATEAREA");
    s.maxAreas = r.notNegative("PALAVORO", "MAXAREAS", "3", s.maxAreas, "0");
    s.bell = r.yes("BELL");
    s.forceName = r.yes("FORCENAME");
    const std::string status = r.text("PALAVORO", "STATUS", "127.0.0.1:8080");
    if (!parseStatusListen(status, s.status))
        r.stop(badValue("PALAVORO", "STATUS", status, "is not address:port, a port, or NOT"));
    const std::string tcpUsers = r.text("TCPUSERS", "LISTEN", "NOT");
    if (!parseStatusListen(tcpUsers, s.tcpUsers))
        r.stop(badValue("TCPUSERS", "LISTEN", tcpUsers, "is not address:port, a port, or NOT"));
    s.beaconText = r.text("BEACON", "TEXT", "");
    s.beaconEvery = r.notNegative("BEACON", "EVERY", "600000", s.beaconEvery, "about 49 days");
    s.beaconId = upperStr(r.text("BEACON", "ID", "ID"));
    s.beaconVia = upperStr(r.text("BEACON", "VIA", ""));
    s.areaLines = ini.lines("AREAS");
    checkAreaIds(s.areaLines, r);
    std::vector<std::string> network;
    readConversSettings(ini, s.callSign, s.network, network);
    for (std::string& text : network)
        r.stop(std::move(text));
    checkNames(ini, r);
    for (const IniSectionRules& rules : sectionRules())
        if (rules.check)
            rules.check(ini, problems);
    if (std::none_of(problems.begin(), problems.end(), [](const SettingsProblem& p) { return p.stops; })) {
        settings = std::move(s);
        disable = std::move(disabled);
    }
    return problems;
}
