#include "CommandLine.h"

#include <algorithm>
#include <iterator>
#include <span>

#ifndef PALAVORO_VERSION
#error "PALAVORO_VERSION must be set by the build"
#endif

struct CommandLineOptions {
    struct Option {
        const char* name;      // long form, "--name"
        const char* shortName; // "-x", or nullptr
        const char* value;     // the value's name when the option takes one, or nullptr
        const char* help;
        void (*apply)(CommandLine&, const std::string& value);
    };

    static void fail(CommandLine& line, std::string error)
    {
        line.action_ = CommandLine::Action::Fail;
        line.error_ = std::move(error);
    }

    static std::span<const Option> all()
    {
        static const Option options[] = {
            {"--dir", nullptr, "DIR", "run in the station directory DIR instead of the current one",
             [](CommandLine& line, const std::string& value) {
                 if (value.empty())
                     fail(line, "--dir needs a directory");
                 else if (!line.directory_.empty())
                     fail(line, "--dir given more than once");
                 else
                     line.directory_ = value;
             }},
            {"--check", nullptr, nullptr, "check Palavoro.INI, report every problem and exit (1 if any)",
             [](CommandLine& line, const std::string&) { line.action_ = CommandLine::Action::Check; }},
            {"--help", "-h", nullptr, "print this help and exit",
             [](CommandLine& line, const std::string&) { line.action_ = CommandLine::Action::Help; }},
            {"--version", "-V", nullptr, "print the version and exit",
             [](CommandLine& line, const std::string&) { line.action_ = CommandLine::Action::Version; }},
        };
        return options;
    }

    static const Option* find(const std::string& argument)
    {
        for (const Option& option : all())
            if (argument == option.name || (option.shortName != nullptr && argument == option.shortName))
                return &option;
        return nullptr;
    }
};

CommandLine CommandLine::parse(const std::vector<std::string>& arguments)
{
    CommandLine line;
    // Left to right; the first argument that ends the program (help, version
    // or an error) decides. A check still takes the directory.
    auto goesOn = [&line] { return line.action_ == Action::Run || line.action_ == Action::Check; };
    for (auto argument = arguments.begin(); argument != arguments.end() && goesOn(); ++argument) {
        std::string name = *argument;
        // The verb for the running server, with everything after it.
        if (name == "ctl" && line.action_ == Action::Run) {
            line.control_.assign(std::next(argument), arguments.end());
            if (line.control_.empty())
                CommandLineOptions::fail(line, "ctl needs a verb");
            else
                line.action_ = Action::Control;
            break;
        }
        std::string value;
        bool inlineValue = false;
        if (auto equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
            inlineValue = true;
        }
        const CommandLineOptions::Option* option = CommandLineOptions::find(name);
        if (option == nullptr) {
            CommandLineOptions::fail(line, "unknown argument '" + *argument + "'");
        } else if (option->value == nullptr) {
            if (inlineValue)
                CommandLineOptions::fail(line, name + " takes no value");
            else
                option->apply(line, value);
        } else if (!inlineValue && std::next(argument) == arguments.end()) {
            CommandLineOptions::fail(line, name + " needs " + option->value);
        } else {
            option->apply(line, inlineValue ? value : *++argument);
        }
    }
    return line;
}

CommandLine CommandLine::parse(int argc, const char* const* argv)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return parse(arguments);
}

std::string CommandLine::usage()
{
    std::string text = "Usage: palavoro [--dir DIR] [--check]\n"
                       "       palavoro [--dir DIR] ctl VERB [ARGS]\n"
                       "       palavoro --help | --version\n"
                       "\n"
                       "Palavoro, a chat server for amateur packet radio stations, runs as a client\n"
                       "of an AGW packet engine such as Dire Wolf. It works in the station directory:\n"
                       "Palavoro.INI (settings), Palavoro.USR (users), TEXT/*.INF (texts) and the\n"
                       "trace Palavoro.LOG.\n"
                       "\n"
                       "Options:\n";
    for (const auto& option : CommandLineOptions::all()) {
        std::string form = option.shortName != nullptr ? std::string(option.shortName) + ", " : "    ";
        form += option.name;
        if (option.value != nullptr)
            form += std::string(" ") + option.value;
        form.resize(std::max<size_t>(form.size() + 2, 18), ' ');
        text += "  " + form + option.help + "\n";
    }
    text += "\n"
            "Verbs for the running server (over ctl.sock in the station directory):\n"
            "  status              the server, the engine, stations and links in a few lines\n"
            "  links               the host links, as /LI shows them\n"
            "  link up NAME        dial or accept the [LINKS] neighbour NAME again\n"
            "  link down NAME      close the link to NAME and keep it down\n"
            "  kick CALL [TEXT]    send TEXT to every station of CALL, then disconnect it\n"
            "  notice TEXT         one line holding TEXT to every station\n"
            "  passwd CALL         set CALL's password for logins over TCP (read without echo)\n"
            "  passwd -d CALL      remove it: CALL can no longer log in over TCP\n"
            "  passwd -l           the callsigns that have a password\n"
            "  reload              read Palavoro.INI again (as SIGHUP does)\n"
            "Exit status: 0 done, 1 refused (the reason on standard error), 2 no server.\n";
    return text;
}

std::string CommandLine::version()
{
    return "Palavoro " PALAVORO_VERSION;
}
