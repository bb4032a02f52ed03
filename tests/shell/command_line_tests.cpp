// The command line: what each argument list makes the program do.
#include "shell/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Action = CommandLine::Action;

CommandLine Parse(std::vector<std::string> arguments)
{
    return CommandLine::parse(arguments);
}

TEST(CommandLine, NoArgumentsRunsInTheCurrentDirectory)
{
    CommandLine line = Parse({});
    EXPECT_EQ(line.action(), Action::Run);
    EXPECT_EQ(line.directory(), "");
}

TEST(CommandLine, HelpAndVersionInEitherForm)
{
    for (auto [argument, action] : {std::pair{"--help", Action::Help}, {"-h", Action::Help},
                                    {"--version", Action::Version}, {"-V", Action::Version}}) {
        SCOPED_TRACE(argument);
        EXPECT_EQ(Parse({argument}).action(), action);
        // Also after a directory: nothing is started either way.
        EXPECT_EQ(Parse({"--dir", "/srv/station", argument}).action(), action);
    }
}

TEST(CommandLine, DirectoryAsNextArgumentOrAfterAnEqualsSign)
{
    EXPECT_EQ(Parse({"--dir", "/var/lib/palavoro"}).directory(), "/var/lib/palavoro");
    EXPECT_EQ(Parse({"--dir=station two"}).directory(), "station two");
    // A directory may look like an option.
    EXPECT_EQ(Parse({"--dir", "-h"}).directory(), "-h");
    EXPECT_EQ(Parse({"--dir", "-h"}).action(), Action::Run);
}

TEST(CommandLine, ArgumentsThatCannotBeUsedFailWithAReason)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {{"--bogus"}, "unknown argument '--bogus'"},
             {{"station"}, "unknown argument 'station'"},
             {{"-help"}, "unknown argument '-help'"},
             {{""}, "unknown argument ''"},
             {{"--dir"}, "--dir needs DIR"},
             {{"--dir="}, "--dir needs a directory"},
             {{"--dir", "a", "--dir", "b"}, "--dir given more than once"},
             {{"--help=yes"}, "--help takes no value"},
             // The first argument that ends the program decides.
             {{"--bogus", "--help"}, "unknown argument '--bogus'"},
         }) {
        CommandLine line = Parse(c.arguments);
        EXPECT_EQ(line.action(), Action::Fail) << c.error;
        EXPECT_EQ(line.error(), c.error);
    }
    EXPECT_EQ(Parse({"--help", "--bogus"}).action(), Action::Help);
}

TEST(CommandLine, UsageNamesEveryOption)
{
    std::string usage = CommandLine::usage();
    for (const char* option : {"--dir DIR", "-h, --help", "-V, --version"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    EXPECT_TRUE(CommandLine::version().starts_with("Palavoro "));
}

} // namespace
