// Network addresses as the logs and the sysop show them.
#pragma once

#include <cstdint>
#include <string>

// An IPv6 address in brackets, so that a port can follow it.
inline std::string bracketed(const std::string& address)
{
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

// "127.0.0.1:3600", "[::1]:3600".
inline std::string hostPort(const std::string& address, uint16_t port)
{
    return bracketed(address) + ":" + std::to_string(port);
}

// An IPv4 peer may be reported in its IPv6-mapped form.
inline std::string plainAddress(const std::string& address)
{
    return address.starts_with("::ffff:") ? address.substr(7) : address;
}
