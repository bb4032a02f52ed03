// Host links over the air, between the engine's events and the stations.
#include "server/AirLinks.h"

#include "convers/HostLines.h"
#include "support/HexStr.h"

#include <algorithm>

namespace {

std::string address(RadioPort port, const std::string& call)
{
    return "AX25:" + std::to_string(port) + ":" + call;
}

// What a node's command prompt is sent before the HOST: not a station's line.
bool isJunk(std::string_view line)
{
    const std::string word = lowerAscii(line);
    return word.empty() || word == "convers" || word == "ppconvers" || word == "conv";
}

// The first line of the bytes with its end, or nothing while it has none.
bool cutLine(std::string& bytes, std::string& line)
{
    const size_t end = bytes.find_first_of("\r\n");
    if (end == std::string::npos)
        return false;
    line = bytes.substr(0, end);
    size_t taken = end + 1;
    if (taken < bytes.size() && (bytes[taken] == '\r' || bytes[taken] == '\n') && bytes[taken] != bytes[end])
        ++taken;
    bytes.erase(0, taken);
    return true;
}

bool isHostLine(std::string_view line)
{
    const std::optional<HostLine> parsed = parseHostLine(line);
    return parsed && parsed->command == HostCommand::Host;
}

} // namespace

AirLinks::AirLinks(const Parts& parts) : p_(parts) {}

AirLinks::~AirLinks()
{
    for (auto& [key, socket] : sockets_) {
        socket->onGone = nullptr;
        socket->onClose = nullptr;
    }
}

std::unique_ptr<ClientSocket> AirLinks::makeSocket(const Neighbour& neighbour)
{
    auto socket = std::make_unique<AirSocket>(p_.link, p_.timers, upperStr(p_.settings.callSign), neighbour.via);
    socket->onDial = [this](AirSocket& dialling) {
        const Key key{dialling.radioPort(), dialling.call()};
        if (sockets_.count(key) > 0 || waitingOf(key.first, key.second) != waiting_.end())
            return false;
        track(dialling);
        return true;
    };
    return socket;
}

void AirLinks::track(AirSocket& socket)
{
    sockets_[{socket.radioPort(), socket.call()}] = &socket;
    socket.onClose = [this](AirSocket& gone) {
        closing_.insert({gone.radioPort(), gone.call()});
        p_.drain.disconnectWhenSent(gone.radioPort(), gone.ownCall(), gone.call());
    };
    socket.onGone = [this](AirSocket& gone) {
        auto it = sockets_.find({gone.radioPort(), gone.call()});
        if (it != sockets_.end() && it->second == &gone)
            sockets_.erase(it);
    };
}

AirSocket* AirLinks::socketOf(RadioPort port, const std::string& call)
{
    auto it = sockets_.find({port, upperStr(call)});
    return it == sockets_.end() ? nullptr : it->second;
}

std::list<AirLinks::Waiting>::iterator AirLinks::waitingOf(RadioPort port, const std::string& call)
{
    const std::string upper = upperStr(call);
    return std::find_if(waiting_.begin(), waiting_.end(),
                        [&](const Waiting& w) { return w.port == port && w.call == upper; });
}

const Neighbour* AirLinks::neighbourByCall(const std::string& call) const
{
    const std::string upper = upperStr(call);
    for (const Neighbour& neighbour : p_.network.config().neighbours)
        if (neighbour.overAir && neighbour.call == upper)
            return &neighbour;
    return nullptr;
}

void AirLinks::handleConnect(AgwLink& link, RadioPort port, const std::string& from, const std::string& to,
                             const std::string& text)
{
    const std::string call = upperStr(from);
    closing_.erase({port, call});
    if (AirSocket* socket = socketOf(port, call)) {
        // Our dial answered (or theirs met ours on the air: one connection).
        socket->connected();
        return;
    }
    if (neighbourByCall(call) == nullptr || !p_.keeper.isRegistered()) {
        fresh_.insert({port, call});
        p_.connections.handleConnect(link, port, from, to, text);
        return;
    }
    writeLog(3, "Connection from " + address(port, call) + ", a neighbour's callsign: waiting for its first line");
    Waiting& waiting = waiting_.emplace_back();
    waiting.port = port;
    waiting.call = call;
    waiting.ownCall = to;
    waiting.text = text;
    waiting.timer = p_.timers.createTimer();
    waiting.timer->setInterval(FIRST_LINE_WAIT);
    waiting.timer->onTimer = [this, port, call] {
        auto it = waitingOf(port, call);
        if (it != waiting_.end())
            becomeStation(it);
    };
    waiting.timer->setEnabled(true);
}

