// The AGWPE client socket: a non-blocking system socket watched by the event
// loop of the owner's thread, its notifications delivered there.
#pragma once

#include "support/ClientSocket.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <string>

class QHostInfo;

class QtClientSocket : public ClientSocket {
public:
    QtClientSocket();
    // Takes over a connection already established (one a listener accepted),
    // open at once; the descriptor is closed with this object.
    explicit QtClientSocket(int connectedDescriptor);
    ~QtClientSocket() override;
    QtClientSocket(const QtClientSocket&) = delete;
    QtClientSocket& operator=(const QtClientSocket&) = delete;

    // Looks the name up without blocking, then tries each of its addresses
    // in turn, each for at most 30 s.
    void connectTo(const std::string& host, uint32_t port) override;
    bool isOpen() const override;
    // Bytes sent while the socket's own notification is handled, or in one
    // turn of the event loop, are gathered and handed to the system at once
    // when it is over; whatever the system does not take at once is kept and
    // sent as it becomes writable, in order, so no byte is lost while the
    // connection lasts.
    void sendBytes(std::string_view bytes) override;
    std::string readAll() override;
    // Hands what is sent to the system and closes at once; bytes the system
    // cannot take without waiting are dropped (flush first to wait for them).
    // Raises no notification.
    void close() override;
    size_t bytesToWrite() const override;
    void flush(int milliseconds) override;
    std::string errorString() const override;
    void setReading(bool on) override;
    uint16_t peerPort() const override;

private:
    enum class State { Closed, LookingUp, Connecting, Open };

    void looked(const QHostInfo& info);
    void tryNextAddress();
    void connectFinished();
    void watch();
    void readable();
    void writable();
    // Ends the connection; the error's text is kept for errorString().
    void fail(int code, const std::string& text);
    void closeDescriptor();
    void raiseError(int code);
    // Runs the core's handler of a notification; what it sent goes out after it.
    // False when the handler destroyed this object.
    bool notify(const std::function<void()>& handler);
    // Hands the gathered bytes to the system, keeps the rest. Raises no
    // notification, so it may run in the middle of a send.
    void writeGathered();
    // Sends from the kept bytes what the system takes; false on a failed
    // connection, whose error is then recorded.
    bool sendKept();
    void watchWrites(bool on);
    // Raises onWritten when the system took bytes since the last time.
    void reportWritten();

    struct LaterDeleter {
        void operator()(QSocketNotifier* notifier) const;
    };
    using Notifier = std::unique_ptr<QSocketNotifier, LaterDeleter>;

    State state_ = State::Closed;
    int fd_ = -1;
    // Deleted through the event loop: this object may be destroyed inside one
    // of their own signals.
    Notifier reader_;
    Notifier writer_;
    QList<QHostAddress> addresses_;
    quint16 port_ = 0;
    int lookup_ = -1;
    QTimer connectTimer_;
    std::string inbox_;    // arrived, not read yet
    std::string gathered_; // sent, not yet handed on
    std::string kept_;     // handed on, not taken by the system yet, from keptAt_
    size_t keptAt_ = 0;
    std::string error_;
    int notifying_ = 0; // handlers of the socket's notifications running
    bool writePosted_ = false;
    bool reading_ = true;
    bool took_ = false; // the system took queued bytes, not reported yet
    int sendError_ = 0; // the error a send met, for the notification that follows
    // Receives the posted write, the lookup's answer and the event loop's
    // signal; going with this object, it takes them along.
    QObject turn_;
};
