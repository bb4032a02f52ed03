// What the rest of the server knows of the convers network: its neighbours as
// configured, the remote users and the links as they stand. Plain values, no
// protocol types.
#pragma once

#include "support/Address.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One [LINKS] line: a neighbour we dial at address:port, and accept from that
// address; or, with anyAddress, only accept, from wherever it comes.
struct Neighbour {
    std::string name;
    std::string address; // numeric, or a host name (byName) looked up when dialled and when it dials in
    uint16_t port = 0;
    std::string firstLine; // sent before our HOST (a PP node's permlink callsign)
    bool anyAddress = false;
    bool byName = false;
    // Over the air: an AX.25 connection through the engine to `call` on radio
    // port `radioPort` (1-based), by way of the digipeaters in `via` (blank-
    // separated); `address` then reads "AX25:port:CALL".
    bool overAir = false;
    uint16_t radioPort = 1;
    std::string call{};
    std::string via{};
};

struct NetworkConfig {
    std::string hostName; // ours on the network
    std::string callSign; // the server's, also refused as a remote host
    bool listen = false;
    std::string listenAddress = "127.0.0.1";
    uint16_t listenPort = 3600;
    // As the sysop reads it: "127.0.0.1:3600", "[::1]:3600", or empty when not listening.
    std::string listenText() const
    {
        if (!listen)
            return {};
        return hostPort(listenAddress, listenPort);
    }
    size_t maxRemoteUsers = 1000; // per link
    std::vector<Neighbour> neighbours;
};

// A user of another node, as learnt over one of our links.
struct RemoteUser {
    std::string name;              // printable, as the network wrote it
    std::string host;              // printable, never empty
    std::vector<int32_t> channels; // a PP user may be on several
    std::string note;              // personal text, printable
    std::string away;              // away text, printable; empty while not away
    std::string link;              // the neighbour it came over
    int64_t number = 0;            // the USER line's number, for passing it on
    uint64_t linkId = 0;           // which link, while it lasts
    std::string origin{};          // the neighbour that taught it first, never told of it again
};

struct LinkStatus {
    std::string name;      // the neighbour's name as configured
    std::string address;   // with the port, when known
    std::string direction; // "out" when we dialled, "in" when it did; empty while not linked
    std::string state;     // "dialling", "waiting", "handshake", "up", "listening", "down"
    std::string lastError; // why the last dial failed, while waiting
    std::string software;
    int64_t since = 0;  // wall-clock ms of the last change of state
    int64_t rttMs = -1; // the last measured round trip, -1 before one
    size_t users = 0;   // remote users learnt over it
    size_t waiting = 0; // bytes waiting to be sent to it
};
