#include "ChatServer.h"

#include "support/HexStr.h"
#include "support/Profile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Everything start-up takes from Palavoro.INI, read in one go so that a bad
// number stops start-up before anything has been changed.
struct IniSettings {
    std::string ipAddress;
    std::string hostName;
    int32_t tcpPort = 8000;
    std::string debug;
    int32_t level = 1;
    std::string logFile;
    std::string callSign;
    std::string login;
    std::string password;
    int32_t timeout = 600000;
    int32_t discWait = 60000;
    std::string disable;
    bool createArea = false;
    bool bell = false;
    bool forceName = false;
    std::string beaconText;
    int32_t beaconEvery = 600000;
    std::string beaconId;
    std::string beaconVia;
    std::vector<std::string> areas;
};

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

IniSettings readIni(const std::string& ini, const std::string& defaultLog)
{
    IniSettings s;
    s.ipAddress = Profile::readString(ini, "PALAVORO", "IP_ADDRESS", "127.0.0.1");
    s.hostName = Profile::readString(ini, "PALAVORO", "HOSTNAME", "");
    s.tcpPort = readNumber(ini, "PALAVORO", "TCP_PORT", "8000");
    // A port beyond 16 bits would silently connect somewhere else.
    if (s.tcpPort < 0 || s.tcpPort > 65535)
        throw ConvertError(badNumber("PALAVORO", "TCP_PORT", std::to_string(s.tcpPort), "is not a TCP port number"));
    s.debug = upperStr(Profile::readString(ini, "PALAVORO", "DEBUG", "YES"));
    s.level = readNumber(ini, "PALAVORO", "TRACE", "1");
    // A path keeps its case: file names are case-sensitive here.
    s.logFile = Profile::readString(ini, "PALAVORO", "LOGFILE", defaultLog);
    s.callSign = upperStr(Profile::readString(ini, "PALAVORO", "CALLSIGN", "NOBODY-0"));
    s.login = upperStr(Profile::readString(ini, "PALAVORO", "LOGIN", ""));
    s.password = upperStr(Profile::readString(ini, "PALAVORO", "PASWD", ""));
    s.timeout = readNumber(ini, "PALAVORO", "TIMEOUT", "600000");
    s.discWait = readNumber(ini, "PALAVORO", "DISCWAIT", "60000");
    s.disable = Profile::readString(ini, "PALAVORO", "DISABLE", "");
    s.createArea = readYes(ini, "CREATEAREA");
    s.bell = readYes(ini, "BELL");
    s.forceName = readYes(ini, "FORCENAME");
    s.beaconText = Profile::readString(ini, "BEACON", "TEXT", "");
    s.beaconEvery = readNumber(ini, "BEACON", "EVERY", "600000");
    s.beaconId = upperStr(Profile::readString(ini, "BEACON", "ID", "ID"));
    s.beaconVia = upperStr(Profile::readString(ini, "BEACON", "VIA", ""));
    s.areas = Profile::readSection(ini, "AREAS");
    return s;
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

void ChatServer::start()
{
    log.debug = "YES";
    log.level = 4;
    log.logFile = "PALAVORO.LOG";
    ipAddress = "127.0.0.1";
    tcpPort = 8000;
    hostName.clear();
    callSign = "NOBODY-0";
    registered = false;
    timeout = 600000;
    discWait = 60000;
    createArea = false;
    beaconEvery = 0;
    beaconText.clear();
    beaconId.clear();
    beaconVia.clear();
    bell = false;
    forceName = false;
    portEnabled.fill(true);

    const std::string defaultLog = baseDir + "Palavoro.LOG";
    log.logFile = defaultLog;
    writeHex(1, log.logFile);

    std::string login;
    std::string password;
    std::string disable;
    std::vector<std::string> areaLines;
    if (Profile::fileExists(iniFile())) {
        IniSettings s = readIni(iniFile(), defaultLog);
        checkAreaIds(s.areas);
        ipAddress = s.ipAddress;
        hostName = s.hostName;
        tcpPort = s.tcpPort;
        log.debug = s.debug;
        log.level = s.level;
        log.logFile = s.logFile;
        callSign = s.callSign;
        login = s.login;
        password = s.password;
        timeout = s.timeout;
        discWait = s.discWait;
        disable = s.disable;
        createArea = s.createArea;
        bell = s.bell;
        forceName = s.forceName;
        beaconText = s.beaconText;
        beaconEvery = s.beaconEvery;
        beaconId = s.beaconId;
        beaconVia = s.beaconVia;
        areaLines = std::move(s.areas);
    }

    log.truncate();

    while (!disable.empty()) {
        std::string piece = nextField(disable, ',');
        int32_t port = 0;
        if (isNumeric(piece) && tryStrToInt(piece, port) && port >= 1 && port <= MAX_ENABLE_PORTS) {
            portEnabled[static_cast<size_t>(port)] = false;
            writeLog(1, "{CHAT} Port(" + std::to_string(port) + ") Disabled");
        }
    }

    writeLog(1, "{PALAVORO} Program Initialization");

    link_ = std::make_unique<AgwLink>(makeSocket_(), timers_);
    link_->log.logFile = log.logFile;
    link_->log.debug = log.debug;
    link_->log.level = log.level;
    link_->loginUser = login;
    link_->loginPassword = password;
    link_->onConnectEx = [this](AgwLink& link, uint8_t port, const std::string& from, const std::string& to,
                                const std::string& text) { handleConnect(link, port, from, to, text); };
    link_->onDisconnect = [this](AgwLink& link, uint8_t port, const std::string& call, const std::string& text) {
        handleDisconnect(link, port, call, text);
    };
    link_->onData = [this](AgwLink& link, uint8_t port, const std::string& callFrom, const std::string& callTo,
                           uint8_t pid,
                           const std::string& data) { handleData(link, port, callFrom, callTo, pid, data); };
    link_->onAgwUp = [this](AgwLink& link) { handleLinkUp(link); };
    link_->onAgwDown = [this](AgwLink& link) { handleLinkDown(link); };
    link_->onAgwError = [this](AgwLink& link) { handleLinkError(link); };
    link_->onRegister = [this](AgwLink& link, const std::string& call, const std::string& data) {
        handleRegistration(link, call, data);
    };
    link_->onVersion = [this](AgwLink& link, int32_t major, int32_t minor) { handleVersion(link, major, minor); };
    link_->onPort = [this](AgwLink& link) { handlePortList(link); };
    link_->onConnFrames = [this](AgwLink& link, uint8_t port, const std::string& callFrom, const std::string& callTo,
                                 int32_t frames) { handleConnFrames(link, port, callFrom, callTo, frames); };
    link_->setCallSign(callSign);
    if (!hostName.empty())
        link_->host = hostName;
    link_->setAddress(ipAddress);
    link_->setPort(static_cast<uint32_t>(tcpPort));
    link_->setMonitor("N");
    link_->rawFrames = false;
    link_->portPolling = false;
    link_->open();
    writeLog(1, "{PALAVORO} L2 Object Creation Completed");

    if (static_cast<uint32_t>(beaconEvery) != 0 && !beaconText.empty()) {
        beacon_ = std::make_unique<Beacon>(timers_);
        beacon_->log.debug = log.debug;
        beacon_->log.level = log.level;
        beacon_->log.logFile = log.logFile;
        beacon_->callSign = callSign;
        beacon_->link = link_.get();
        beacon_->setInterval(beaconEvery);
        beacon_->id = beaconId;
        beacon_->via = beaconVia;
        beacon_->text = beaconText;
        beacon_->onBeacon = [this](AgwLink& link, uint8_t port, const std::string& call, const std::string& id,
                                   const std::string& via,
                                   const std::string& text) { handleBeacon(link, port, call, id, via, text); };
        writeLog(1, "{PALAVORO} AX.25 <UI> Beacon Initialized");
    }

    areas.clear();
    stations.clear();
    writeLog(1, "{PALAVORO} Memory Control Block Initialized");

    if (addArea(0, "Root", true, callSign) == nullptr) {
        writeLog(1, "{PALAVORO} Root Area Creation Failed");
        shell().fatalError("Not Able to create Root Chat Area");
        return;
    }
    writeLog(1, "{PALAVORO} Root Area Created");

    for (const std::string& line : areaLines) {
        std::string topic = line;
        std::string id = nextField(topic, '=');
        int32_t value = 0;
        if (!isNumeric(id) || !tryStrToInt(id, value))
            continue;
        if (addArea(value, topic, true, callSign) != nullptr)
            writeLog(1, "{PALAVORO} Created Area(" + std::to_string(value) + ") Description(" + topic + ")");
    }
}
