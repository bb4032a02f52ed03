// The TCP client socket as the core sees it: non-blocking, notifications
// delivered on the owner's thread. Implemented with Qt in the shell and by a
// recording fake in the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class ClientSocket {
public:
    virtual ~ClientSocket() = default;

    // Starts a non-blocking connect to a host name or numeric address.
    virtual void connectTo(const std::string& host, uint32_t port) = 0;
    // True while the TCP connection is established.
    virtual bool isOpen() const = 0;
    // Queues the bytes for sending; bytes the system does not take at once go
    // out later, in call order. Nothing is dropped while the connection lasts.
    virtual void sendBytes(std::string_view bytes) = 0;
    // Every byte that has arrived and not been read yet.
    virtual std::string readAll() = 0;
    virtual void close() = 0;
    // Bytes queued by sendBytes that the system has not taken yet.
    virtual size_t bytesToWrite() const = 0;
    // Sends what is queued, waiting at most the given time; for the last
    // frames before the program ends.
    virtual void flush(int milliseconds) = 0;
    // The last error as the system words it ("Connection refused").
    virtual std::string errorString() const = 0;
    // The peer's port, for the sysop's eyes; 0 when unknown.
    virtual uint16_t peerPort() const { return 0; }
    // Stops (false) or resumes reading: while stopped, what the peer sends
    // waits in the system, which pushes back on the peer, and no data
    // notification is raised. A new connection starts reading.
    virtual void setReading(bool on) = 0;

    std::function<void()> onConnected;
    std::function<void()> onClosed;
    // The handler may set the code to 0 to say it has dealt with the error.
    std::function<void(int& errorCode)> onError;
    std::function<void()> onDataAvailable;
    // The system took some of the queued bytes; raised from the event loop,
    // never inside sendBytes.
    std::function<void()> onWritten;
};

using SocketFactory = std::function<std::unique_ptr<ClientSocket>()>;
