// The command line: what each argument list makes the program do.
#include "shell/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Action = CommandLine::Action;

TEST(CommandLine, EachArgumentListGivesItsAction)
{
    struct Case {
        std::vector<std::string> arguments;
        Action action;
        std::string directoryOrError;
    };
    for (const Case& c : std::vector<Case>{
             {{}, Action::Run, ""},
             {{"--dir", "/var/lib/palavoro"}, Action::Run, "/var/lib/palavoro"},
             {{"--dir=station two"}, Action::Run, "station two"},
             {{"--dir", "-h"}, Action::Run, "-h"}, // a directory may look like an option
             {{"--help"}, Action::Help, ""},
             {{"-h"}, Action::Help, ""},
             {{"--version"}, Action::Version, ""},
             {{"--dir", "x", "-V"}, Action::Version, "x"},
             {{"--check"}, Action::Check, ""},
             {{"--check", "--dir", "x"}, Action::Check, "x"},
             {{"--check", "--version"}, Action::Version, ""},
             {{"--check", "--bogus"}, Action::Fail, "unknown argument '--bogus'"},
             {{"--help", "--bogus"}, Action::Help, ""}, // the first argument that ends the program decides
             {{"--bogus", "--help"}, Action::Fail, "unknown argument '--bogus'"},
             {{"station"}, Action::Fail, "unknown argument 'station'"},
             {{"-help"}, Action::Fail, "unknown argument '-help'"},
             {{""}, Action::Fail, "unknown argument ''"},
             {{"--dir"}, Action::Fail, "--dir needs DIR"},
             {{"--dir="}, Action::Fail, "--dir needs a directory"},
             {{"--dir", "a", "--dir", "b"}, Action::Fail, "--dir given more than once"},
             {{"--help=yes"}, Action::Fail, "--help takes no value"},
             {{"--dir", "x", "ctl", "link", "--dir", "wam1"}, Action::Control, "x"}, // the rest is the verb's
             {{"ctl"}, Action::Fail, "ctl needs a verb"},
             {{"--check", "ctl", "status"}, Action::Fail, "unknown argument 'ctl'"},
         }) {
        CommandLine line = CommandLine::parse(c.arguments);
        std::string shown = c.arguments.empty() ? "(none)" : c.arguments.front();
        EXPECT_EQ(line.action(), c.action) << shown;
        EXPECT_EQ(c.action == Action::Fail ? line.error() : line.directory(), c.directoryOrError) << shown;
    }
    EXPECT_EQ(CommandLine::parse({"ctl", "kick", "N0ABC", "go"}).control(),
              (std::vector<std::string>{"kick", "N0ABC", "go"}));
}

TEST(CommandLine, UsageNamesEveryOption)
{
    for (const char* option : {"--dir DIR", "--check", "-h, --help", "-V, --version"})
        EXPECT_NE(CommandLine::usage().find(option), std::string::npos) << option;
}

} // namespace
