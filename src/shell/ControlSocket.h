// `palavoro ctl`: the sysop's requests to the running server over a Unix
// socket, ctl.sock in the station directory. Nothing of it listens on the
// network; the file's mode (0660) says who may ask.
//
// A request is the verb and its arguments, each followed by a NUL byte,
// ended by the client's end of sending. The answer is '0' (done) or '1'
// (refused) and text, ended by the server closing the connection.
#pragma once

#include "server/ControlReply.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

constexpr const char* CONTROL_SOCKET = "ctl.sock";

// The client's side: one request, its answer printed (standard output when
// done, standard error when refused). Returns 0 done, 1 refused, 2 no server.
// Run in the station directory. `passwd CALL` reads the password first.
int runControl(std::vector<std::string> arguments);

class ControlServer : public QObject {
    Q_OBJECT
public:
    // A request of the caller with that uid.
    using Handler = std::function<ControlReply(const std::vector<std::string>& arguments, uid_t uid)>;

    static constexpr size_t MAX_REQUEST = 64 * 1024;
    static constexpr int MAX_CLIENTS = 8;
    static constexpr int REQUEST_WAIT_MS = 5000;

    explicit ControlServer(Handler handler);
    ~ControlServer() override;

    // Listens on ctl.sock in the current directory (a stale one is replaced);
    // false with the reason in `error`.
    bool listen(std::string& error);

private:
    struct Client {
        int fd = -1;
        uid_t uid = 0;
        std::string request;
        std::unique_ptr<QSocketNotifier> reader;
        QTimer deadline;
    };

    void acceptOne();
    void readFrom(Client& client);
    void finish(Client& client);
    void drop(Client& client);

    Handler handler_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> acceptor_;
    std::list<Client> clients_;
};
