// Checking Palavoro.INI: readSettings collects the bad values, and the check
// adds what start-up takes without complaint but the operator did not mean.
#include "server/SettingsCheck.h"

#include "server/Settings.h"
#include "support/HexStr.h"
#include "support/Profile.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

std::string problem(const std::string& section, const std::string& key, const std::string& value,
                    const std::string& what)
{
    return "Palavoro.INI: [" + section + "] " + key + "=" + value + " " + what;
}

void checkKeys(const std::string& iniPath, const std::string& section, std::vector<std::string>& problems)
{
    for (const std::string& line : Profile::readSection(iniPath, section)) {
        const std::string key = line.substr(0, line.find('='));
        if (!isKnownSettingsKey(section, key))
            problems.push_back("Palavoro.INI: [" + section + "] " + key + " is not a known key");
    }
}

void checkDisable(const std::string& disable, std::vector<std::string>& problems)
{
    std::string rest = disable;
    while (!rest.empty()) {
        const std::string piece = nextField(rest, ',');
        int32_t port = 0;
        if (!isNumeric(piece) || !tryStrToInt(piece, port) || port < 1 || port > MAX_ENABLE_PORTS)
            problems.push_back(
                problem("PALAVORO", "DISABLE", disable,
                        "names '" + piece + "', which is not a port from 1 to " + std::to_string(MAX_ENABLE_PORTS)));
    }
}

bool isLetterOrDigit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

} // namespace

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

std::vector<std::string> checkSettings(const std::string& iniPath)
{
    std::vector<std::string> problems;
    if (!Profile::fileExists(iniPath)) {
        problems.push_back(iniPath + ": no such file (the server would start with the built-in values)");
        return problems;
    }
    // An unreadable file would read as an empty one.
    if (!std::ifstream(iniPath, std::ios::binary)) {
        problems.push_back(iniPath + ": cannot be read: " + std::strerror(errno));
        return problems;
    }
    ServerSettings settings;
    std::string disable;
    readSettings(iniPath, settings, disable, &problems);
    checkKeys(iniPath, "PALAVORO", problems);
    checkKeys(iniPath, "BEACON", problems);
    if (!isValidCallSign(settings.callSign))
        problems.push_back(problem("PALAVORO", "CALLSIGN", settings.callSign,
                                   "is not an AX.25 callsign (1 to 6 letters or digits, then -0 to -15)"));
    if (settings.traceLevel < 1 || settings.traceLevel > 5)
        problems.push_back(
            problem("PALAVORO", "TRACE", std::to_string(settings.traceLevel), "is not a level from 1 to 5"));
    if (settings.idle < 0)
        problems.push_back(problem("PALAVORO", "IDLE", std::to_string(settings.idle), "is below 0"));
    if (settings.engineWait < 0)
        problems.push_back(problem("PALAVORO", "ENGINEWAIT", std::to_string(settings.engineWait), "is below 0"));
    checkDisable(disable, problems);
    return problems;
}
