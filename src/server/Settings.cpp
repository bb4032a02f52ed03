// Reading Palavoro.INI.
#include "server/Settings.h"

#include "support/HexStr.h"
#include "support/Profile.h"

namespace {

std::string badNumber(const std::string& section, const std::string& key, const std::string& value,
                      const char* what = "is not a number")
{
    return "Palavoro.INI: [" + section + "] " + key + "=" + value + " " + what;
}

int32_t readNumber(const std::string& ini, const std::string& section, const std::string& key,
                   const std::string& defaultValue)
{
    std::string value = Profile::readString(ini, section, key, defaultValue);
    int32_t number = 0;
    if (!tryStrToInt(value, number))
        throw ConvertError(badNumber(section, key, value));
    return number;
}

bool readYes(const std::string& ini, const std::string& key)
{
    return upperStr(Profile::readString(ini, "PALAVORO", key, "NOT")) == "YES";
}

// Checks every AREAS id before anything is built, so a bad one stops start-up
// as early as the other numbers do.
void checkAreaIds(const std::vector<std::string>& areas)
{
    for (const std::string& line : areas) {
        std::string topic = line;
        std::string id = nextField(topic, '=');
        int32_t value = 0;
        if (isNumeric(id) && !tryStrToInt(id, value))
            throw ConvertError(badNumber("AREAS", id, topic, "has an area id that is not a 32-bit number"));
    }
}

} // namespace

void readSettings(const std::string& ini, ServerSettings& settings, std::string& disable)
{
    // Read in one go into a copy, so that a bad number changes nothing.
    ServerSettings s = settings;
    s.ipAddress = Profile::readString(ini, "PALAVORO", "IP_ADDRESS", "127.0.0.1");
    s.hostName = Profile::readString(ini, "PALAVORO", "HOSTNAME", "");
    s.tcpPort = readNumber(ini, "PALAVORO", "TCP_PORT", "8000");
    // A port beyond 16 bits would silently connect somewhere else.
    if (s.tcpPort < 0 || s.tcpPort > 65535)
        throw ConvertError(badNumber("PALAVORO", "TCP_PORT", std::to_string(s.tcpPort), "is not a TCP port number"));
    s.debug = upperStr(Profile::readString(ini, "PALAVORO", "DEBUG", "YES"));
    s.traceLevel = readNumber(ini, "PALAVORO", "TRACE", "1");
    // A path keeps its case: file names are case-sensitive here.
    s.logFile = Profile::readString(ini, "PALAVORO", "LOGFILE", settings.logFile);
    s.callSign = upperStr(Profile::readString(ini, "PALAVORO", "CALLSIGN", "NOBODY-0"));
    s.login = upperStr(Profile::readString(ini, "PALAVORO", "LOGIN", ""));
    s.password = upperStr(Profile::readString(ini, "PALAVORO", "PASWD", ""));
    s.timeout = readNumber(ini, "PALAVORO", "TIMEOUT", "600000");
    s.discWait = readNumber(ini, "PALAVORO", "DISCWAIT", "60000");
    const std::string reconnect = upperStr(Profile::readString(ini, "PALAVORO", "RECONNECT", "YES"));
    s.reconnect = reconnect != "NOT" && reconnect != "NO";
    std::string disabled = Profile::readString(ini, "PALAVORO", "DISABLE", "");
    s.createArea = readYes(ini, "CREATEAREA");
    s.maxAreas = readNumber(ini, "PALAVORO", "MAXAREAS", "3");
    s.bell = readYes(ini, "BELL");
    s.forceName = readYes(ini, "FORCENAME");
    s.beaconText = Profile::readString(ini, "BEACON", "TEXT", "");
    s.beaconEvery = readNumber(ini, "BEACON", "EVERY", "600000");
    s.beaconId = upperStr(Profile::readString(ini, "BEACON", "ID", "ID"));
    s.beaconVia = upperStr(Profile::readString(ini, "BEACON", "VIA", ""));
    s.areaLines = Profile::readSection(ini, "AREAS");
    checkAreaIds(s.areaLines);
    settings = std::move(s);
    disable = std::move(disabled);
}
