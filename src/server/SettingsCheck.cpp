// The station directory: Palavoro.INI, and a directory the server can write in.
#include "server/SettingsCheck.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

// The user file is replaced by renaming a new file over it, and the trace is
// written beside it: both need the directory, not only the files.
void checkWritable(const std::string& baseDir, SettingsProblems& problems)
{
    if (::access(baseDir.c_str(), W_OK) == 0)
        return;
    problems.push_back({"Palavoro: the station directory " + baseDir + " is not writable (" + std::strerror(errno) +
                            "): names (/NA) and personal data (/P) cannot be saved, nor the trace written there",
                        false});
}

// A sysop who means this node's name writes it under [PALAVORO], and the
// server then waits for ever for an engine of that name.
void checkEngineHost(const Profile::Document& ini, const HostLookup& lookup, SettingsProblems& problems)
{
    const std::string host = ini.value("PALAVORO", "HOSTNAME", "");
    if (host.empty() || !lookup)
        return;
    const std::string error = lookup(host);
    if (!error.empty())
        problems.push_back({"Palavoro.INI: [PALAVORO] HOSTNAME=" + host + " does not resolve (" + error +
                                "): this key is the AGW engine's host; this node's name on the network is "
                                "[CONVERS] HOSTNAME",
                            false});
}

} // namespace

std::string lookUpHost(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (error == 0) {
        ::freeaddrinfo(found);
        return "";
    }
    return error == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(error);
}

SettingsProblems readStation(const std::string& baseDir, ServerSettings& settings, std::string& disable,
                             const HostLookup& lookup)
{
    SettingsProblems problems;
    const std::string iniPath = baseDir + "Palavoro.INI";
    std::error_code error;
    if (!std::filesystem::exists(iniPath, error)) {
        problems.push_back({iniPath + ": no such file, so " + CALLSIGN_MISSING, true});
    } else if (!Profile::fileExists(iniPath)) {
        problems.push_back({iniPath + ": cannot be read: not a file", true});
    } else if (std::optional<Profile::Document> ini =
                   std::ifstream(iniPath, std::ios::binary) ? Profile::readDocument(iniPath) : std::nullopt) {
        problems = readSettings(*ini, settings, disable);
        checkEngineHost(*ini, lookup, problems);
    } else {
        // Read as an empty file, it would start a station other than the one meant.
        problems.push_back({iniPath + ": cannot be read: " + std::strerror(errno), true});
    }
    checkWritable(baseDir, problems);
    return problems;
}

SettingsProblems checkStation(const std::string& baseDir, const HostLookup& lookup)
{
    ServerSettings settings;
    std::string disable;
    return readStation(baseDir, settings, disable, lookup);
}
