// Admission, lines and departures of stations, and the link's own events.
// Trace texts such as "{PALAVORO} Event <OnConnect>" are fixed texts that
// operators' log tools read: they keep their old names byte for byte.
#include "server/Connections.h"

#include <utility>
#include <vector>

namespace {

const char* const NAME_REQUIRED = "\r--- This server requires to set your name, use the /NA name command\r";

} // namespace

void Connections::handleConnect(AgwLink& link, uint8_t port, const std::string& from, const std::string& to,
                                const std::string& text)
{
    try {
        const std::string portText = std::to_string(port);
        writeLog(2, "{PALAVORO} Event <OnConnect>");
        writeLog(4, "{PALAVORO} (His) Connect Port(" + portText + ") <" + from + "> Message(" + text + ")");
        // The text goes first, and the disconnect waits until it is on the air.
        auto refuse = [&](const char* file, const std::string& text) {
            p_.delivery.sendFile(port, from, file, text);
            p_.drain.disconnectWhenSent(port, to, from);
        };
        if (!p_.keeper.isRegistered()) {
            refuse("BUSY.INF", "\r--- Server Busy, Try Later\r");
            return;
        }
        if (port >= 1 && port <= MAX_ENABLE_PORTS && !p_.settings.portEnabled[port]) {
            refuse("BADPORT.INF", "\r--- Connections not Allowed on this Port\r");
            return;
        }
        Station* user = p_.directory.newStation(port, from);
        if (user == nullptr) {
            refuse("ERROR.INF", "\r--- Internal Error, Try Later\r");
            return;
        }
        user->port = port;
        user->callSign = from;
        user->serverCall = to;
        p_.userFile.load(from, user->name, user->info);
        user->state = p_.settings.forceName && user->name.empty() ? NONAME : ONLINE;
        if (p_.settings.timeout != 0) {
            // Started once here and never restarted: the limit counts from the
            // connection, not from the user's last line.
            user->timeLimit = p_.timers.createTimer();
            Timer* timer = user->timeLimit.get();
            timer->onTimer = [this, timer] { handleTimeLimit(timer); };
            timer->setInterval(static_cast<uint32_t>(p_.settings.timeout));
            timer->setEnabled(true);
        }
        p_.delivery.sendFile(port, from, "PALAVORO.INF",
                             "Welcome to the " + p_.settings.callSign + " Chat Server" + "\r");
        if (!user->name.empty())
            link.sendData(port, PID_NO_L3, link.callSign(), from, "\rHello " + user->name + "!\r");
        p_.delivery.sendPrompt(port, from, 0);
        if (p_.directory.findArea(0) == nullptr) {
            refuse("ERROR.INF", "\r--- Internal Error, Try Later\r");
            return;
        }
        p_.delivery.broadCastToArea(port, from, 0, "<" + from + " joined Area>\r");
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnConnect");
    }
}

void Connections::handleData(AgwLink& /*link*/, uint8_t port, const std::string& callFrom,
                             const std::string& /*callTo*/, uint8_t pid, const std::string& data)
{
    std::vector<std::string> lines;
    try {
        const std::string portText = std::to_string(port);
        writeLog(3, "{PALAVORO} Event <OnData>");
        writeLog(4, "{PALAVORO} Port(" + portText + ") <" + callFrom + "> PID(" + std::to_string(pid) + ") Message(" +
                        data + ")");
        p_.log.writeHex(5, data);
        if (data.empty())
            return;
        Station* user = p_.directory.findStation(port, callFrom);
        if (user == nullptr) {
            writeLog(1, "{PALAVORO} User(" + portText + ":" + callFrom + ") no control block found");
            return;
        }
        lines = takeLines(*user, data);
        if (user->heldLine.empty()) {
            user->lineTimer.reset();
        } else {
            if (!user->lineTimer) {
                user->lineTimer = p_.timers.createTimer();
                user->lineTimer->onTimer = [this, port, call = callFrom] { handleHeldLine(port, call); };
                user->lineTimer->setInterval(HELD_LINE_WAIT);
            }
            user->lineTimer->setEnabled(false); // the wait starts again with each text
            user->lineTimer->setEnabled(true);
        }
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnData");
    }
    for (const std::string& line : lines)
        handleLine(port, callFrom, line);
}

