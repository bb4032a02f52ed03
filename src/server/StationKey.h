// A connected station is known by its radio port and its callsign.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

using StationKey = std::pair<int32_t, std::string>;

struct StationKeyHash {
    size_t operator()(const StationKey& key) const
    {
        return std::hash<std::string>()(key.second) ^ static_cast<size_t>(key.first);
    }
};
