// Users over TCP: accepting, logging in, their connections as transport.
#include "server/TcpUsers.h"

#include "server/StationKey.h"
#include "support/Address.h"

#include <algorithm>

TcpUsers::TcpUsers(const Parts& parts)
    : p_(parts), refusals_(parts.timers, [this](const std::string& line) { p_.shell.logConnection(line); })
{
}

TcpUsers::~TcpUsers()
{
    for (auto& session : sessions_)
        if (session->socket) {
            session->socket->onDataAvailable = nullptr;
            session->socket->onClosed = nullptr;
            session->socket->onError = nullptr;
            session->socket->onWritten = nullptr;
        }
}

void TcpUsers::configure(const StatusListen& listen)
{
    if (listen.on == listen_.on && (!listen.on || (listen.address == listen_.address && listen.port == listen_.port)))
        return;
    listener_.reset();
    listen_ = {false, "", 0};
    if (!listen.on || !makeListener_)
        return;
    const std::string where = hostPort(listen.address, listen.port);
    std::unique_ptr<ListenSocket> listener = makeListener_();
    std::string error;
    if (!listener->listen(listen.address, listen.port, error)) {
        trace(1, "Cannot listen on " + where + ": " + error);
        p_.shell.logConnection("tcp users: cannot listen on " + where + ": " + error);
        return;
    }
    listener->onAccept = [this](std::unique_ptr<ClientSocket> socket, const std::string& peer) {
        accept(std::move(socket), peer);
    };
    listener_ = std::move(listener);
    listen_ = listen;
    trace(1, "Listening on " + where);
    p_.shell.logConnection("tcp users: listening on " + where);
}

std::string TcpUsers::listenText() const
{
    if (!listen_.on)
        return {};
    return hostPort(listen_.address, listen_.port);
}

bool TcpUsers::isBarred(const std::string& address)
{
    auto it = barred_.find(address);
    if (it == barred_.end())
        return false;
    if (it->second > p_.now())
        return true;
    barred_.erase(it);
    return false;
}

size_t TcpUsers::waitingFrom(const std::string& address) const
{
    return static_cast<size_t>(std::count_if(sessions_.begin(), sessions_.end(), [&](const auto& s) {
        return !s->gone && s->call.empty() && (address.empty() || s->address == address);
    }));
}

size_t TcpUsers::waitingCount() const
{
    return waitingFrom("");
}

void TcpUsers::refuse(const std::string& cause, const std::string& line)
{
    trace(1, line);
    refusals_.note(cause, line);
}

void TcpUsers::accept(std::unique_ptr<ClientSocket> socket, const std::string& peerAddress)
{
    Entry entry(*this);
    const std::string address = plainAddress(peerAddress);
    if (isBarred(address)) {
        refuse("barred", "tcp refused from " + address + ": too many failed logins, refused for a while");
        socket->close();
        return;
    }
    if (waitingFrom(address) >= MAX_WAITING_PER_ADDRESS || waitingCount() >= MAX_WAITING) {
        refuse("waiting", "tcp refused from " + address + ": too many connections waiting for a login");
        socket->close();
        return;
    }
    auto owned = std::make_unique<Session>();
    Session& session = *owned;
    session.socket = std::move(socket);
    session.address = address;
    const uint16_t port = session.socket->peerPort();
    session.shown = port != 0 ? hostPort(address, port) : bracketed(address);
    sessions_.push_back(std::move(owned));
    trace(3, "Connection from " + session.shown + ", waiting for its login");
    ClientSocket& s = *session.socket;
    s.onDataAvailable = [this, &session] { read(session); };
    s.onClosed = [this, &session] { lost(session, "disconnected by the user"); };
    s.onError = [this, &session](int& code) {
        code = 0;
        lost(session, "connection failed: " + session.socket->errorString());
    };
    s.onWritten = [this, &session] { written(session); };
    session.login.onSend = [&session](std::string_view bytes) { session.socket->sendBytes(bytes); };
    session.login.onLogin = [this, &session](const std::string& call, const std::string& password) {
        return login(session, call, password);
    };
    session.login.onFailed = [this, &session](const std::string& call, bool last) { failed(session, call, last); };
    session.login.onText = [this, &session](std::string_view text) {
        if (!session.closing && !session.gone)
            p_.connections.tcpData(session.call, std::string(text));
    };
    session.timer = p_.timers.createTimer();
    session.timer->onTimer = [this, &session] {
        Entry entry(*this);
        refuse("timeout", "tcp login timed out from " + session.address);
        end(session, "", false);
    };
    session.timer->setInterval(LOGIN_WAIT);
    session.timer->setEnabled(true);
    session.login.start();
    // What came before the handlers were in place.
    read(session);
}

void TcpUsers::read(Session& session)
{
    Entry entry(*this);
    if (session.gone)
        return;
    const std::string bytes = session.socket->readAll();
    if (!bytes.empty())
        session.login.receive(bytes);
}

