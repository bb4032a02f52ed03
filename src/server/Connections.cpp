// Admission, lines and departures of stations, and the link's own events.
// Trace texts such as "{PALAVORO} Event <OnConnect>" are fixed texts that
// operators' log tools read: they keep their old names byte for byte.
#include "server/Connections.h"

#include "support/HexStr.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

const char* const NAME_REQUIRED = "\r--- This server requires to set your name, use the /NA name command\r";

} // namespace

void Connections::handleConnect(AgwLink& /*link*/, RadioPort port, const std::string& from, const std::string& to,
                                const std::string& text)
{
    // Its arrival takes its turn, before anything it says: it is in its area
    // (and hears the others come) from then on.
    laterComing(port, from, [this, port, from, to, text] { admit(port, from, to, text, ""); });
}

void Connections::tcpConnected(const std::string& call, const std::string& how)
{
    laterComing(TCP_USER_PORT, call,
                [this, call, how] { admit(TCP_USER_PORT, call, p_.settings.callSign, "", how.c_str()); });
}

void Connections::tcpData(const std::string& call, const std::string& data)
{
    stationData(TCP_USER_PORT, call, p_.settings.callSign, 0xF0, data);
}

void Connections::tcpGone(const std::string& call, const std::string& why)
{
    Station* user = p_.directory.findStation(TCP_USER_PORT, call);
    if (user != nullptr && !why.empty() && (user->state == ONLINE || user->state == NONAME)) {
        user->state = EXPIRED;
        user->endedBy = why;
    }
    stationGone(TCP_USER_PORT, call, why);
}

void Connections::admit(int32_t port, const std::string& from, const std::string& to, const std::string& text,
                        const char* how)
{
    try {
        leaving_.erase({port, from});
        const std::string portText = std::to_string(port);
        writeLog(2, "{PALAVORO} Event <OnConnect>");
        writeLog(4, "{PALAVORO} (His) Connect Port(" + portText + ") <" + from + "> Message(" + text + ")");
        // The text goes first, and the disconnect waits until it is on the air.
        auto refuse = [&](const char* file, const std::string& text, const char* reason) {
            ++p_.stats.refusals;
            logStation("refused", from, port, reason);
            leaving_.insert({port, from});
            p_.delivery.sendFile(port, from, file, text);
            p_.drain.disconnectWhenSent(port, to, from);
        };
        // A user over TCP needs no engine, and has no radio port to close.
        const bool tcp = isTcpUser(port);
        if (!tcp && !p_.keeper.isRegistered()) {
            refuse("BUSY.INF", "\r--- Server Busy, Try Later\r", "busy, the engine has not taken the callsign yet");
            return;
        }
        if (!tcp && port >= 1 && port <= MAX_ENABLE_PORTS && !p_.settings.portEnabled[port]) {
            refuse("BADPORT.INF", "\r--- Connections not Allowed on this Port\r", "disabled port");
            return;
        }
        Station* user = p_.directory.newStation(port, from);
        if (user == nullptr) {
            connectAgain(*p_.directory.findStation(port, from), to);
            return;
        }
        user->port = port;
        user->callSign = from;
        user->serverCall = to;
        p_.userFile.load(from, user->name, user->info);
        user->state = p_.settings.forceName && user->name.empty() ? NONAME : ONLINE;
        user->connectedAt = user->lastLineAt = p_.stats.now();
        startLimits(*user);
        if (p_.directory.findArea(0) == nullptr) {
            refuse("ERROR.INF", "\r--- Internal Error, Try Later\r", "internal error, no Root area");
            return;
        }
        ++p_.stats.connects;
        logStation("connect", from, port, how);
        // Its welcome and its join notice take its turn, like its lines.
        laterComing(port, from, [this, port, from] {
            Station* station = p_.directory.findStation(port, from);
            if (station == nullptr)
                return;
            greet(*station);
            p_.delivery.broadCastToArea(port, from, 0, "<" + from + " joined Area>\r");
            p_.directory.stationChanged(*station);
        });
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnConnect");
    }
}

