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
    // Bytes sent in one turn of the event loop are gathered and handed to the
    // system once, when the turn is over; QTcpSocket keeps whatever the
    // system does not take at once and sends it later, in order, so no byte
    // is lost.
    void sendBytes(std::string_view bytes) override;
    std::string readAll() override;
    void close() override;
    size_t bytesToWrite() const override;
    void flush(int milliseconds) override;
    std::string errorString() const override;

private:
    void raiseError(int code);
    // Hands the gathered bytes to the system, the rest to QTcpSocket.
    void writeGathered();

    struct LaterDeleter {
        void operator()(QTcpSocket* socket) const;
    };
    // Deleted through the event loop: this object may be destroyed inside one
    // of the socket's own signals.
    std::unique_ptr<QTcpSocket, LaterDeleter> socket_;
    std::string gathered_; // sent in this turn, not yet handed on
    bool writePosted_ = false;
    // Receives the posted write; going with this object, it takes a write
    // still posted along.
    QObject turn_;
};