std::vector<std::string> Connections::takeLines(Station& station, std::string_view data)
{
    std::vector<std::string> lines;
    std::string& held = station.heldLine;
    // CR LF is one line end, also when a frame ends between the two.
    if (station.endedInCr && data.front() == '\n')
        data.remove_prefix(1);
    station.endedInCr = false;
    for (size_t at = 0; at < data.size(); ++at) {
        const char c = data[at];
        held += c;
        if (c == '\r' && at + 1 < data.size() && data[at + 1] == '\n')
            held += data[++at];
        else if (c == '\r' && at + 1 == data.size())
            station.endedInCr = true;
        if (c == '\r' || c == '\n' || held.size() >= MAX_HELD_LINE)
            lines.push_back(std::exchange(held, {}));
    }
    return lines;
}

void Connections::handleHeldLine(int32_t port, const std::string& call)
{
    Station* user = p_.directory.findStation(port, call);
    if (user == nullptr)
        return;
    user->lineTimer->setEnabled(false);
    const std::string line = std::exchange(user->heldLine, {});
    if (!line.empty())
        handleLine(port, call, line);
}

void Connections::handleLine(int32_t port, const std::string& call, const std::string& line)
{
    try {
        // A line before this one may have ended the station's stay.
        Station* user = p_.directory.findStation(port, call);
        if (user == nullptr)
            return;
        if (line[0] == '/') {
            writeLog(3, "{PALAVORO} Event <OnData>");
            p_.commands.execute(port, call, *user, line);
        } else {
            if (user->state != ONLINE)
                p_.delivery.sendFile(port, call, "NAME.INF", NAME_REQUIRED);
            p_.delivery.sendData(port, call, *user, line);
        }
        p_.delivery.sendPrompt(port, call, user->areaId);
        // The line may have taken the last user out of an area whose owner has gone.
        p_.directory.removeAbandonedAreas();
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnData");
    }
}

void Connections::handleDisconnect(AgwLink& /*link*/, uint8_t port, const std::string& call, const std::string& text)
{
    try {
        const std::string portText = std::to_string(port);
        writeLog(2, "{PALAVORO} Event <OnDisconnect>");
        writeLog(3, "{PALAVORO} Disconnect Port(" + portText + ") <" + call + "> Message(" + text + ")");
        p_.drain.endDrain(port, call);
        Station* user = p_.directory.findStation(port, call);
        if (user == nullptr) {
            writeLog(1, "{PALAVORO} User(" + portText + ":" + call + ") no control block found");
            return;
        }
        // After /B the departure has been announced already.
        if (user->state != DISC)
            p_.delivery.broadCastToArea(port, call, user->areaId, "<" + call + " left Area>\r");
        writeLog(3, "{PALAVORO} User Removed");
        p_.directory.removeStation(user);
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnDisconnect");
    }
}

void Connections::handleTimeLimit(Timer* timer)
{
    if (!p_.link) {
        writeLog(1, "{PALAVORO} L2 Object not ready");
        return;
    }
    Station* user = p_.directory.findStationByTimer(timer);
    if (user == nullptr) {
        writeLog(1, "{PALAVORO} Control block not found");
        return;
    }
    // The limit fires once per connection.
    user->timeLimit->setEnabled(false);
    user->timeLimit.reset();
    if (user->state == DISC) {
        writeLog(1, "{PALAVORO} User (" + user->callSign + ") in DISC, clean up control block");
        p_.directory.removeStation(user);
        return;
    }
    user->state = EXPIRED;
    writeLog(1, "{PALAVORO} User (" + user->callSign + ") in <> DISC, send disconnect");
    p_.delivery.sendFile(user->port, user->callSign, "INACTIVE.INF", "\r--- Inactivity Timeout, Logging out\r");
    p_.drain.disconnectWhenSent(user->port, p_.link->callSign(), user->callSign);
}

void Connections::handleLinkUp(AgwLink& link)
{
    writeLog(1, "{PALAVORO} Event <OnAGWUp> AGWPE(" + link.callSign() + ")");
    p_.keeper.linkUp(link);
}

