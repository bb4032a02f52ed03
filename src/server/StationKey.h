// A connected station is known by its radio port and its callsign.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

using StationKey = std::pair<int32_t, std::string>;

// The port of a user logged in over TCP: no port an engine can name (its
// port byte 255 reads as port 0), and shown as port 0 on the status page.
constexpr int32_t TCP_USER_PORT = -1;
inline bool isTcpUser(int32_t port)
{
    return port == TCP_USER_PORT;
}
// The port as users see it (/W, /U): a user over TCP is marked so that radio
// users know who is not on the air.
inline std::string shownPort(int32_t port)
{
    return isTcpUser(port) ? std::string("tcp") : std::to_string(port);
}

struct StationKeyHash {
    size_t operator()(const StationKey& key) const
    {
        return std::hash<std::string>()(key.second) ^ static_cast<size_t>(key.first);
    }
};