void AirLinks::handleData(AgwLink& link, RadioPort port, const std::string& callFrom, const std::string& callTo,
                          uint8_t pid, const std::string& data)
{
    const std::string call = upperStr(callFrom);
    if (AirSocket* socket = socketOf(port, call)) {
        socket->received(data);
        return;
    }
    if (auto waiting = waitingOf(port, call); waiting != waiting_.end()) {
        waiting->bytes += data;
        firstLines(waiting);
        return;
    }
    if (fresh_.erase({port, call}) > 0) {
        std::string bytes = data;
        std::string line;
        if (cutLine(bytes, line) && isHostLine(line)) {
            writeLog(1, "HOST from " + address(port, call) + ", not a neighbour's callsign, connection closed");
            p_.shell.logConnection("link refused from " + address(port, call) + ": not a neighbour's callsign");
            p_.drain.disconnectWhenSent(port, callTo, callFrom);
            return;
        }
    }
    p_.connections.handleData(link, port, callFrom, callTo, pid, data);
}

void AirLinks::firstLines(std::list<Waiting>::iterator waiting)
{
    std::string line;
    std::string rest = waiting->bytes;
    while (cutLine(rest, line)) {
        if (isHostLine(line)) {
            becomeLink(waiting);
            return;
        }
        if (!isJunk(line)) {
            becomeStation(waiting);
            return;
        }
        // A node's prompt command: skipped, as the host protocol skips it.
        waiting->bytes = rest;
    }
    if (rest.size() > LineSplitter::MAX_LINE)
        becomeStation(waiting);
}

void AirLinks::becomeLink(std::list<Waiting>::iterator waiting)
{
    auto socket = std::make_unique<AirSocket>(p_.link, p_.timers, upperStr(waiting->ownCall), "");
    socket->adoptOpen(waiting->port, waiting->call, std::move(waiting->bytes));
    track(*socket);
    const std::string where = address(waiting->port, waiting->call);
    waiting_.erase(waiting);
    writeLog(3, "Connection from " + where + " sent a HOST: a host link");
    p_.network.accept(std::move(socket), where);
}

void AirLinks::becomeStation(std::list<Waiting>::iterator waiting)
{
    Waiting w = std::move(*waiting);
    waiting_.erase(waiting);
    w.timer.reset();
    writeLog(3, "Connection from " + address(w.port, w.call) + " is a station");
    if (!p_.link)
        return;
    p_.connections.handleConnect(*p_.link, w.port, w.call, w.ownCall, w.text);
    if (!w.bytes.empty())
        p_.connections.handleData(*p_.link, w.port, w.call, w.ownCall, 0xF0, w.bytes);
}

void AirLinks::handleDisconnect(AgwLink& link, RadioPort port, const std::string& call, const std::string& text)
{
    const std::string upper = upperStr(call);
    fresh_.erase({port, upper});
    if (AirSocket* socket = socketOf(port, upper)) {
        socket->disconnected(text.empty() ? "disconnected" : text);
        return;
    }
    if (auto waiting = waitingOf(port, upper); waiting != waiting_.end()) {
        writeLog(3, "Connection from " + address(port, upper) + " ended before its first line");
        waiting_.erase(waiting);
        return;
    }
    // The engine's notice of our own disconnect of a link.
    if (closing_.erase({port, upper}) > 0) {
        p_.drain.endDrain(port, upper);
        if (closing_.empty() && onClosed_) {
            stopTimer_.reset();
            std::exchange(onClosed_, nullptr)();
        }
        return;
    }
    p_.connections.handleDisconnect(link, port, call, text);
}

void AirLinks::handleConnFrames(AgwLink& link, RadioPort port, const std::string& callFrom, const std::string& callTo,
                                int32_t frames)
{
    // The engine may answer with the two calls either way round.
    AirSocket* socket = socketOf(port, callTo);
    if (socket == nullptr || socket->ownCall() != upperStr(callFrom))
        socket = socketOf(port, callFrom);
    if (socket != nullptr)
        socket->outstanding(frames);
    p_.drain.handleConnFrames(link, port, callFrom, callTo, frames);
}

void AirLinks::engineDown()
{
    waiting_.clear();
    fresh_.clear();
    closing_.clear();
    std::vector<AirSocket*> open;
    for (auto& [key, socket] : sockets_)
        open.push_back(socket);
    for (AirSocket* socket : open)
        if (socketOf(socket->radioPort(), socket->call()) == socket)
            socket->disconnected("the engine is gone");
}

void AirLinks::closeAll()
{
    AgwLink* link = p_.link.get();
    if (link == nullptr || !link->isActive())
        return;
    for (auto& [key, socket] : sockets_)
        if (socket->state() != AirSocket::State::Closed)
            link->disconnect(key.first, socket->ownCall(), key.second);
    link->flush(1000);
}

void AirLinks::whenClosed(std::function<void()> done)
{
    // A neighbour would otherwise keep a link to nobody until it times out.
    if (closing_.empty() || !p_.link || !p_.link->isActive()) {
        done();
        return;
    }
    writeLog(1, "Waiting for " + std::to_string(closing_.size()) + " link(s) over the air to close");
    onClosed_ = std::move(done);
    stopTimer_ = p_.timers.createTimer();
    stopTimer_->onTimer = [this] {
        stopTimer_->setEnabled(false);
        if (auto done = std::exchange(onClosed_, nullptr))
            done();
    };
    stopTimer_->setInterval(STOP_WAIT);
    stopTimer_->setEnabled(true);
}
