// What the chat server needs of the application shell: telling the operator
// about a fatal condition or a change of the link to the engine, ending the
// program, and the connection log.
#pragma once

#include <string>

constexpr const char* FATAL_CAPTION = "Palavoro 0.10 Initialization Failure";

enum class LinkNotice { Lost, StillDown, Back };

class ShellServices {
public:
    virtual ~ShellServices() = default;
    // Shows the text under FATAL_CAPTION (a modal box with a display, standard
    // error without one), then ends the program with a non-zero status.
    // Returns only in tests.
    virtual void fatalError(const std::string& text) = 0;
    // The link to the engine at `engine` ("host:port") was lost, is still down,
    // or is back; `message` is the line for the operator. No modal box: the
    // server goes on by itself.
    virtual void linkNotice(LinkNotice notice, const std::string& engine, const std::string& message) = 0;
    // One line of the connection log (connects, refusals, departures, the
    // link's changes), written whatever the trace settings: for the journal.
    virtual void logConnection(const std::string& line) = 0;
};