void Connections::connectAgain(Station& station, const std::string& to)
{
    // The engine reports a second connect when the station did not hear the
    // first one taken (its answer lost on the air): the same station on a
    // new link, which nothing may end. The stay goes on as it was.
    const int32_t port = station.port;
    const std::string call = station.callSign;
    logStation("reconnect", call, port);
    p_.drain.endDrain(port, call);
    station.serverCall = to;
    station.endedInCr = false;
    if (!station.heldLine.empty())
        handleHeldLine(port, call);
    // One that was leaving stays, for a time limit of its own; its area was
    // told it left only after /B.
    const bool announce = station.state == DISC;
    if (station.state == DISC || station.state == EXPIRED) {
        station.state = p_.settings.forceName && station.name.empty() ? NONAME : ONLINE;
        station.endedBy.clear();
        station.connectedAt = p_.stats.now();
        startLimits(station);
    }
    auto welcome = [this, port, call, announce] {
        Station* user = p_.directory.findStation(port, call);
        if (user == nullptr)
            return;
        greet(*user);
        if (announce)
            p_.delivery.broadCastToArea(port, call, user->areaId, "<" + call + " joined Area>\r");
    };
    // After its held line, in its turn.
    laterComing(port, call, welcome);
}

void Connections::startLimits(Station& station)
{
    // The time limit counts from the start of the stay, whatever the station
    // does; the idle limit starts again with every line.
    station.timeLimit = p_.settings.timeout != 0 ? startLimit(static_cast<uint32_t>(p_.settings.timeout)) : nullptr;
    station.idleLimit = p_.settings.idle > 0 ? startLimit(static_cast<uint32_t>(p_.settings.idle)) : nullptr;
}

void Connections::greet(const Station& station)
{
    p_.delivery.sendFile(station.port, station.callSign, "PALAVORO.INF",
                         "Welcome to the " + p_.settings.callSign + " Chat Server" + "\r");
    if (!station.name.empty())
        p_.delivery.sendTo(station.port, station.callSign, "\rHello " + station.name + "!\r");
    p_.delivery.sendPrompt(station.port, station.callSign, station.areaId);
}

void Connections::handleData(AgwLink& /*link*/, RadioPort port, const std::string& callFrom, const std::string& callTo,
                             uint8_t pid, const std::string& data)
{
    stationData(port, callFrom, callTo, pid, data);
}

