// The sysop's status page over HTTP: "/" is a page embedded in the program
// that fetches "/status.json" every two seconds. Read-only: GET only, and
// the JSON is built from the chat server when it is asked for, nowhere else.
//
// A web client can make the server hold only a little: a request's header
// and body are bounded, so are the connections at once (from one address and
// in all), their idle time and the time to deliver a whole request, and a
// connection gets its next answer only once it has taken the last.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>

class ChatServer;
class QSocketNotifier;
struct MHD_Daemon;

class StatusServer : public QObject {
    Q_OBJECT
public:
    // A request header (request line included) larger than this gets 431 or 414.
    static constexpr size_t maxHeaderBytes = 16 * 1024;
    // A larger body gets 413 (one of unknown length 411) before it is read;
    // a smaller one is read and dropped.
    static constexpr size_t maxBodyBytes = 8 * 1024;
    // Connections served at once (or half the descriptor limit); further ones are closed at once.
    static constexpr unsigned maxConnections = 64;
    // Connections served at once from one client address; further ones are closed at once.
    static constexpr unsigned maxPerAddress = 8;
    // A connection that sends nothing for this long is closed.
    static constexpr unsigned idleSeconds = 5;
    // A connection that has not delivered a whole request this long after it
    // was accepted, or after its last answer went out, is closed: a client
    // that sends a byte now and then holds no connection for longer.
    static constexpr std::chrono::seconds requestTime{5};
    // With no descriptor free, accepting waits this long before it tries again.
    static constexpr int acceptPauseMs = 250;

    explicit StatusServer(ChatServer& server);
    ~StatusServer() override;

    // Listens on `address` (a numeric IPv4 or IPv6 address) and `port`. On
    // failure `error` says why and nothing listens.
    bool listen(const std::string& address, uint16_t port, std::string& error);
    // The port it listens on (the one asked for, or the one the system chose for 0).
    uint16_t port() const { return port_; }

private:
    struct Answer;
    void acceptSome();
    // What a whole request gets, from its method and path.
    Answer answer(const char* method, const char* path) const;
    // The library's call for each part of a request: the header, pieces of body, the end.
    static int onRequest(void* self, void* connection, const char* path, const char* method, size_t& bodySize,
                         void*& state);
    // Lets the HTTP library do what is due, then arms the wake-up for what is due next.
    void serve();
    // The library's calls when a connection starts or ends, and when an answer has gone out.
    static void onConnection(void* self, void* connection, bool started);
    static void onAnswered(void* self, void* connection);
    // Ends the connections past their deadline and arms the wake-up for the next deadline.
    void closeLate();

    ChatServer& server_;
    struct Stop {
        void operator()(MHD_Daemon* daemon) const;
    };
    std::unique_ptr<MHD_Daemon, Stop> daemon_;
    int listening_ = -1;
    std::unique_ptr<QSocketNotifier> accepting_;
    QTimer resume_;
    std::unique_ptr<QSocketNotifier> ready_;
    QTimer due_;
    uint16_t port_ = 0;
    using Clock = std::chrono::steady_clock;
    struct Client {
        int socket;
        // When its request must be whole; none while the answer is on its way.
        Clock::time_point deadline;
    };
    std::map<const void*, Client> clients_;
    QTimer late_;
};
