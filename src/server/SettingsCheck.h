// The station directory as start-up and the operator's check find it: its
// Palavoro.INI read once (Settings.h) and whether the server can write there.
#pragma once

#include "server/Settings.h"

#include <string>

// `baseDir` ends in "/". Reads Palavoro.INI over `settings` and `disable` as
// readSettings does; a missing file leaves them as they are.
SettingsProblems readStation(const std::string& baseDir, ServerSettings& settings, std::string& disable);

// The problems alone, for the check.
SettingsProblems checkStation(const std::string& baseDir);
