#include "ChatServer.h"

namespace {

const char* const NAME_REQUIRED = "\r--- This server requires to set your name, use the /NA name command\r";

} // namespace

void ChatServer::handleConnect(AgwLink& link, uint8_t port, const std::string& from, const std::string& to,
                               const std::string& text)
{
    try {
        const std::string portText = std::to_string(port);
        writeLog(2, "{PALAVORO} Event <OnConnect>");
        writeLog(4, "{PALAVORO} (His) Connect Port(" + portText + ") <" + from + "> Message(" + text + ")");
        // The text goes first, and the disconnect waits until it is on the air.
        auto refuse = [&](const char* file, const std::string& text) {
            sendFile(port, from, file, text);
            disconnectWhenSent(port, to, from);
        };
        if (!registered) {
            refuse("BUSY.INF", "\r--- Server Busy, Try Later\r");
            return;
        }
        if (port >= 1 && port <= MAX_ENABLE_PORTS && !portEnabled[port]) {
            refuse("BADPORT.INF", "\r--- Connections not Allowed on this Port\r");
            return;
        }
        Station* user = newStation(port, from);
        if (user == nullptr) {
            refuse("ERROR.INF", "\r--- Internal Error, Try Later\r");
            return;
        }
        user->port = port;
        user->callSign = from;
        user->serverCall = to;
        loadUserInfo(from, user->name, user->info);
        user->areaId = 0;
        user->state = forceName && user->name.empty() ? NONAME : ONLINE;
        if (timeout != 0) {
            // Started once here and never restarted: the limit counts from the
            // connection, not from the user's last line.
            user->timeLimit = timers_.createTimer();
            Timer* timer = user->timeLimit.get();
            timer->onTimer = [this, timer] { handleTimeLimit(timer); };
            timer->setInterval(static_cast<uint32_t>(timeout));
            timer->setEnabled(true);
        }
        sendFile(port, from, "PALAVORO.INF", "Welcome to the " + callSign + " Chat Server" + "\r");
        if (!user->name.empty())
            link.sendData(port, PID_NO_L3, link.callSign, from, "\rHello " + user->name + "!\r");
        sendPrompt(port, from, 0);
        Area* root = findArea(0);
        if (root == nullptr) {
            refuse("ERROR.INF", "\r--- Internal Error, Try Later\r");
            return;
        }
        ++root->userCount;
        broadCastToArea(port, from, 0, "<" + from + " joined Area>\r");
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnConnect");
    }
}

void ChatServer::handleData(AgwLink& /*link*/, uint8_t port, const std::string& callFrom, const std::string& /*callTo*/,
                            uint8_t pid, const std::string& data)
{
    try {
        const std::string portText = std::to_string(port);
        writeLog(3, "{PALAVORO} Event <OnData>");
        writeLog(4, "{PALAVORO} Port(" + portText + ") <" + callFrom + "> PID(" + std::to_string(pid) + ") Message(" +
                        data + ")");
        writeHex(5, data);
        if (data.empty())
            return;
        Station* user = findStation(port, callFrom);
        if (user == nullptr) {
            writeLog(1, "{PALAVORO} User(" + portText + ":" + callFrom + ") no control block found");
            return;
        }
        if (data[0] == '/') {
            writeLog(3, "{PALAVORO} Event <OnData>");
            executeCommand(port, callFrom, *user, data);
        } else {
            if (user->state != ONLINE)
                sendFile(port, callFrom, "NAME.INF", NAME_REQUIRED);
            sendData(port, callFrom, *user, data);
        }
        sendPrompt(port, callFrom, user->areaId);
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnData");
    }
}

void ChatServer::handleDisconnect(AgwLink& /*link*/, uint8_t port, const std::string& call, const std::string& text)
{
    try {
        const std::string portText = std::to_string(port);
        writeLog(2, "{PALAVORO} Event <OnDisconnect>");
        writeLog(3, "{PALAVORO} Disconnect Port(" + portText + ") <" + call + "> Message(" + text + ")");
        endDrain(port, call);
        Station* user = findStation(port, call);
        if (user == nullptr) {
            writeLog(1, "{PALAVORO} User(" + portText + ":" + call + ") no control block found");
            return;
        }
        // After /B the departure has been announced already.
        if (user->state != DISC)
            broadCastToArea(port, call, user->areaId, "<" + call + " left Area>\r");
        decAreaUsers(user->areaId);
        writeLog(3, "{PALAVORO} User Removed");
        removeStation(user);
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnDisconnect");
    }
}

void ChatServer::handleTimeLimit(Timer* timer)
{
    if (!link_) {
        writeLog(1, "{PALAVORO} L2 Object not ready");
        return;
    }
    Station* user = findStationByTimer(timer);
    if (user == nullptr) {
        writeLog(1, "{PALAVORO} Control block not found");
        return;
    }
    // The limit fires once per connection.
    user->timeLimit->setEnabled(false);
    user->timeLimit.reset();
    if (user->state == DISC) {
        writeLog(1, "{PALAVORO} User (" + user->callSign + ") in DISC, clean up control block");
        removeStation(user);
        return;
    }
    user->state = EXPIRED;
    writeLog(1, "{PALAVORO} User (" + user->callSign + ") in <> DISC, send disconnect");
    sendFile(user->port, user->callSign, "INACTIVE.INF", "\r--- Inactivity Timeout, Logging out\r");
    disconnectWhenSent(user->port, link_->callSign, user->callSign);
}

void ChatServer::handleLinkUp(AgwLink& link)
{
    writeLog(1, "{PALAVORO} Event <OnAGWUp> AGWPE(" + link.callSign + ")");
    link.setRegister(true);
}

void ChatServer::handleRegistration(AgwLink& /*link*/, const std::string& call, const std::string& data)
{
    // An answer without its result byte counts as a refusal.
    const std::string rc = std::to_string(data.empty() ? 0 : static_cast<uint8_t>(data[0]));
    writeLog(3, "{PALAVORO} Event <OnRegister> " + call + " (" + rc + ")");
    writeLog(3, "{PALAVORO} Registered <" + call + "> rc(" + rc + ")");
    if (rc != "1") {
        shell().fatalError("Unable to Register CALLSIGN with AGWPE");
        return;
    }
    registered = true;
}

void ChatServer::handleLinkDown(AgwLink& link)
{
    writeLog(1, "{PALAVORO} Event <OnAGWDown> AGWPE(" + link.callSign + ")");
    writeLog(3, "{PALAVORO} Main Node L2 Object Terminated");
}

void ChatServer::handleLinkError(AgwLink& link)
{
    writeLog(1, "{PALAVORO} Event <OnAGWError> AGWPE(" + link.callSign + ")");
    shell().fatalError("Link with AGWPE Broken");
}

void ChatServer::handleVersion(AgwLink& /*link*/, int32_t major, int32_t minor)
{
    writeLog(3, "{PALAVORO} Event <OnVersion>");
    writeLog(1, "{PALAVORO} AGW Packet Engine Version=" + std::to_string(major) + "." + std::to_string(minor));
}

void ChatServer::handlePortList(AgwLink& link)
{
    writeLog(2, "{PALAVORO} Event <OnPort> AGWPE(" + link.callSign + ")");
    if (beacon_)
        beacon_->setActive(true);
}

void ChatServer::handleBeacon(AgwLink& link, uint8_t port, const std::string& call, const std::string& id,
                              const std::string& via, const std::string& text)
{
    writeLog(2, "{PALAVORO} Event <OnBeacon>");
    if (beacon_)
        beacon_->post(&link, port, call, id, via, text);
}
