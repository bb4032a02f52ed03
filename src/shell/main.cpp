// Program entry. It works in the current working directory, or in the one
// --dir names (see CommandLine.h). With a display and a system tray it runs as
// a tray icon; without one it runs headless and reports on standard error.
#include "CommandLine.h"
#include "ControlSocket.h"
#include "DescriptorLimit.h"
#include "InstanceGuard.h"
#include "SignalWatch.h"
#include "TrayShell.h"
#include "server/SettingsCheck.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

bool set(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// A display is worth trying only when one is named and Qt is not told to
// draw nowhere.
bool displayNamed()
{
    std::string platform = set("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    if (platform.starts_with("offscreen") || platform.starts_with("minimal"))
        return false;
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

std::string workingDirectory()
{
    std::string directory = std::filesystem::current_path().string();
    if (directory.empty() || directory.back() != '/')
        directory += '/';
    return directory;
}

// Reports every problem of the station directory (its Palavoro.INI, whether
// it can be written) on standard error, in the words start-up would use;
// reads nothing else and writes no file.
int checkIni()
{
    const SettingsProblems problems = checkStation(workingDirectory());
    for (const SettingsProblem& problem : problems)
        std::cerr << problem.text << "\n";
    if (!problems.empty()) {
        std::cerr << "Palavoro.INI: " << problems.size() << (problems.size() == 1 ? " problem" : " problems")
                  << std::endl;
        return 1;
    }
    std::cout << "Palavoro.INI: OK" << std::endl;
    return 0;
}

} // namespace

int main(int argumentCount, char** argv)
{
    // A closed standard error (or any closed pipe) makes a write fail, which
    // is reported where it matters; it must not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    // Descriptors are cheap, and running out of them would stop the chat.
    raiseDescriptorLimit();

    // Before anything reads or writes the station directory.
    CommandLine command = CommandLine::parse(argumentCount, argv);
    switch (command.action()) {
    case CommandLine::Action::Help:
        std::cout << CommandLine::usage();
        return 0;
    case CommandLine::Action::Version:
        std::cout << CommandLine::version() << std::endl;
        return 0;
    case CommandLine::Action::Fail:
        std::cerr << "palavoro: " << command.error() << "\n\n" << CommandLine::usage();
        return CommandLine::usageStatus;
    case CommandLine::Action::Run:
    case CommandLine::Action::Check:
    case CommandLine::Action::Control:
        break;
    }
    if (!command.directory().empty() && ::chdir(command.directory().c_str()) != 0) {
        std::cerr << "palavoro: --dir " << command.directory() << ": " << std::strerror(errno) << std::endl;
        return CommandLine::usageStatus;
    }
    if (command.action() == CommandLine::Action::Control)
        return runControl(command.control());
    if (command.action() == CommandLine::Action::Check) {
        try {
            return checkIni();
        } catch (const std::exception& error) {
            std::cerr << "Palavoro.INI: " << error.what() << std::endl;
            return 1;
        }
    }

    // Qt would read options of its own from the command line; the program's own are handled above.
    static int argc = 1;
    static char* args[] = {argv[0], nullptr};

    bool display = displayNamed();
    // A display that cannot be opened falls back to running headless instead of aborting.
    if (display && !set("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", set("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen" : "xcb;offscreen");
    std::unique_ptr<QCoreApplication> app;
    if (display)
        app = std::make_unique<QApplication>(argc, args);
    else
        app = std::make_unique<QCoreApplication>(argc, args);
    QCoreApplication::setApplicationName(APP_TITLE_STARTING);

    bool gui = display && QGuiApplication::platformName() != "offscreen" && QSystemTrayIcon::isSystemTrayAvailable();
    if (display && !gui)
        std::cerr << "Palavoro: no system tray on this display; running without the tray icon" << std::endl;
    if (gui)
        QApplication::setQuitOnLastWindowClosed(false);

    std::string baseDirectory;
    try {
        baseDirectory = workingDirectory();
    } catch (const std::exception& error) {
        std::cerr << FATAL_CAPTION << ": " << error.what() << std::endl;
        return 1;
    }
    TrayShell shell(gui, baseDirectory);

    InstanceGuard guard(InstanceGuard::defaultName());
    try {
        if (!guard.acquire()) {
            std::string where = guard.holder().empty() ? "" : " (" + guard.holder() + ")";
            shell.fatalError("Instance of Program Already Running" + where);
            return 1;
        }
    } catch (const std::exception& error) {
        shell.fatalError(error.what());
        return 1;
    }

    QSocketNotifier callers(guard.descriptor(), QSocketNotifier::Read);
    QObject::connect(&callers, &QSocketNotifier::activated, [&guard] { guard.turnAway(); });

    SignalWatch signalWatch({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalWatch, &SignalWatch::raised, &shell, [&shell](int number) {
        if (number == SIGHUP)
            shell.hangUp();
        else
            shell.stopPolitely();
    });

    if (!shell.start())
        return 1;
    return app->exec();
}
