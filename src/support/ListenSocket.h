// A TCP listening socket as the core sees it: connections arrive as client
// sockets that are already open, notifications delivered on the owner's
// thread. Implemented with Qt in the shell and by a fake in the tests.
#pragma once

#include "support/ClientSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class ListenSocket {
public:
    virtual ~ListenSocket() = default;

    // Starts listening on a numeric address and port; false with the
    // system's words in `error` when it cannot.
    virtual bool listen(const std::string& address, uint32_t port, std::string& error) = 0;
    virtual void close() = 0;

    // A new connection, open and ready for reading and writing, with the
    // peer's numeric address. The handler owns the socket from then on; a
    // connection the handler does not keep is closed as the pointer goes.
    std::function<void(std::unique_ptr<ClientSocket> socket, const std::string& peerAddress)> onAccept;
};

using ListenSocketFactory = std::function<std::unique_ptr<ListenSocket>()>;