bool TcpUsers::login(Session& session, const std::string& call, const std::string& password)
{
    if (!isValidCallSign(call)) {
        // Checked all the same, so that it takes the time of any other.
        p_.passwords.check("", password);
        return false;
    }
    if (!p_.passwords.check(call, password))
        return false;
    Session* old = userSession(call);
    if (old == nullptr && users_.size() >= MAX_USERS) {
        refuse("full", "tcp refused from " + session.address + ": " + std::to_string(MAX_USERS) + " users are on");
        session.socket->sendBytes(FULL);
        end(session, "", false);
        return true;
    }
    session.timer->setEnabled(false);
    session.timer->onTimer = [this, &session] {
        Entry entry(*this);
        stall(session);
    };
    session.call = call;
    if (old != nullptr) {
        // The same user on a new connection, as a repeated connect on the air:
        // the old one closes, and the stay goes on.
        trace(1, "User(" + call + ") logged in again from " + session.shown + ", the connection from " + old->shown +
                     " is closed");
        old->call.clear();
        end(*old, "", false);
    }
    users_[call] = &session;
    trace(1, "User(" + call + ") logged in from " + session.shown);
    p_.connections.tcpConnected(call, "from " + session.shown);
    return true;
}

void TcpUsers::failed(Session& session, const std::string& call, bool last)
{
    refuse("login", "tcp login failed from " + session.address + ": " + call);
    std::deque<int64_t>& times = failures_[session.address];
    const int64_t now = p_.now();
    times.push_back(now);
    while (!times.empty() && times.front() <= now - FAILURE_WINDOW)
        times.pop_front();
    if (times.size() >= FAILURES_TO_BAR) {
        failures_.erase(session.address);
        barred_[session.address] = now + BARRED_FOR;
        refuse("barred", "tcp refused from " + session.address + ": " + std::to_string(FAILURES_TO_BAR) +
                             " failed logins within a minute, refused for 10 minutes");
        // Its other connections waiting for their login go too.
        std::vector<Session*> waiting;
        for (const auto& other : sessions_)
            if (other->call.empty() && other->address == session.address)
                waiting.push_back(other.get());
        for (Session* other : waiting)
            end(*other, "", false);
        return;
    }
    if (last)
        end(session, "", false);
}

TcpUsers::Session* TcpUsers::userSession(const std::string& call) const
{
    auto it = users_.find(call);
    return it == users_.end() ? nullptr : it->second;
}

void TcpUsers::write(const std::string& call, const std::string& text)
{
    Session* session = userSession(call);
    if (session == nullptr)
        return;
    session->socket->sendBytes(TcpLogin::forTerminal(text));
    // Counted from the first byte the user has not taken.
    if (p_.settings.engineWait > 0 && !session->timer->enabled() && session->socket->bytesToWrite() > 0) {
        session->timer->setInterval(static_cast<uint32_t>(p_.settings.engineWait));
        session->timer->setEnabled(true);
    }
}

size_t TcpUsers::unsent(const std::string& call) const
{
    const Session* session = userSession(call);
    return session == nullptr ? 0 : session->socket->bytesToWrite();
}

void TcpUsers::written(Session& session)
{
    Entry entry(*this);
    if (session.gone || session.call.empty())
        return;
    // It takes what it is sent: the wait for a stalled user starts again.
    if (session.socket->bytesToWrite() == 0)
        session.timer->setEnabled(false);
    else if (p_.settings.engineWait > 0)
        session.timer->setInterval(static_cast<uint32_t>(p_.settings.engineWait));
    p_.output.directTook(session.call);
    if (session.closing)
        tryClose(session);
}

void TcpUsers::stall(Session& session)
{
    if (session.gone)
        return;
    trace(1, "User(" + session.call + ") took nothing for " + std::to_string(p_.settings.engineWait) +
                 " ms, disconnected");
    end(session, "not reading, nothing taken for " + std::to_string(p_.settings.engineWait / 1000) + " s", true);
}

void TcpUsers::disconnectWhenSent(const std::string& call)
{
    Entry entry(*this);
    Session* session = userSession(call);
    if (session == nullptr)
        return;
    session->closing = true;
    tryClose(*session);
}

void TcpUsers::outputDrained(const std::string& call)
{
    Entry entry(*this);
    Session* session = userSession(call);
    if (session != nullptr && session->closing)
        tryClose(*session);
}

void TcpUsers::tryClose(Session& session)
{
    if (p_.output.waiting(TCP_USER_PORT, session.call) > 0 || session.socket->bytesToWrite() > 0)
        return;
    end(session, "", true);
}

void TcpUsers::lost(Session& session, const std::string& why)
{
    Entry entry(*this);
    if (session.gone)
        return;
    trace(3, "Connection from " + session.shown + " " + why);
    end(session, "", true);
}

void TcpUsers::end(Session& session, const std::string& why, bool depart)
{
    if (session.gone)
        return;
    session.gone = true;
    session.login.stop();
    session.timer.reset();
    const std::string call = session.call;
    if (!call.empty() && userSession(call) == &session) {
        users_.erase(call);
        p_.output.forget(TCP_USER_PORT, call);
        if (depart)
            p_.connections.tcpGone(call, why);
    }
    // Its handlers stay (one may be running): they find it gone.
    session.socket->close();
    auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s.get() == &session; });
    if (it != sessions_.end()) {
        dead_.push_back(std::move(*it));
        sessions_.erase(it);
    }
    if (depth_ == 0)
        dead_.clear();
}

void TcpUsers::closeAll()
{
    Entry entry(*this);
    listener_.reset();
    listen_ = {false, "", 0};
    // What they have not taken gets a moment, a second for all at the most.
    const int64_t until = p_.now() + CLOSE_WAIT;
    while (!sessions_.empty()) {
        Session& session = *sessions_.front();
        if (session.socket->bytesToWrite() > 0 && p_.now() < until)
            session.socket->flush(static_cast<int>(std::min<int64_t>(until - p_.now(), CLOSE_WAIT / 4)));
        end(session, "stop", true);
    }
}
