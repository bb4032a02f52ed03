// Start-up on any Palavoro.INI: it refuses with its message before anything
// is made, or it starts and serves stations on every port the file allows.
// Start-up and the operator's check read the file alike: the check lists
// every problem start-up says, and start-up refuses exactly when one stops it.
//
// Input: the file's contents.
#include "FuzzSupport.h"
#include "server/SettingsCheck.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string dir = [] {
        const std::string made = fuzz::workDir().file("ini") + "/";
        std::filesystem::create_directories(made);
        return made;
    }();
    const std::string ini = dir + "Palavoro.INI";
    const std::string defaultLog = dir + "Palavoro.LOG";
    writeFile(ini, std::string(reinterpret_cast<const char*>(data), size));

    // Names are looked up by a rule of the target's own, never by a resolver.
    const HostLookup lookup = [](const std::string& host) {
        return host == "localhost" ? std::string() : std::string("not a name here");
    };
    ServerSettings probe;
    probe.logFile = defaultLog;
    std::string disable;
    const SettingsProblems problems = readStation(dir, probe, disable, lookup);
    const SettingsProblems checked = checkStation(dir, lookup);
    fuzz::require(problems == checked);
    const bool stops = std::any_of(problems.begin(), problems.end(), [](const SettingsProblem& p) { return p.stops; });

    // LOGFILE could name any file on the machine for the trace to empty and
    // write: only the station's own log, or none, is let through.
    if (probe.logFile != defaultLog && !probe.logFile.empty())
        return 0;

    fuzz::Rig rig(dir);
    rig.server.setHostLookup(lookup);
    if (!rig.start()) {
        fuzz::require(rig.ended() ||
                      (rig.server.link() == nullptr && stops && rig.server.startupProblems() == problems));
        return 0;
    }
    fuzz::require(!stops && rig.server.startupProblems() == problems);
    fuzz::require(rig.server.directory().findArea(0) != nullptr);
    rig.check();
    rig.engineUp("3;Port1;Port2;Port3;"); // traced as the file says, like the rest of start-up
    rig.quiet();
    rig.check();

    // Ports 1, 2, 100 (the last DISABLE takes) and 101.
    const std::string call = rig.server.link()->callSign();
    const uint8_t ports[] = {1, 2, 100, 101};
    for (uint8_t port : ports) {
        const std::string station = "N0ST-" + std::to_string(port % 16);
        rig.connectStation(port, station);
        rig.check();
        for (const char* line : {"/NE Fuzz\r", "/C *\r", "/W\r", "hello\r", "/J 1\r", "/M 0 hi\r"}) {
            rig.line(port, station, line);
            rig.check();
        }
    }
    rig.checkStatus();
    // Time limit, disconnect waits and beacons, a bounded number of beacon cycles.
    const int32_t every = rig.server.settings().beaconEvery;
    uint64_t left = rig.server.beacon() != nullptr && every > 0 ? std::min<uint64_t>(700000, 50ull * every) : 700000;
    for (uint64_t stepMs = 1000; left > 0 && !rig.ended(); stepMs *= 4) {
        const uint64_t advance = std::min(left, stepMs);
        rig.clock.advance(advance);
        left -= advance;
        rig.check();
    }
    return 0;
}
