// The sysop's status page over HTTP: "/" is a page embedded in the program
// that fetches "/status.json" every two seconds. Read-only: GET only, and
// the JSON is built from the chat server when it is asked for, nowhere else.
#pragma once

#include <QObject>

#include <memory>
#include <string>

class ChatServer;
class QHttpServer;

class StatusServer : public QObject {
    Q_OBJECT
public:
    explicit StatusServer(ChatServer& server);
    ~StatusServer() override;

    // Listens on `address` (a numeric IPv4 or IPv6 address) and `port`. On
    // failure `error` says why and nothing listens.
    bool listen(const std::string& address, uint16_t port, std::string& error);
    // The port it listens on (the one asked for, or the one the system chose for 0).
    uint16_t port() const { return port_; }

private:
    ChatServer& server_;
    std::unique_ptr<QHttpServer> http_;
    uint16_t port_ = 0;
};
