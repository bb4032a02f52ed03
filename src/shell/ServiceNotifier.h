// Telling systemd about the service (Type=notify): ready once the engine has
// taken the callsign, or once the first try found no engine (so that the
// start does not time out while the server waits); a one-line status; and
// keep-alives from the event loop while WatchdogSec= asks for them, so that
// a server whose loop hangs is restarted. Without NOTIFY_SOCKET it does nothing.
#pragma once

#include <QObject>
#include <QTimer>

#include <string>

class ChatServer;

class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotifier(ChatServer& server);

    // The line systemctl status shows: stations on and the link's state.
    static std::string statusText(ChatServer& server);
    // A reload begins (true) or is over (false).
    void reloading(bool begins);

private:
    void tick();

    ChatServer& server_;
    QTimer timer_;
    bool ready_ = false;
    bool watchdog_ = false;
    std::string status_;
};
