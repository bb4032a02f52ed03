// What the chat server needs of the application shell: telling the operator
// about a fatal condition and ending the program, and the connection log.
#pragma once

#include <string>

constexpr const char* FATAL_CAPTION = "Palavoro 0.10 Initialization Failure";

class ShellServices {
public:
    virtual ~ShellServices() = default;
    // Shows the text under FATAL_CAPTION (a modal box with a display, standard
    // error without one), then ends the program with a non-zero status.
    // Returns only in tests.
    virtual void fatalError(const std::string& text) = 0;
    // One line of the connection log (connects, refusals, departures, the
    // link's changes), written whatever the trace settings: for the journal.
    virtual void logConnection(const std::string& line) = 0;
};
