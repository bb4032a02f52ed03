// The application shell: tray icon and menu, dialogs, or standard error when headless.
#include "TrayShell.h"

#include "QtClientSocket.h"
#include "QtListenSocket.h"
#include "support/Address.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <utility>
#include <iostream>

// The resource lives in a static library: nothing would pull it in otherwise.
// Outside any namespace, as the macro requires.
static void initResources()
{
    Q_INIT_RESOURCE(palavoro);
}

namespace {

void endProcess(int status)
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr)
        QGuiApplication::sync();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // Nothing is torn down: every file is closed after each write already,
    // and the link and the stations need no goodbye.
    ::_exit(status);
}

} // namespace

TrayShell::TrayShell(bool gui, std::string baseDirectory)
    : exitAction(endProcess), gui_(gui), baseDirectory_(std::move(baseDirectory)),
      console_(ConsoleLog::stderrIsJournal()), timers_(qtTimers_, reporter())
{
    initResources();
}

TrayShell::~TrayShell() = default;

ErrorReporter TrayShell::reporter()
{
    return [this](const std::string& what) { reportError(what); };
}

bool TrayShell::start()
{
    ErrorReporter report = reporter();
    auto makeSocket = [report] { return std::make_unique<GuardedSocket>(std::make_unique<QtClientSocket>(), report); };
    server_ = std::make_unique<ChatServer>(*this, timers_, makeSocket, baseDirectory_);
    server_->setListenFactory(
        [report] { return std::make_unique<GuardedListenSocket>(std::make_unique<QtListenSocket>(), report); });
    server_->setHostLookup(lookUpHost);
    server_->network().setResolver(&resolver_);
    server_->onReload = [this](const ChatServer::ReloadResult* result) {
        if (notifier_)
            notifier_->reloading(result == nullptr);
        if (result == nullptr)
            return;
        // A refused reload leaves the server as it was: a warning, not an error.
        for (const std::string& line : result->lines)
            console_.write(result->applied ? LogPriority::Info : LogPriority::Warning, "Palavoro: reload: " + line);
        if (result->statusMoved) {
            statusServer_.reset();
            startStatusPage();
        }
    };
    bool started = false;
    try {
        server_->start();
        started = true;
    } catch (const StartupError& error) {
        // Every problem in the check's words, the one that stops it last.
        for (const SettingsProblem& problem : server_->startupProblems())
            if (problem.text != error.what())
                console_.write(problem.stops ? LogPriority::Error : LogPriority::Warning, problem.text);
        fatalError(error.what());
    } catch (const std::exception& error) {
        fatalError(error.what());
    }
    if (!started)
        return false;
    for (const SettingsProblem& problem : server_->startupProblems())
        console_.write(LogPriority::Warning, problem.text);
    startStatusPage();
    startControl();
    notifier_ = std::make_unique<ServiceNotifier>(*server_);
    QCoreApplication::setApplicationName(APP_TITLE);
    if (gui_) {
        buildMenu();
        buildTrayIcon();
        buildAboutDlg();
        QApplication::setWindowIcon(aboutDlg.icon);
    }
    return true;
}

void TrayShell::startStatusPage()
{
    const StatusListen& status = server_->settings().status;
    if (!status.on)
        return;
    const std::string where = hostPort(status.address, status.port);
    auto page = std::make_unique<StatusServer>(*server_);
    std::string error;
    if (!page->listen(status.address, status.port, error)) {
        console_.write(LogPriority::Warning, "Palavoro: no status page: cannot listen on " + where + ": " + error);
        return;
    }
    statusServer_ = std::move(page);
    console_.write(LogPriority::Info, "Palavoro: status page on http://" + where + "/");
}

void TrayShell::startControl()
{
    auto control = std::make_unique<ControlServer>(
        [this](const std::vector<std::string>& arguments, uid_t uid) { return server_->control(arguments, uid); });
    std::string error;
    if (!control->listen(error)) {
        console_.write(LogPriority::Warning, "Palavoro: no control socket: cannot listen on " + baseDirectory_ +
                                                 CONTROL_SOCKET + ": " + error);
        return;
    }
    control_ = std::move(control);
}

