// A shell for the server's unit tests: a fatal error is kept instead of
// ending the program, and the connection log is kept line by line.
#pragma once

#include "server/ShellServices.h"

#include <string>
#include <vector>

class RecordingShell : public ShellServices {
public:
    std::vector<std::string> fatal;
    std::vector<std::string> connectionLog;
    void fatalError(const std::string& text) override { fatal.push_back(text); }
    std::vector<std::string> notices; // the operator's lines about the link
    void linkNotice(LinkNotice, const std::string&, const std::string& message) override { notices.push_back(message); }
    void logConnection(const std::string& line) override { connectionLog.push_back(line); }
};
