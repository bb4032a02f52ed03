// Palavoro.INI read again while the server runs (`palavoro ctl reload`,
// SIGHUP): what can change at once does, without dropping a station or a
// link that stays; what needs a restart is named and left as it was.
#include "server/ChatServer.h"

#include "server/ServerStatus.h"
#include "server/SettingsCheck.h"
#include "support/HexStr.h"

#include <array>

namespace {

using Show = std::string (*)(const ServerSettings&);
using Keep = void (*)(ServerSettings& fresh, const ServerSettings& old);

struct Setting {
    const char* name;
    Show show;
    Keep keep; // for a key that needs a restart: puts the running value back
};

std::string yes(bool value)
{
    return value ? "YES" : "NOT";
}

std::string listenText(const StatusListen& listen)
{
    return listen.on ? listen.address + ":" + std::to_string(listen.port) : "NOT";
}

std::string areaLines(const ServerSettings& s)
{
    std::string text;
    for (const std::string& line : s.areaLines)
        text += line + ";";
    return text;
}

// The keys a reload takes at once, and those it cannot.
const std::array<Setting, 11> RESTART = {{
    {"IP_ADDRESS", [](const ServerSettings& s) { return s.ipAddress; },
     [](ServerSettings& f, const ServerSettings& o) { f.ipAddress = o.ipAddress; }},
    {"HOSTNAME", [](const ServerSettings& s) { return s.hostName; },
     [](ServerSettings& f, const ServerSettings& o) { f.hostName = o.hostName; }},
    {"TCP_PORT", [](const ServerSettings& s) { return std::to_string(s.tcpPort); },
     [](ServerSettings& f, const ServerSettings& o) { f.tcpPort = o.tcpPort; }},
    {"LOGIN", [](const ServerSettings& s) { return s.login; },
     [](ServerSettings& f, const ServerSettings& o) { f.login = o.login; }},
    {"PASWD", [](const ServerSettings& s) { return s.password.empty() ? std::string() : std::string("*"); },
     [](ServerSettings& f, const ServerSettings& o) { f.password = o.password; }},
    {"CALLSIGN", [](const ServerSettings& s) { return s.callSign; },
     [](ServerSettings& f, const ServerSettings& o) { f.callSign = o.callSign; }},
    {"LOGFILE", [](const ServerSettings& s) { return s.logFile; },
     [](ServerSettings& f, const ServerSettings& o) { f.logFile = o.logFile; }},
    {"LOGSIZE", [](const ServerSettings& s) { return std::to_string(s.logSize); },
     [](ServerSettings& f, const ServerSettings& o) { f.logSize = o.logSize; }},
    {"RECONNECT", [](const ServerSettings& s) { return yes(s.reconnect); },
     [](ServerSettings& f, const ServerSettings& o) { f.reconnect = o.reconnect; }},
    {"[CONVERS] HOSTNAME", [](const ServerSettings& s) { return s.network.hostName; },
     [](ServerSettings& f, const ServerSettings& o) { f.network.hostName = o.network.hostName; }},
    {"[AREAS]", areaLines, [](ServerSettings& f, const ServerSettings& o) { f.areaLines = o.areaLines; }},
}};

const std::array<Setting, 16> AT_ONCE = {{
    {"TIMEOUT", [](const ServerSettings& s) { return std::to_string(s.timeout); }, nullptr},
    {"IDLE", [](const ServerSettings& s) { return std::to_string(s.idle); }, nullptr},
    {"DISCWAIT", [](const ServerSettings& s) { return std::to_string(s.discWait); }, nullptr},
    {"ENGINEWAIT", [](const ServerSettings& s) { return std::to_string(s.engineWait); }, nullptr},
    {"MAXAREAS", [](const ServerSettings& s) { return std::to_string(s.maxAreas); }, nullptr},
    {"CREATEAREA", [](const ServerSettings& s) { return yes(s.createArea); }, nullptr},
    {"FORCENAME", [](const ServerSettings& s) { return yes(s.forceName); }, nullptr},
    {"BELL", [](const ServerSettings& s) { return yes(s.bell); }, nullptr},
    {"TRACE", [](const ServerSettings& s) { return std::to_string(s.traceLevel); }, nullptr},
    {"DEBUG", [](const ServerSettings& s) { return s.debug; }, nullptr},
    {"STATUS", [](const ServerSettings& s) { return listenText(s.status); }, nullptr},
    {"[TCPUSERS] LISTEN", [](const ServerSettings& s) { return listenText(s.tcpUsers); }, nullptr},
    {"[BEACON] TEXT", [](const ServerSettings& s) { return s.beaconText; }, nullptr},
    {"[BEACON] EVERY", [](const ServerSettings& s) { return std::to_string(s.beaconEvery); }, nullptr},
    {"[BEACON] ID", [](const ServerSettings& s) { return s.beaconId; }, nullptr},
    {"[BEACON] VIA", [](const ServerSettings& s) { return s.beaconVia; }, nullptr},
}};

} // namespace

