// The program's command line. Parsing is pure: it only looks at the arguments
// and decides what main() does, so that main() can act on it before it touches
// the station directory. Each option is one row of the table in CommandLine.cpp,
// which also writes the usage text.
#pragma once

#include <string>
#include <vector>

class CommandLine {
public:
    enum class Action {
        Run,     // start the server (in directory() when it is not empty)
        Help,    // print usage() on standard output, exit 0
        Version, // print version() on standard output, exit 0
        Check,   // check Palavoro.INI (in directory() when it is not empty), exit 0 or 1
        Control, // ask the running server (of directory() when it is not empty) to do control()
        Fail,    // print error() and usage() on standard error, exit 2
    };

    // The arguments after the program name.
    static CommandLine parse(const std::vector<std::string>& arguments);
    static CommandLine parse(int argc, const char* const* argv);

    Action action() const { return action_; }
    const std::string& directory() const { return directory_; }
    const std::string& error() const { return error_; }
    // After "ctl": the verb and its arguments.
    const std::vector<std::string>& control() const { return control_; }

    static std::string usage();
    static std::string version();

    // Exit status for a command line that cannot be used.
    static constexpr int usageStatus = 2;

private:
    friend struct CommandLineOptions;
    Action action_ = Action::Run;
    std::string directory_;
    std::string error_;
    std::vector<std::string> control_;
};
