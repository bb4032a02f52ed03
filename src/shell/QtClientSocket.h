// The AGWPE client socket on QTcpSocket: non-blocking, its notifications
// delivered by the event loop of the owner's thread.
#pragma once

#include "support/ClientSocket.h"

#include <QTcpSocket>

#include <memory>

class QtClientSocket : public ClientSocket {
public:
    QtClientSocket();
    ~QtClientSocket() override;
    QtClientSocket(const QtClientSocket&) = delete;
    QtClientSocket& operator=(const QtClientSocket&) = delete;

    void connectTo(const std::string& host, uint32_t port) override;
    bool isOpen() const override;
    // Bytes sent while the socket's own notification is handled, or in one
    // turn of the event loop, are gathered and handed to the system at once
    // when it is over; QTcpSocket keeps whatever the system does not take at
    // once and sends it later, in order, so no byte is lost.
    void sendBytes(std::string_view bytes) override;
    std::string readAll() override;
    void close() override;
    size_t bytesToWrite() const override;
    void flush(int milliseconds) override;
    std::string errorString() const override;

private:
    void raiseError(int code);
    // Runs the core's handler of a notification; what it sent goes out after it.
    void notify(const std::function<void()>& handler);
    // Hands the gathered bytes to the system, the rest to QTcpSocket. Raises
    // no notification, so it may run in the middle of a send.
    void writeGathered();

    struct LaterDeleter {
        void operator()(QTcpSocket* socket) const;
    };
    // Deleted through the event loop: this object may be destroyed inside one
    // of the socket's own signals.
    std::unique_ptr<QTcpSocket, LaterDeleter> socket_;
    std::string gathered_; // sent, not yet handed on
    int notifying_ = 0;    // handlers of the socket's notifications running
    bool writePosted_ = false;
    // Receives the posted write and the event loop's signal; going with this
    // object, it takes both along.
    QObject turn_;
};
