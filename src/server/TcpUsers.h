// Chat users over TCP: the listener ([TCPUSERS] LISTEN), each connection's
// login against Palavoro.PWD, and, once in, the user as a station on
// TCP_USER_PORT whose text goes to its own connection instead of the engine.
// What one address can make the server hold is bounded: users, connections
// waiting for their login (in all and per address), the time to log in, tries
// per connection, and an address with too many failed logins is refused for
// a while. Refusals go to the connection log at a bounded rate.
#pragma once

#include "server/Connections.h"
#include "server/PasswordFile.h"
#include "server/Settings.h"
#include "server/ShellServices.h"
#include "server/StationOutput.h"
#include "server/TcpLogin.h"
#include "support/ClientSocket.h"
#include "support/ListenSocket.h"
#include "support/LogThrottle.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

class TcpUsers : public DirectOutput {
public:
    struct Parts {
        Connections& connections;
        StationOutput& output;
        PasswordFile& passwords;
        const ServerSettings& settings;
        TraceLog& log;
        TimerFactory& timers;
        ShellServices& shell;
        // Wall-clock ms.
        std::function<int64_t()> now;
    };

    static constexpr size_t MAX_USERS = 64;
    static constexpr size_t MAX_WAITING = 16;
    static constexpr size_t MAX_WAITING_PER_ADDRESS = 2;
    static constexpr uint32_t LOGIN_WAIT = 60000;
    // This many failed logins from one address within FAILURE_WINDOW ms refuse it for BARRED_FOR ms.
    static constexpr size_t FAILURES_TO_BAR = 5;
    static constexpr int64_t FAILURE_WINDOW = 60000;
    static constexpr int64_t BARRED_FOR = 600000;
    // The stop waits this long at the most (ms) for users to take what they were sent.
    static constexpr int64_t CLOSE_WAIT = 1000;
    static constexpr const char* FULL = "\r\n-- Too many users, try later\r\n";

    explicit TcpUsers(const Parts& parts);
    ~TcpUsers() override;
    TcpUsers(const TcpUsers&) = delete;
    TcpUsers& operator=(const TcpUsers&) = delete;

    void setListenFactory(ListenSocketFactory makeListener) { makeListener_ = std::move(makeListener); }
    // Listens where `listen` says, moving or closing the listener as it
    // changed; the connection log says where, or why it cannot.
    void configure(const StatusListen& listen);
    // "address:port", or empty when not listening.
    std::string listenText() const;
    // A connection accepted on the listener.
    void accept(std::unique_ptr<ClientSocket> socket, const std::string& peerAddress);
    // The stop: every connection closed, what it holds sent first for a moment.
    void closeAll();

    // A user's text, from the stations' output.
    void write(const std::string& call, const std::string& text) override;
    size_t unsent(const std::string& call) const override;
    // The user's connection closes once what waits for it is sent (after /B,
    // a limit, the sysop's kick, the stop); its departure follows.
    void disconnectWhenSent(const std::string& call);
    // Nothing more waits in the server for the user.
    void outputDrained(const std::string& call);

    size_t userCount() const { return users_.size(); }
    // The user has a connection (logged in, perhaps closing).
    bool isOn(const std::string& call) const { return users_.count(call) > 0; }
    size_t waitingCount() const;
    bool isBarred(const std::string& address);

private:
    struct Session {
        std::unique_ptr<ClientSocket> socket;
        std::string address; // numeric
        std::string shown;   // with the port, for the log
        TcpLogin login;
        std::string call;             // once logged in
        std::unique_ptr<Timer> timer; // the login's time, then the output's stall
        bool closing = false;         // closes once what waits is sent
        bool gone = false;
    };
    // Sessions that end inside an event are destroyed once the outermost returns.
    class Entry {
    public:
        explicit Entry(TcpUsers& users) : users_(users) { ++users_.depth_; }
        ~Entry()
        {
            if (--users_.depth_ == 0)
                users_.dead_.clear();
        }

    private:
        TcpUsers& users_;
    };

    void read(Session& session);
    bool login(Session& session, const std::string& call, const std::string& password);
    void failed(Session& session, const std::string& call, bool last);
    void written(Session& session);
    // The peer closed, or the connection failed.
    void lost(Session& session, const std::string& why);
    // Closes the connection; a user logged in leaves with `why` (empty: as the server asked).
    void end(Session& session, const std::string& why, bool depart);
    void tryClose(Session& session);
    void stall(Session& session);
    Session* userSession(const std::string& call) const;
    size_t waitingFrom(const std::string& address) const;
    void refuse(const std::string& cause, const std::string& line);
    void trace(uint8_t level, const std::string& text) { p_.log.writeLog(level, "{TCP} " + text); }

    Parts p_;
    ListenSocketFactory makeListener_;
    std::unique_ptr<ListenSocket> listener_;
    StatusListen listen_{false, "", 0};
    std::list<std::unique_ptr<Session>> sessions_;
    std::vector<std::unique_ptr<Session>> dead_;
    std::map<std::string, Session*> users_;               // by callsign
    std::map<std::string, std::deque<int64_t>> failures_; // by address: times of failed logins
    std::map<std::string, int64_t> barred_;               // by address: refused until
    int depth_ = 0;
    LogThrottle refusals_;
};
