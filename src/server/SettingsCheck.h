// The station directory as start-up and the operator's check find it: its
// Palavoro.INI read once (Settings.h) and whether the server can write there.
#pragma once

#include "server/Settings.h"

#include <functional>
#include <string>

// Looks a host name up and waits for the answer: empty when it resolves,
// else why not.
using HostLookup = std::function<std::string(const std::string& host)>;
// The system's resolver.
std::string lookUpHost(const std::string& host);

// `baseDir` ends in "/". Reads Palavoro.INI over `settings` and `disable` as
// readSettings does; a missing file leaves them as they are. With `lookup`,
// an engine's host name that does not resolve is said too.
SettingsProblems readStation(const std::string& baseDir, ServerSettings& settings, std::string& disable,
                             const HostLookup& lookup = {});

// The problems alone, for the check.
SettingsProblems checkStation(const std::string& baseDir, const HostLookup& lookup = lookUpHost);
