// The server as the status page shows it: the link, the areas, the stations
// and the counters since start-up, as JSON text. Built on request from what
// the server holds; it changes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class ChatServer;

// A JSON string literal, quotes included. Stations' texts are bytes: valid
// UTF-8 stays as it is, any other byte is read as Latin-1.
std::string jsonString(std::string_view bytes);

// A wall-clock time (ms since the epoch) as "2024-05-01T20:15:00Z".
std::string isoTime(int64_t milliseconds);

std::string statusJson(ChatServer& server);
