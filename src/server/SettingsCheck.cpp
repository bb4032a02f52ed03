// The station directory: Palavoro.INI, and a directory the server can write in.
#include "server/SettingsCheck.h"

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

} // namespace

SettingsProblems readStation(const std::string& baseDir, ServerSettings& settings, std::string& disable)
{
    SettingsProblems problems;
    const std::string iniPath = baseDir + "Palavoro.INI";
    std::error_code error;
    if (!std::filesystem::exists(iniPath, error)) {
        problems.push_back({iniPath + ": no such file (the server starts with the built-in values)", false});
    } else if (!Profile::fileExists(iniPath)) {
        problems.push_back({iniPath + ": cannot be read: not a file", true});
    } else if (std::optional<Profile::Document> ini =
                   std::ifstream(iniPath, std::ios::binary) ? Profile::readDocument(iniPath) : std::nullopt) {
        problems = readSettings(*ini, settings, disable);
    } else {
        // Read as an empty file, it would start a station other than the one meant.
        problems.push_back({iniPath + ": cannot be read: " + std::strerror(errno), true});
    }
    checkWritable(baseDir, problems);
    return problems;
}

SettingsProblems checkStation(const std::string& baseDir)
{
    ServerSettings settings;
    std::string disable;
    return readStation(baseDir, settings, disable);
}
