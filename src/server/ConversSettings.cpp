// Reading the network's part of Palavoro.INI.
#include "server/ConversSettings.h"

#include "convers/HostLines.h"
#include "server/Settings.h"
#include "support/HexStr.h"
#include "support/Profile.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace {

std::string problem(const std::string& section, const std::string& key, const std::string& value,
                    const std::string& what)
{
    return "Palavoro.INI: [" + section + "] " + key + "=" + value + " " + what;
}

bool isCallSign(const std::string& call)
{
    const size_t dash = call.find('-');
    const std::string base = call.substr(0, dash);
    if (base.size() < 3 || base.size() > 6)
        return false;
    for (char c : base)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    if (dash == std::string::npos)
        return true;
    int32_t ssid = -1;
    const std::string digits = call.substr(dash + 1);
    return isNumeric(digits) && tryStrToInt(digits, ssid) && ssid >= 0 && ssid <= 15;
}

// "AX25:[port:]CALL [via DIGI1,DIGI2] [first line]".
bool parseAirNeighbour(std::string rest, Neighbour& neighbour)
{
    std::string where = upperStr(nextWord(rest)).substr(5);
    neighbour.overAir = true;
    if (const size_t colon = where.find(':'); colon != std::string::npos) {
        int32_t port = 0;
        const std::string number = where.substr(0, colon);
        if (!isNumeric(number) || !tryStrToInt(number, port) || port < 1 || port > 256)
            return false;
        neighbour.radioPort = static_cast<uint16_t>(port);
        where = where.substr(colon + 1);
    }
    if (!isCallSign(where))
        return false;
    neighbour.call = where;
    std::string after = rest;
    if (upperStr(nextWord(after)) == "VIA") {
        std::string digis = nextWord(after);
        while (!digis.empty()) {
            const std::string digi = upperStr(nextField(digis, ','));
            if (!isCallSign(digi))
                return false;
            neighbour.via += (neighbour.via.empty() ? "" : " ") + digi;
        }
        if (neighbour.via.empty())
            return false;
        rest = after;
    }
    neighbour.address = "AX25:" + std::to_string(neighbour.radioPort) + ":" + neighbour.call;
    neighbour.firstLine = rest;
    return true;
}

// A host name as DNS has them: labels of letters, digits and '-', joined by dots.
bool isDnsName(const std::string& text)
{
    if (text.empty() || text.size() > 253 || text.front() == '.' || text.back() == '.' ||
        text.find("..") != std::string::npos)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    });
}

// "address:port [first line]": a numeric IPv4 address, an IPv6 one in
// brackets, or a host name (a dynamic one too: it is looked up at each dial
// and when a connection comes from an address no number matches).
bool parseNeighbour(const std::string& name, const std::string& value, Neighbour& neighbour)
{
    neighbour.name = name;
    if (upperStr(value.substr(0, 5)) == "AX25:")
        return parseAirNeighbour(value, neighbour);
    if (value == "*") {
        neighbour.anyAddress = true;
        return true;
    }
    std::string rest = value;
    const std::string where = nextWord(rest);
    neighbour.firstLine = rest;
    StatusListen parsed;
    if (where.find(':') != std::string::npos && parseStatusListen(where, parsed) && parsed.on) {
        neighbour.address = parsed.address;
        neighbour.port = parsed.port;
        return true;
    }
    const size_t colon = where.rfind(':');
    int32_t port = 0;
    if (colon == std::string::npos || !isDnsName(where.substr(0, colon)) || !isNumeric(where.substr(colon + 1)) ||
        !tryStrToInt(where.substr(colon + 1), port) || port < 1 || port > 65535)
        return false;
    neighbour.address = lowerAscii(where.substr(0, colon));
    neighbour.port = static_cast<uint16_t>(port);
    neighbour.byName = true;
    return true;
}

} // namespace

void readConversSettings(const Profile::Document& ini, const std::string& callSign, NetworkConfig& config,
                         std::vector<std::string>& problems)
{
    NetworkConfig c;
    c.callSign = callSign;
    const std::string ownCall = lowerAscii(callSign.substr(0, callSign.find('-')));
    // A value never holds a line end: that default tells an absent key.
    const bool named = !ini.value("CONVERS", "HOSTNAME", "\n").starts_with('\n');
    c.hostName = lowerAscii(ini.value("CONVERS", "HOSTNAME", ownCall));
    const std::string listen = ini.value("CONVERS", "LISTEN", "NOT");
    StatusListen parsed;
    if (parseStatusListen(listen, parsed)) {
        c.listen = parsed.on;
        c.listenAddress = parsed.address;
        c.listenPort = parsed.port;
    } else {
        problems.push_back(problem("CONVERS", "LISTEN", listen, "is not address:port, a port, or NOT"));
    }
    const std::string most = ini.value("CONVERS", "MAXUSERS", "1000");
    int32_t value = 0;
    if (isNumeric(most) && tryStrToInt(most, value) && value >= 1)
        c.maxRemoteUsers = static_cast<size_t>(value);
    else
        problems.push_back(problem("CONVERS", "MAXUSERS", most, "is not a number of 1 or more"));
    std::map<std::string, std::string> seen; // lower-case name -> its first line
    for (const std::string& line : ini.lines("LINKS")) {
        std::string value = line;
        const std::string name = nextField(value, '=');
        Neighbour neighbour;
        // Names compare without regard to case: two lines would make two links of one name.
        if (auto [first, fresh] = seen.try_emplace(lowerAscii(name), line); !fresh)
            problems.push_back("Palavoro.INI: [LINKS] " + first->second + " and " + line + " name the same neighbour");
        else if (!isValidHostName(name))
            problems.push_back(
                problem("LINKS", name, value, "names no host: 4 to 10 letters, digits, '.' or '-', one a letter"));
        else if (lowerAscii(name) == c.hostName)
            problems.push_back(problem("LINKS", name, value, "is this node's own HOSTNAME"));
        else if (!parseNeighbour(name, value, neighbour))
            problems.push_back(
                problem("LINKS", name, value,
                        "is not address:port [first line] (a number, [IPv6] or a host name), AX25:[port:]CALL [via "
                        "DIGI,...] [first line], or *"));
        else
            c.neighbours.push_back(std::move(neighbour));
    }
    // Only a node that links needs a name the network accepts.
    if ((c.listen || !c.neighbours.empty()) && !isValidHostName(c.hostName)) {
        const std::string rule = "4 to 10 letters, digits, '.' or '-', one a letter";
        if (named)
            problems.push_back(problem("CONVERS", "HOSTNAME", c.hostName, "is not a host name: " + rule));
        else // a name the sysop never wrote: where it came from, and where to set one
            problems.push_back("Palavoro.INI: [CONVERS] HOSTNAME is not set, and the name taken from CALLSIGN, " +
                               c.hostName + (c.hostName.size() < 4 ? ", is too short (" : ", has no letter (") + rule +
                               "): [CONVERS] HOSTNAME sets this node's name on the network");
    }
    config = std::move(c);
}
