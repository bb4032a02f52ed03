// The host-link listener: the system's own non-blocking listening socket,
// watched by Qt's socket notifier; each accepted connection is handed out as
// an open QtClientSocket.
#pragma once

#include "support/ListenSocket.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <string>

class QtListenSocket : public ListenSocket {
public:
    QtListenSocket();
    ~QtListenSocket() override;
    QtListenSocket(const QtListenSocket&) = delete;
    QtListenSocket& operator=(const QtListenSocket&) = delete;

    bool listen(const std::string& address, uint32_t port, std::string& error) override;
    void close() override;
    // The port listened on (the system's choice when 0 was asked for); 0 when closed.
    uint16_t port() const { return port_; }

private:
    void acceptAll();
    // At the descriptor limit: one waiting connection is taken with the
    // descriptor kept in reserve and closed at once, so that the backlog
    // drains instead of waking the loop again and again. False when none was
    // waiting, or when it could not (the listener then rests a while).
    bool refuseOne();
    void pause();

    struct LaterDeleter {
        void operator()(QSocketNotifier* notifier) const;
    };

    int fd_ = -1;
    uint16_t port_ = 0;
    int spare_ = -1;
    std::unique_ptr<QSocketNotifier, LaterDeleter> notifier_;
    QTimer resume_;
    // Receives the timer's signal; going with this object, it takes it along.
    QObject turn_;
};