void TrayShell::hangUp()
{
    // The terminal the server runs in has gone: there is nobody to run it for.
    if (::isatty(STDIN_FILENO) == 1) {
        stopPolitely();
        return;
    }
    if (std::exchange(reloadQueued_, true) || !server_)
        return;
    QTimer::singleShot(0, this, [this] {
        reloadQueued_ = false;
        if (stopping_)
            return;
        logConnection("reload: SIGHUP");
        server_->reload();
    });
}

void TrayShell::fatalError(const std::string& text)
{
    console_.write(LogPriority::Error, std::string(FATAL_CAPTION) + ": " + text);
    if (gui_) {
        QMessageBox box(QMessageBox::Critical, FATAL_CAPTION, QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    }
    exitClick(1);
}

void TrayShell::linkNotice(LinkNotice notice, const std::string& engine, const std::string& message)
{
    console_.write(notice == LinkNotice::Back ? LogPriority::Info : LogPriority::Warning, "Palavoro: " + message);
    if (!trayIcon_)
        return;
    const bool up = notice == LinkNotice::Back;
    trayIcon_->setToolTip(up ? APP_TITLE
                             : QString(APP_TITLE) + " - waiting for the engine at " + QString::fromStdString(engine));
    if (notice != LinkNotice::StillDown)
        trayIcon_->showMessage(APP_TITLE, QString::fromStdString(message),
                               up ? QSystemTrayIcon::Information : QSystemTrayIcon::Warning);
}

void TrayShell::stopPolitely()
{
    if (stopping_ || !server_) {
        exitClick(0);
        return;
    }
    stopping_ = true;
    server_->stop([this] { exitClick(0); });
}

void TrayShell::logConnection(const std::string& line)
{
    console_.write(ConsoleLog::priorityOf(line), line);
}

void TrayShell::reportError(const std::string& what)
{
    console_.write(LogPriority::Error, "Palavoro: " + what);
    if (server_)
        server_->traceLog().writeLog(1, "{PALAVORO} Exception in event handler: " + what);
}

void TrayShell::buildMenu()
{
    popUpMenu1_ = std::make_unique<QMenu>();
    QAction* about = popUpMenu1_->addAction("About");
    QAction* shutdown = popUpMenu1_->addAction("Shutdown");
    connect(about, &QAction::triggered, this, [this] { runGuarded(reporter(), [this] { aboutClick(); }); });
    connect(shutdown, &QAction::triggered, this, [this] { runGuarded(reporter(), [this] { shutDownClick(); }); });
}

void TrayShell::buildTrayIcon()
{
    // The tray shows the built-in icon; PALAVORO.ICO only dresses the about box
    // and the windows.
    trayIcon_ = std::make_unique<QSystemTrayIcon>(QIcon(BUILTIN_ICON));
    trayIcon_->setToolTip(APP_TITLE);
    trayIcon_->setContextMenu(popUpMenu1_.get());
    trayIcon_->show();
}

void TrayShell::buildAboutDlg()
{
    aboutDlg.title = ABOUT_TITLE;
    aboutDlg.productName = ABOUT_PRODUCT;
    aboutDlg.copyRight = ABOUT_COPYRIGHT;
    aboutDlg.programmer = ABOUT_PROGRAMMER;
    aboutDlg.webSite = "";
    aboutDlg.icon = loadIcon(baseDirectory_);
    aboutDlg.timed = false;
}

void TrayShell::aboutClick()
{
    aboutDlg.execute();
}

void TrayShell::shutDownClick()
{
    QMessageBox box(QMessageBox::Warning, "Warning!", "Are you sure you want to exit?",
                    QMessageBox::Ok | QMessageBox::Cancel);
    if (box.exec() == QMessageBox::Ok)
        stopPolitely();
}

void TrayShell::exitClick(int status)
{
    // Names set in the last second are written, however the program ends.
    if (server_)
        server_->userFile().flush();
    // Its socket file goes with it: a ctl afterwards finds no server.
    control_.reset();
    if (trayIcon_)
        trayIcon_->hide();
    if (exitAction)
        exitAction(status);
}

QIcon TrayShell::loadIcon(const std::string& directory)
{
    QPixmap picture;
    if (picture.load(QString::fromStdString(directory + ICON_FILE)))
        return QIcon(picture);
    return QIcon(BUILTIN_ICON);
}
