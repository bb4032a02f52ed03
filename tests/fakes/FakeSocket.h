// A socket for unit tests: records every byte sent and lets the test deliver
// bytes and raise the notifications.
#pragma once

#include "support/ClientSocket.h"

#include <string>
#include <utility>

class FakeSocket : public ClientSocket {
public:
    std::string Host;
    uint32_t ConnectPort = 0;
    int ConnectCalls = 0;
    bool Open = false;
    std::string Sent;     // every byte handed to SendBytes, in order
    std::string Incoming; // bytes waiting to be read

    void ConnectTo(const std::string& host, uint32_t port) override
    {
        Host = host;
        ConnectPort = port;
        ++ConnectCalls;
    }
    bool IsOpen() const override { return Open; }
    void SendBytes(std::string_view bytes) override { Sent.append(bytes); }
    std::string ReadAll() override { return std::exchange(Incoming, {}); }
    void Close() override { Open = false; }

    // The connect completes.
    void Connect()
    {
        Open = true;
        if (OnConnected)
            OnConnected();
    }
    // Bytes arrive and the data notification is raised.
    void Deliver(std::string_view bytes)
    {
        Incoming.append(bytes);
        if (OnDataAvailable)
            OnDataAvailable();
    }
    // The peer closes the connection.
    void PeerClose()
    {
        Open = false;
        if (OnClosed)
            OnClosed();
    }
    // A socket error; returns the code as the handler left it.
    int Fail(int code = 111)
    {
        Open = false;
        if (OnError)
            OnError(code);
        return code;
    }
    std::string TakeSent() { return std::exchange(Sent, {}); }
};
