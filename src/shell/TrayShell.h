// The application shell around the chat server: it runs start-up, and with a
// display it shows the tray icon with its menu (About, Shutdown), the about
// box and the operator's message boxes. Without one, messages go to standard
// error. It is also the server's ShellServices.
#pragma once

#include "AboutDialog.h"
#include "ConsoleLog.h"
#include "ControlSocket.h"
#include "GuardedEvents.h"
#include "QtResolver.h"
#include "QtTimerFactory.h"
#include "ServiceNotifier.h"
#include "StatusServer.h"
#include "server/ChatServer.h"
#include "server/ShellServices.h"

#include <QIcon>
#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QMenu;
class QSystemTrayIcon;

constexpr const char* APP_TITLE = "Palavoro 0.10";
constexpr const char* APP_TITLE_STARTING = "Palavoro Version 0.1";
constexpr const char* ABOUT_TITLE = "Chat Server for the AGWPE";
constexpr const char* ABOUT_PRODUCT = "Palavoro 0.10 Build(05)";
constexpr const char* ABOUT_COPYRIGHT = "(C) The Palavoro developers";
constexpr const char* ABOUT_PROGRAMMER = "A chat server for AX.25 packet radio";
constexpr const char* ICON_FILE = "PALAVORO.ICO";
constexpr const char* BUILTIN_ICON = ":/palavoro/palavoro.png";

class TrayShell : public QObject, public ShellServices {
    Q_OBJECT
public:
    // `gui`: a display with a system tray is there. `baseDirectory` ends in "/".
    TrayShell(bool gui, std::string baseDirectory);
    ~TrayShell() override;

    // Start-up of the server, then (with a display) the menu, the tray icon
    // and the about dialog. False when start-up failed (already reported).
    bool start();

    void fatalError(const std::string& text) override;
    // Standard error, and with a tray its tooltip and a notification.
    void linkNotice(LinkNotice notice, const std::string& engine, const std::string& message) override;
    // Every station gets its notice and disconnect, then the program ends with
    // status 0; a second call (a second signal) ends it at once.
    void stopPolitely();
    // Standard error, a line at a time, flushed: the journal's record of the station.
    void logConnection(const std::string& line) override;
    // A failure the program survives: standard error and the trace.
    void reportError(const std::string& what);
    // SIGHUP: Palavoro.INI read again, once for however many came together;
    // a server run in a terminal that hangs up stops politely instead.
    void hangUp();

    void buildMenu();
    void buildTrayIcon();
    void buildAboutDlg();

    void aboutClick();
    void shutDownClick();
    // Removes the tray icon and ends the process with `status`.
    void exitClick(int status = 0);

    // What ends the process; tests replace it so that they survive.
    std::function<void(int status)> exitAction;

    // The built-in icon, or PALAVORO.ICO of `directory` when it loads.
    static QIcon loadIcon(const std::string& directory);

    bool gui() const { return gui_; }
    StatusServer* statusServer() { return statusServer_.get(); }
    ChatServer* form() { return server_.get(); }
    QMenu* popUpMenu1() { return popUpMenu1_.get(); }
    QSystemTrayIcon* trayIcon() { return trayIcon_.get(); }
    AboutDialog aboutDlg;

private:
    ErrorReporter reporter();
    // The status page where STATUS asks for it; a failure is one line on
    // standard error and the chat goes on without it.
    void startStatusPage();

    // The control socket (`palavoro ctl`) in the station directory.
    void startControl();

    bool gui_;
    bool stopping_ = false;
    bool reloadQueued_ = false;
    std::string baseDirectory_;
    ConsoleLog console_;
    QtTimerFactory qtTimers_;
    GuardedTimerFactory timers_;
    QtResolver resolver_;
    std::unique_ptr<QMenu> popUpMenu1_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    std::unique_ptr<ChatServer> server_;
    std::unique_ptr<StatusServer> statusServer_;
    std::unique_ptr<ServiceNotifier> notifier_;
    std::unique_ptr<ControlServer> control_;
};
