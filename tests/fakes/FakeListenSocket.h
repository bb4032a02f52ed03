// A listening socket for unit tests: records where it was asked to listen and
// lets the test hand over connections as if they had been accepted.
#pragma once

#include "fakes/FakeSocket.h"
#include "support/ListenSocket.h"

#include <memory>
#include <string>

class FakeListenSocket : public ListenSocket {
public:
    std::string address;
    uint32_t port = 0;
    bool listening = false;
    bool refuse = false; // listen() fails, as for a port in use

    bool listen(const std::string& address, uint32_t port, std::string& error) override
    {
        this->address = address;
        this->port = port;
        if (refuse) {
            error = "The bound address is already in use";
            return false;
        }
        listening = true;
        return true;
    }
    void close() override { listening = false; }

    // A connection from `peer` arrives; the socket stays the test's to drive.
    FakeSocket* arrive(const std::string& peer)
    {
        auto socket = std::make_unique<FakeSocket>();
        socket->open = true;
        FakeSocket* raw = socket.get();
        if (onAccept)
            onAccept(std::move(socket), peer);
        return raw;
    }
};
