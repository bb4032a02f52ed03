// The [CONVERS] and [LINKS] sections of Palavoro.INI: this node's name on the
// convers network, where it listens for host links, and its neighbours.
#pragma once

#include "convers/NetworkTypes.h"
#include "support/Profile.h"

#include <string>
#include <vector>

// Reads both sections into `config`. Each bad value is added to `problems`
// and left out (a neighbour line) or left at its built-in value.
void readConversSettings(const Profile::Document& ini, const std::string& callSign, NetworkConfig& config,
                         std::vector<std::string>& problems);