ChatServer::ReloadResult ChatServer::reload()
{
    if (onReload)
        onReload(nullptr);
    ReloadResult result = readAgain();
    if (onReload)
        onReload(&result);
    return result;
}

ChatServer::ReloadResult ChatServer::readAgain()
{
    ReloadResult result;
    ServerSettings fresh = defaultSettings();
    std::string disable;
    const SettingsProblems problems = readStation(baseDir_, fresh, disable);
    writeLog(1, "{PALAVORO} Reload " + isoTime(stats_.now()) + " of " + iniFile());
    for (const SettingsProblem& problem : problems) {
        writeLog(1, "{PALAVORO} " + problem.text);
        result.lines.push_back(problem.text);
    }
    for (const SettingsProblem& problem : problems)
        if (problem.stops) {
            writeLog(1, "{PALAVORO} Reload refused, nothing changed: " + problem.text);
            result.lines.push_back("nothing changed: the server would not start with this file");
            return result;
        }
    const size_t problemLines = result.lines.size();
    for (const Setting& key : RESTART)
        if (key.show(fresh) != key.show(settings_)) {
            result.lines.push_back(std::string(key.name) + " needs a restart: kept as " + key.show(settings_));
            key.keep(fresh, settings_);
        }
    for (const Setting& key : AT_ONCE)
        if (key.show(fresh) != key.show(settings_))
            result.lines.push_back(std::string(key.name) + "=" + key.show(fresh));
    if (disable != disable_)
        result.lines.push_back("DISABLE=" + disable);
    const bool beaconChanged = fresh.beaconText != settings_.beaconText || fresh.beaconEvery != settings_.beaconEvery ||
                               fresh.beaconId != settings_.beaconId || fresh.beaconVia != settings_.beaconVia;
    result.statusMoved = listenText(fresh.status) != listenText(settings_.status);
    NetworkConfig network = fresh.network;
    settings_ = std::move(fresh);
    applyDisable(disable);
    // Time limits and the rest apply to stations that connect from now on.
    log_.debug = settings_.debug;
    log_.level = settings_.traceLevel;
    if (link_) {
        link_->traceLog().debug = log_.debug;
        link_->traceLog().level = log_.level;
        link_->setEngineWait(static_cast<uint32_t>(std::max<int32_t>(settings_.engineWait, 0)));
    }
    if (beaconChanged) {
        beacon_.reset();
        makeBeacon();
    }
    tcpUsers_.configure(settings_.tcpUsers);
    for (std::string& line : network_.reconfigure(network))
        result.lines.push_back(std::move(line));
    if (result.lines.size() == problemLines)
        result.lines.push_back("nothing changed");
    for (const std::string& line : result.lines)
        writeLog(1, "{PALAVORO} Reload: " + line);
    result.applied = true;
    return result;
}
