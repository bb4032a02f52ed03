// The sysop's verbs for the running server (`palavoro ctl`): a short status,
// the links, a link taken down or up, a station sent away, a notice to every
// station, the passwords of users over TCP. The reload is ChatServer's own.
#pragma once

#include "convers/Network.h"
#include "server/Connections.h"
#include "server/ControlReply.h"
#include "server/Delivery.h"
#include "server/Directory.h"
#include "server/PasswordFile.h"

#include <functional>
#include <string>
#include <vector>

class SysopControl {
public:
    struct Parts {
        Connections& connections;
        Directory& directory;
        Delivery& delivery;
        Network& network;
        PasswordFile& passwords;
        // The server's state in one line (the engine, the stations).
        std::function<std::string()> stateLine;
    };

    explicit SysopControl(const Parts& parts) : p_(parts) {}

    // `arguments` starts with the verb.
    ControlReply handle(const std::vector<std::string>& arguments);

private:
    ControlReply status();
    ControlReply links();
    ControlReply link(const std::vector<std::string>& arguments);
    ControlReply kick(const std::vector<std::string>& arguments);
    ControlReply notice(const std::vector<std::string>& arguments);
    // passwd CALL PASSWORD, passwd -d CALL, passwd -l: who may log in over TCP.
    ControlReply passwd(const std::vector<std::string>& arguments);

    Parts p_;
};
