// A socket for unit tests: records every byte sent and lets the test deliver
// bytes and raise the notifications.
#pragma once

#include "support/ClientSocket.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

class FakeSocket : public ClientSocket {
public:
    std::string host;
    uint32_t connectPort = 0;
    int connectCalls = 0;
    bool open = false;
    std::string sent;     // every byte handed to sendBytes, in order
    std::string incoming; // bytes waiting to be read

    void connectTo(const std::string& host, uint32_t port) override
    {
        this->host = host;
        connectPort = port;
        ++connectCalls;
    }
    bool isOpen() const override { return open; }
    void sendBytes(std::string_view bytes) override
    {
        sent.append(bytes);
        sendEnds.push_back(sent.size());
        if (holdSent)
            unsent += bytes.size();
    }
    std::string readAll() override { return std::exchange(incoming, {}); }
    void close() override { open = false; }
    size_t bytesToWrite() const override { return unsent; }
    void flush(int) override { ++flushes; }
    std::string errorString() const override { return error; }
    void setReading(bool on) override
    {
        reading = on;
        if (on && !incoming.empty() && onDataAvailable)
            onDataAvailable();
    }

    size_t unsent = 0;     // what bytesToWrite reports
    bool holdSent = false; // what is sent stays unsent until the peer takes it
    int flushes = 0;
    // Where each call's bytes end in `sent`.
    std::vector<size_t> sendEnds;
    bool reading = true;
    std::string error = "Connection refused";

    // The connect completes.
    void connect()
    {
        open = true;
        if (onConnected)
            onConnected();
    }
    // Bytes arrive and, unless reading is stopped, the data notification is raised.
    void deliver(std::string_view bytes)
    {
        incoming.append(bytes);
        if (reading && onDataAvailable)
            onDataAvailable();
    }
    // The peer takes that many of the unsent bytes.
    void take(size_t bytes)
    {
        unsent -= std::min(bytes, unsent);
        if (onWritten)
            onWritten();
    }
    // The peer closes the connection.
    void peerClose()
    {
        open = false;
        if (onClosed)
            onClosed();
    }
    // A socket error; returns the code as the handler left it.
    int fail(int code = 111)
    {
        open = false;
        if (onError)
            onError(code);
        return code;
    }
    std::string takeSent()
    {
        sendEnds.clear();
        return std::exchange(sent, {});
    }
    // Forgets what was sent, keeping the buffer.
    void clearSent()
    {
        sent.clear();
        sendEnds.clear();
    }
    // What was sent, one entry per call of sendBytes.
    std::vector<std::string_view> sends() const
    {
        std::vector<std::string_view> each;
        size_t start = 0;
        for (size_t end : sendEnds) {
            each.push_back(std::string_view(sent).substr(start, end - start));
            start = end;
        }
        return each;
    }
};