void Connections::handleRegistration(AgwLink& link, uint8_t port, const std::string& call, const std::string& data)
{
    // An answer without its result byte counts as a refusal.
    const std::string rc = std::to_string(data.empty() ? 0 : static_cast<uint8_t>(data[0]));
    writeLog(3, "{PALAVORO} Event <OnRegister> " + call + " (" + rc + ")");
    writeLog(3, "{PALAVORO} Registered <" + call + "> rc(" + rc + ")");
    p_.keeper.registrationAnswered(link, port, call, data);
}

void Connections::handleLinkDown(AgwLink& link)
{
    // While waiting for the engine, a failed try is no news at level 1.
    const uint8_t level = p_.keeper.isWaiting() ? 3 : 1;
    writeLog(level, "{PALAVORO} Event <OnAGWDown> AGWPE(" + link.callSign() + ")");
    writeLog(3, "{PALAVORO} Main Node L2 Object Terminated");
    if (p_.settings.reconnect)
        p_.keeper.linkLost("the engine closed the connection");
}

void Connections::handleLinkError(AgwLink& link)
{
    writeLog(p_.keeper.isWaiting() ? 3 : 1, "{PALAVORO} Event <OnAGWError> AGWPE(" + link.callSign() + ")");
    if (!p_.settings.reconnect) {
        p_.shell.fatalError("Link with AGWPE Broken");
        return;
    }
    const std::string reason = link.lastError();
    p_.keeper.linkLost(reason.empty() ? "socket error" : reason);
}

void Connections::handleBroken(AgwLink& /*link*/, const std::string& reason)
{
    if (!p_.settings.reconnect) {
        p_.shell.fatalError("Link with AGWPE Broken");
        return;
    }
    p_.keeper.linkLost(reason);
}

void Connections::handleVersion(AgwLink& /*link*/, int32_t major, int32_t minor)
{
    writeLog(3, "{PALAVORO} Event <OnVersion>");
    writeLog(1, "{PALAVORO} AGW Packet Engine Version=" + std::to_string(major) + "." + std::to_string(minor));
}

void Connections::handlePortList(AgwLink& link)
{
    writeLog(2, "{PALAVORO} Event <OnPort> AGWPE(" + link.callSign() + ")");
    if (p_.beacon)
        p_.beacon->setActive(true);
    p_.keeper.portListReceived(link);
}

void Connections::stopAll(std::function<void()> done)
{
    onStopped_ = std::move(done);
    AgwLink* link = p_.link.get();
    if (link == nullptr || !link->isActive()) {
        stopped();
        return;
    }
    writeLog(1,
             "{PALAVORO} Shutting down, disconnecting " + std::to_string(p_.directory.stationCount()) + " station(s)");
    std::vector<std::pair<int32_t, std::string>> stations;
    for (const Station& station : p_.directory.stations())
        stations.emplace_back(station.port, station.callSign);
    for (const auto& [port, call] : stations) {
        Station* station = p_.directory.findStation(port, call);
        if (station == nullptr)
            continue;
        // Its departure needs no announcement: everyone is leaving.
        station->state = DISC;
        p_.delivery.sendFile(port, call, "SHUTDOWN.INF", "\r--- Server shutting down, 73!\r");
        p_.drain.disconnectWhenSent(port, link->callSign(), call);
    }
    if (p_.drain.pendingCount() == 0) {
        stopped();
        return;
    }
    p_.drain.onEmpty = [this] { stopped(); };
    stopTimer_ = p_.timers.createTimer();
    stopTimer_->onTimer = [this] { stopped(); };
    stopTimer_->setInterval(STOP_WAIT);
    stopTimer_->setEnabled(true);
}

void Connections::stopped()
{
    if (stopTimer_)
        stopTimer_->setEnabled(false);
    p_.drain.onEmpty = nullptr;
    if (AgwLink* link = p_.link.get())
        link->flush(2000);
    if (auto done = std::exchange(onStopped_, nullptr))
        done();
}

void Connections::handleBeacon(AgwLink& link, uint8_t port, const std::string& call, const std::string& id,
                               const std::string& via, const std::string& text)
{
    writeLog(2, "{PALAVORO} Event <OnBeacon>");
    if (p_.beacon)
        p_.beacon->post(&link, port, call, id, via, text);
}