void Connections::stationData(int32_t port, const std::string& callFrom, const std::string& callTo, uint8_t pid,
                              const std::string& data)
{
    std::vector<std::string> lines;
    try {
        writeLog(3, "{PALAVORO} Event <OnData>");
        // Built only when it will be written: this runs for every line.
        if (p_.log.enabled(4))
            writeLog(4, "{PALAVORO} Port(" + std::to_string(port) + ") <" + callFrom + "> PID(" + std::to_string(pid) +
                            ") Message(" + data + ")");
        p_.log.writeHex(5, data);
        if (data.empty())
            return;
        Station* user = p_.directory.findStation(port, callFrom);
        // Text of a station whose arrival waits for its turn waits behind it.
        if (user == nullptr && work_.count({port, callFrom}) > 0) {
            later(
                port, callFrom,
                [this, port, callFrom, callTo, pid, data] { stationData(port, callFrom, callTo, pid, data); },
                data.size(), false);
            return;
        }
        if (user == nullptr) {
            writeLog(1, "{PALAVORO} User(" + std::to_string(port) + ":" + callFrom + ") no control block found");
            // A user over TCP is taken in by its login alone.
            if (isTcpUser(port) || isLeaving(port, callFrom) || p_.drain.isPending(port, callFrom))
                return;
            // Connected at the engine but not here (a link made again, say):
            // the station is taken in as if it had just connected.
            admit(port, callFrom, callTo.empty() ? p_.settings.callSign : callTo, "",
                  "text from a station not known here");
            user = p_.directory.findStation(port, callFrom);
            if (user == nullptr || isLeaving(port, callFrom))
                return;
        }
        // Nothing a station says after its goodbye reaches anyone.
        if (user->state == DISC)
            return;
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
    for (std::string& line : lines) {
        const size_t size = line.size();
        later(port, callFrom, [this, port, call = callFrom, line = std::move(line)] { handleLine(port, call, line); },
              size);
    }
}

bool Connections::later(int32_t port, const std::string& call, std::function<void()> item, size_t bytes,
                        bool bounded)
{
    Work& work = work_[{port, call}];
    if (bounded && bytes > 0 && work.bytes + bytes > MAX_STATION_INPUT) {
        if (!std::exchange(work.told, true)) {
            writeLog(1, "{PALAVORO} User(" + std::to_string(port) + ":" + call +
                            ") sent more than its turns take: further lines dropped");
            p_.delivery.sendTo(port, call, TOO_MANY);
        }
        return false;
    }
    queueItem(port, call, {std::move(item), bytes, Turns::Kind::Lines});
    return true;
}

void Connections::laterComing(int32_t port, const std::string& call, std::function<void()> item)
{
    queueItem(port, call, {std::move(item), 0, Turns::Kind::Comings});
}

void Connections::queueItem(int32_t port, const std::string& call, Item item)
{
    Work& work = work_[{port, call}];
    work.bytes += item.bytes;
    heldInput_ += item.bytes;
    work.items.push_back(std::move(item));
    holdInput();
    const Key key{port, call};
    p_.turns.ready("S" + std::to_string(port) + ":" + call, [this, key] { return turn(key); },
                   work.items.front().kind);
    p_.turns.serve();
}

std::optional<Turns::Kind> Connections::turn(const Key& key)
{
    // A few items of one kind: the turn ends where the other kind begins.
    std::optional<Turns::Kind> kind;
    for (size_t done = 0; done < TURN_ITEMS; ++done) {
        auto it = work_.find(key);
        if (it == work_.end() || it->second.items.empty() || (kind && it->second.items.front().kind != *kind))
            break;
        Item item = std::move(it->second.items.front());
        it->second.items.pop_front();
        it->second.bytes -= item.bytes;
        heldInput_ -= item.bytes;
        kind = item.kind;
        holdInput();
        item.run();
    }
    auto it = work_.find(key);
    if (it == work_.end())
        return std::nullopt;
    if (!it->second.items.empty())
        return it->second.items.front().kind;
    work_.erase(it);
    return std::nullopt;
}

void Connections::forgetWork(const Key& key)
{
    auto it = work_.find(key);
    if (it == work_.end())
        return;
    heldInput_ -= it->second.bytes;
    work_.erase(it);
    p_.turns.forget("S" + std::to_string(key.first) + ":" + key.second);
    holdInput();
}

size_t Connections::waitingWork() const
{
    size_t items = 0;
    for (const auto& [key, work] : work_)
        items += work.items.size();
    return items;
}

void Connections::holdInput()
{
    const bool hold = heldInput_ > MAX_HELD_INPUT || (inputHeld_ && heldInput_ > MAX_HELD_INPUT / 2);
    if (hold == inputHeld_ || !p_.link)
        return;
    inputHeld_ = hold;
    writeLog(3, "{PALAVORO} " + std::to_string(heldInput_) + " bytes of stations' lines wait, the engine " +
                    (hold ? "is not read" : "is read again"));
    p_.link->holdInput(hold);
}

std::vector<std::string> Connections::takeLines(Station& station, std::string_view data)
{
    std::vector<std::string> lines;
    std::string& held = station.heldLine;
    // CR LF is one line end, also when a frame ends between the two.
    if (station.endedInCr && data.front() == '\n')
        data.remove_prefix(1);
    station.endedInCr = false;
    while (!data.empty()) {
        // Up to the next line end, or as much as the held line has room for.
        // The bound is for text held across frames: a whole line in this
        // frame is taken whole, however long.
        size_t room = std::min(MAX_HELD_LINE - held.size(), data.size());
        if (held.empty() && room < data.size()) {
            const void* end = std::memchr(data.data(), '\r', data.size());
            if (end != nullptr || std::memchr(data.data(), '\n', data.size()) != nullptr)
                room = data.size();
        }
        // Lines end in CR; a lone LF is looked for only before the CR.
        const void* cr = std::memchr(data.data(), '\r', room);
        size_t end = cr != nullptr ? static_cast<size_t>(static_cast<const char*>(cr) - data.data()) : room;
        if (const void* lf = std::memchr(data.data(), '\n', end))
            end = static_cast<size_t>(static_cast<const char*>(lf) - data.data());
        if (end == room) {
            held.append(data.substr(0, room));
            data.remove_prefix(room);
            if (held.size() >= MAX_HELD_LINE)
                lines.push_back(std::exchange(held, {}));
            continue;
        }
        size_t taken = end + 1;
        if (data[end] == '\r' && taken < data.size() && data[taken] == '\n')
            ++taken;
        else if (data[end] == '\r' && taken == data.size())
            station.endedInCr = true;
        held.append(data.substr(0, taken));
        data.remove_prefix(taken);
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
    std::string line = std::exchange(user->heldLine, {});
    if (line.empty())
        return;
    const size_t size = line.size();
    later(port, call, [this, port, call, line = std::move(line)] { handleLine(port, call, line); }, size);
}

void Connections::lastWords(Station& station)
{
    std::string line = std::exchange(station.heldLine, {});
    station.lineTimer.reset();
    if (line.empty() || station.state == DISC)
        return;
    // A command would answer a station that has gone: only a line for its area is passed on.
    if (line[0] == '/') {
        writeLog(3, "{PALAVORO} User(" + std::to_string(station.port) + ":" + station.callSign +
                        ") left during an unfinished command, not carried out");
        return;
    }
    noteLine(station);
    p_.delivery.sendData(station.port, station.callSign, station, line);
}

void Connections::handleLine(int32_t port, const std::string& call, const std::string& line)
{
    try {
        // A line before this one may have ended the station's stay.
        Station* user = p_.directory.findStation(port, call);
        // Nothing after a goodbye: the area has been told the station left.
        if (user == nullptr || user->state == DISC)
            return;
        noteLine(*user);
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

void Connections::handleDisconnect(AgwLink& /*link*/, RadioPort port, const std::string& call, const std::string& text)
{
    stationGone(port, call, text);
}

void Connections::stationGone(int32_t port, const std::string& call, const std::string& text)
{
    try {
        const std::string portText = std::to_string(port);
        writeLog(2, "{PALAVORO} Event <OnDisconnect>");
        writeLog(3, "{PALAVORO} Disconnect Port(" + portText + ") <" + call + "> Message(" + text + ")");
        // After the station's lines that wait for their turn.
        laterComing(port, call, [this, port, call] { depart(port, call); });
    } catch (...) {
        writeLog(1, "{PALAVORO} Exception on OnDisconnect");
    }
}

void Connections::depart(int32_t port, const std::string& call)
{
    try {
        p_.drain.endDrain(port, call);
        Station* user = p_.directory.findStation(port, call);
        if (user == nullptr) {
            leaving_.erase({port, call});
            writeLog(1, "{PALAVORO} User(" + std::to_string(port) + ":" + call + ") no control block found");
            return;
        }
        lastWords(*user);
        // After /B the departure has been announced already.
        if (user->state != DISC)
            p_.delivery.broadCastToArea(port, call, user->areaId, "<" + call + " left Area>\r");
        logStation("left", call, port,
                   user->state == DISC      ? (user->endedBy.empty() ? "bye" : user->endedBy)
                   : user->state == EXPIRED ? user->endedBy
                                            : "disconnected by the station");
        writeLog(3, "{PALAVORO} User Removed");
        p_.directory.removeStation(user);
        if (onStopped_ && p_.directory.stationCount() == 0)
            stopped();
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
    const bool idle = user->idleLimit.get() == timer;
    // A limit fires once per connection, and the first to fire ends it: both
    // are released (this one from inside its own handler).
    for (std::unique_ptr<Timer>* limit : {&user->timeLimit, &user->idleLimit}) {
        if (*limit)
            (*limit)->setEnabled(false);
        limit->reset();
    }
    // Its notice is output too: it takes its turn, after the station's lines.
    laterComing(user->port, user->callSign,
                [this, port = user->port, call = user->callSign, idle] { endStay(port, call, idle); });
}

void Connections::endStay(int32_t port, const std::string& call, bool idle)
{
    Station* user = p_.directory.findStation(port, call);
    if (user == nullptr)
        return;
    if (user->state == DISC) {
        writeLog(1, "{PALAVORO} User (" + user->callSign + ") in DISC, clean up control block");
        logStation("left", user->callSign, user->port, user->endedBy.empty() ? "bye" : user->endedBy);
        // The engine's word that it has gone is still to come.
        leaving_.insert({port, call});
        p_.directory.removeStation(user);
        return;
    }
    user->state = EXPIRED;
    user->endedBy = idle ? "idle limit" : "time limit";
    writeLog(1, "{PALAVORO} User (" + user->callSign + ") in <> DISC, send disconnect");
    p_.delivery.sendFile(user->port, user->callSign, "INACTIVE.INF", "\r--- Inactivity Timeout, Logging out\r");
    p_.drain.disconnectWhenSent(user->port, p_.link->callSign(), user->callSign);
}

size_t Connections::sendAway(const std::string& call, const std::string& text)
{
    std::vector<Station*> found;
    for (const Station& station : p_.directory.stations())
        if (upperStr(station.callSign) == call && (station.state == ONLINE || station.state == NONAME))
            found.push_back(p_.directory.findStation(station.port, station.callSign));
    for (Station* user : found) {
        user->timeLimit.reset();
        user->idleLimit.reset();
        user->state = EXPIRED;
        user->endedBy = "sent away by the sysop";
        writeLog(1, "{PALAVORO} User (" + user->callSign + ") sent away by the sysop");
        if (!text.empty())
            p_.delivery.sendTo(user->port, user->callSign, "\r" + text + "\r");
        if (p_.link)
            p_.drain.disconnectWhenSent(user->port, p_.link->callSign(), user->callSign);
    }
    return found.size();
}

std::unique_ptr<Timer> Connections::startLimit(uint32_t milliseconds)
{
    std::unique_ptr<Timer> limit = p_.timers.createTimer();
    Timer* timer = limit.get();
    timer->onTimer = [this, timer] { handleTimeLimit(timer); };
    timer->setInterval(milliseconds);
    timer->setEnabled(true);
    return limit;
}

void Connections::noteLine(Station& station)
{
    station.lastLineAt = p_.stats.now();
    ++station.linesSaid;
    if (station.idleLimit)
        station.idleLimit->setInterval(station.idleLimit->interval());
}

void Connections::logStation(const char* event, const std::string& call, int32_t port, const std::string& how)
{
    p_.shell.logConnection(std::string(event) + " " + call +
                           (isTcpUser(port) ? " tcp" : " port " + std::to_string(port)) +
                           (how.empty() ? "" : ": " + how));
}

void Connections::linkStateChanged(const std::string& line)
{
    p_.stats.linkSince = p_.stats.now();
    p_.shell.logConnection(line);
}

void Connections::handleLinkUp(AgwLink& link)
{
    writeLog(1, "{PALAVORO} Event <OnAGWUp> AGWPE(" + link.callSign() + ")");
    linkStateChanged("link up: engine at " + (link.host().empty() ? link.address() : link.host()) + ":" +
                     std::to_string(link.tcpPort()));
    p_.keeper.linkUp(link);
}

void Connections::handleRegistration(AgwLink& link, RadioPort port, const std::string& call, const std::string& data)
{
    // An answer without its result byte counts as a refusal.
    const std::string rc = std::to_string(data.empty() ? 0 : static_cast<uint8_t>(data[0]));
    writeLog(3, "{PALAVORO} Event <OnRegister> " + call + " (" + rc + ")");
    writeLog(3, "{PALAVORO} Registered <" + call + "> rc(" + rc + ")");
    const bool wasRegistered = p_.keeper.isRegistered();
    p_.keeper.engineAnswered();
    p_.keeper.registrationAnswered(link, port, call, data);
    if (!wasRegistered && p_.keeper.isRegistered())
        linkStateChanged("link ready: " + call + " registered");
}

void Connections::handleLinkDown(AgwLink& link)
{
    // While waiting for the engine, a failed try is no news at level 1.
    const uint8_t level = p_.keeper.isWaiting() ? 3 : 1;
    writeLog(level, "{PALAVORO} Event <OnAGWDown> AGWPE(" + link.callSign() + ")");
    writeLog(3, "{PALAVORO} Main Node L2 Object Terminated");
    if (!p_.keeper.isWaiting())
        linkStateChanged("link down: the engine closed the connection");
    if (p_.settings.reconnect) {
        dropStations("the engine closed the connection");
        p_.keeper.linkLost("the engine closed the connection");
    }
}

void Connections::handleLinkError(AgwLink& link)
{
    writeLog(p_.keeper.isWaiting() ? 3 : 1, "{PALAVORO} Event <OnAGWError> AGWPE(" + link.callSign() + ")");
    const std::string reason = link.lastError();
    handleBroken(link, reason.empty() ? "socket error" : reason);
}

void Connections::handleBroken(AgwLink& /*link*/, const std::string& reason)
{
    // With no engine at start, the keeper's line says it all.
    if (!p_.keeper.isWaiting() && !(p_.settings.reconnect && p_.keeper.neverReached()))
        linkStateChanged("link broken: " + reason);
    dropStations(reason);
    if (!p_.settings.reconnect) {
        p_.shell.fatalError("Link with AGWPE Broken");
        return;
    }
    p_.keeper.linkLost(reason);
}

std::vector<std::pair<int32_t, std::string>> Connections::stationKeys() const
{
    // By key, not by block: handling one station may remove others.
    std::vector<std::pair<int32_t, std::string>> keys;
    for (const Station& station : p_.directory.stations())
        keys.emplace_back(station.port, station.callSign);
    return keys;
}

void Connections::dropStations(const std::string& reason)
{
    // What waited for its turn has nobody left to go to; users over TCP stay.
    std::vector<Key> radio;
    for (const auto& [key, work] : work_)
        if (!isTcpUser(key.first))
            radio.push_back(key);
    for (const Key& key : radio)
        forgetWork(key);
    std::erase_if(leaving_, [](const Key& key) { return !isTcpUser(key.first); });
    if (p_.directory.stationCount() == 0)
        return;
    for (const auto& [port, call] : stationKeys()) {
        Station* station = p_.directory.findStation(port, call);
        if (station == nullptr || isTcpUser(port))
            continue;
        lastWords(*station);
        logStation("left", call, port, "link lost: " + reason);
    }
    p_.drain.clear();
    p_.directory.clearRadioStations();
    if (onStopped_ && p_.directory.stationCount() == 0)
        stopped();
}

void Connections::handleVersion(AgwLink& /*link*/, int32_t major, int32_t minor)
{
    writeLog(3, "{PALAVORO} Event <OnVersion>");
    p_.keeper.engineAnswered();
    writeLog(1, "{PALAVORO} AGW Packet Engine Version=" + std::to_string(major) + "." + std::to_string(minor));
}

void Connections::handlePortList(AgwLink& link)
{
    writeLog(2, "{PALAVORO} Event <OnPort> AGWPE(" + link.callSign() + ")");
    p_.keeper.engineAnswered();
    if (p_.beacon)
        p_.beacon->setActive(true);
    p_.keeper.portListReceived(link);
}

void Connections::stopAll(std::function<void()> done)
{
    onStopped_ = std::move(done);
    AgwLink* link = p_.link.get();
    // Without the engine only the users over TCP can be told.
    const bool engine = link != nullptr && link->isActive();
    std::vector<Key> told;
    for (const Key& key : stationKeys())
        if (engine || isTcpUser(key.first))
            told.push_back(key);
    if (told.empty()) {
        stopped();
        return;
    }
    writeLog(1,
             "{PALAVORO} Shutting down, disconnecting " + std::to_string(p_.directory.stationCount()) + " station(s)");
    for (const auto& [port, call] : told) {
        Station* station = p_.directory.findStation(port, call);
        if (station == nullptr)
            continue;
        // Its departure needs no announcement: everyone is leaving.
        station->state = DISC;
        station->endedBy = "stop";
        p_.delivery.sendFile(port, call, "SHUTDOWN.INF", "\r--- Server shutting down, 73!\r");
        p_.drain.disconnectWhenSent(port, p_.settings.callSign, call);
    }
    // Done when the engine has reported every station gone: what it says
    // then has been read, and nothing is left unread when the program ends.
    if (p_.directory.stationCount() == 0) {
        stopped();
        return;
    }
    stopTimer_ = p_.timers.createTimer();
    stopTimer_->onTimer = [this] { stopped(); };
    stopTimer_->setInterval(STOP_WAIT);
    stopTimer_->setEnabled(true);
}

void Connections::stopped()
{
    if (stopTimer_)
        stopTimer_->setEnabled(false);
    // An engine that never says the last texts are out gets the disconnects all the same.
    p_.drain.disconnectAllNow();
    for (const Station& station : p_.directory.stations())
        logStation("left", station.callSign, station.port, "stop, not confirmed by the engine");
    if (AgwLink* link = p_.link.get())
        link->flush(FLUSH_WAIT);
    if (auto done = std::exchange(onStopped_, nullptr))
        done();
}

void Connections::handleBeacon(AgwLink& link, RadioPort port, const std::string& call, const std::string& id,
                               const std::string& via, const std::string& text)
{
    writeLog(2, "{PALAVORO} Event <OnBeacon>");
    if (p_.beacon)
        p_.beacon->post(&link, port, call, id, via, text);
}
