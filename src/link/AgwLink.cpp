// The link's connection to the engine: settings, login, registration, the
// socket's notifications and port polling.
#include "AgwLink.h"

#include "support/HexStr.h"

#include <algorithm>

namespace {

constexpr size_t LOGIN_FIELD = 255;

bool isMonitorLetter(char c)
{
    const char upper = upperStr(std::string_view(&c, 1))[0];
    return std::string_view("MIUSCN").find(upper) != std::string_view::npos;
}

} // namespace

AgwLink::AgwLink(std::unique_ptr<ClientSocket> socket, TimerFactory& timers)
    : socket_(std::move(socket)), timers_(timers)
{
    socket_->onConnected = [this] { socketConnected(); };
    socket_->onClosed = [this] { socketClosed(); };
    socket_->onError = [this](int& errorCode) { socketError(errorCode); };
    socket_->onDataAvailable = [this] { socketReadable(); };
    socket_->onWritten = [this] { outputTaken(); };
}

AgwLink::~AgwLink()
{
    if (portTimer_) {
        portTimer_->setEnabled(false);
        portTimer_.reset();
    }
    writeLog(1, "{L2} AGW Object Destroyed");
    if (onDestroy)
        onDestroy(*this);
    // Unhook first: closing an open socket reports the close, and this object
    // is no longer there to hear it.
    socket_->onConnected = nullptr;
    socket_->onClosed = nullptr;
    socket_->onError = nullptr;
    socket_->onDataAvailable = nullptr;
    socket_->onWritten = nullptr;
    socket_->close();
}

void AgwLink::open()
{
    if (address_.empty() && host_.empty()) {
        writeLog(1, "{L2} ERROR No IP Address or HostName indicated, object creation aborted");
        return;
    }
    if (callSign_.empty()) {
        writeLog(1, "{L2} ERROR No CallSign indicated, object creation aborted");
        return;
    }
    portCount_ = MAX_PORTS;
    std::fill(ports_.begin(), ports_.end(), EnginePort{});
    // Nothing of an earlier connection's stream may be read as part of this one.
    rxBuffer_.clear();
    rxStart_ = 0;
    pending_ = false;
    active_ = false;
    registered_ = false;
    endBacklog();

    const bool byName = !host_.empty();
    socket_->connectTo(byName ? host_ : address_, tcpPort_);
    writeLog(retrying_ ? 3 : 1,
             "{L2} AGW Object Opened " + (byName ? std::string() : address_) + ":" + std::to_string(tcpPort_));
}

void AgwLink::reopen()
{
    closing_ = true;
    socket_->close();
    closing_ = false;
    if (portTimer_)
        portTimer_->setEnabled(false);
    retrying_ = true;
    open();
}

void AgwLink::breakLink(const std::string& reason)
{
    writeLog(1, "{L2} Link with AGWPE broken: " + reason);
    active_ = false;
    registered_ = false;
    rxBuffer_.clear();
    rxStart_ = 0;
    pending_ = false;
    closing_ = true;
    socket_->close();
    closing_ = false;
    if (outputTimer_)
        outputTimer_->setEnabled(false);
    // Raised from the event loop: the break may come in the middle of a send
    // to many stations, and the handler drops them all.
    brokenReason_ = reason;
    if (!brokenTimer_)
        brokenTimer_ = timers_.createTimer();
    brokenTimer_->onTimer = [this] {
        brokenTimer_->setEnabled(false);
        endBacklog();
        fireEvent(onBroken, "FOnBroken", brokenReason_);
    };
    brokenTimer_->setInterval(1);
    brokenTimer_->setEnabled(true);
}

void AgwLink::setAddress(const std::string& value)
{
    if (active_) {
        writeLog(1, "{L2} Error can not change the IP Address while active");
        return;
    }
    writeLog(3, "{L2} Set Address " + value);
    address_ = value;
}

void AgwLink::setPort(uint32_t value)
{
    if (active_) {
        writeLog(1, "{L2} Error can not change the TCP Port while active");
        return;
    }
    writeLog(3, "{L2} Set TCP Port " + std::to_string(value));
    if (value != 0)
        tcpPort_ = value;
}

void AgwLink::setCallSign(const std::string& value)
{
    if (active_) {
        writeLog(1, "{L2} Error can not change the callsign while active");
        return;
    }
    writeLog(3, "{L2} Set CallSign " + value);
    callSign_ = value;
}

void AgwLink::setLogin(const std::string& user, const std::string& password)
{
    loginUser_ = user;
    loginPassword_ = password;
}

void AgwLink::setRegister(bool value)
{
    try {
        writeLog(1, "{L2} Set Register " + boolText(value) + " CallSign(" + callSign_ + ")");
        if (value == registered_) {
            writeLog(1, "{L2} Set Register ignored for CallSign(" + callSign_ + ")");
            return;
        }
        // Registered follows AGWPE's answer, not the request.
        if (active_) {
            if (value)
                agwRegister(callSign_);
            else
                agwUnRegister(callSign_);
        }
    } catch (...) {
        writeLog(1, "{L2} Exception on module SetRegister");
    }
}

void AgwLink::setMonitor(const std::string& value)
{
    writeLog(1, "{L2} Set Monitor <" + value + "> CallSign(" + callSign_ + ")");
    if (value.empty() || !std::all_of(value.begin(), value.end(), isMonitorLetter))
        return;
    const std::string wanted = upperStr(value);
    // "m" toggles AGWPE's monitoring, so it is sent only when it goes on or off.
    if ((monitor_ == "N") != (wanted == "N")) {
        if (active_)
            write(0, 0, 'm', "", "", "");
        monitor_ = wanted;
    }
}

void AgwLink::socketConnected()
{
    try {
        writeLog(1, "{L2} Connected with AGWPE");
        active_ = true;
        retrying_ = false;
        if (!loginUser_.empty() && !loginPassword_.empty()) {
            // The password never reaches the trace in clear: the line and every dump star it out.
            writeLog(3, "{L2} Sending Login Frame User(" + loginUser_ + ") Paswd(****)");
            if (loginUser_.size() > LOGIN_FIELD)
                loginUser_.resize(LOGIN_FIELD);
            if (loginPassword_.size() > LOGIN_FIELD)
                loginPassword_.resize(LOGIN_FIELD);
            const std::string login =
                padRight(loginUser_, LOGIN_FIELD, '\0') + padRight(loginPassword_, LOGIN_FIELD, '\0');
            writeLog(4, "{L2} <OnAGWUp> Login Frame Info Area");
            if (log_.enabled(4))
                writeHex(4, dataForTrace('P', login));
            write(0, 0, 'P', "", "", login);
        }
        fireEvent(onAgwUp, "FOnAGWUp");
        write(0, 0, 'G', "", "", "");
        write(0, 0, 'R', "", "", "");
        if (rawFrames_)
            write(0, 0, 'k', "", "", "");
        if (monitor_.find_first_of("UISC") != std::string::npos)
            write(0, 0, 'm', "", "", "");
    } catch (...) {
        writeLog(1, "{L2} Exception on module AGWConnect");
    }
}

void AgwLink::socketClosed()
{
    try {
        if (closing_)
            return;
        writeLog(retrying_ ? 3 : 1, "{L2} Disconnected from AGWPE");
        active_ = false;
        endBacklog();
        fireEvent(onAgwDown, "FOnAGWDown");
    } catch (...) {
        writeLog(1, "{L2} Exception on module AGWDisc");
    }
}

void AgwLink::socketError(int& errorCode)
{
    try {
        if (closing_)
            return;
        writeLog(retrying_ ? 3 : 1, "{L2} <AGWError> Socket Error from AGWPE");
        active_ = false;
        endBacklog();
        fireEvent(onAgwError, "FOnAGWError");
        errorCode = 0;
    } catch (...) {
        writeLog(1, "{L2} Exception on module AGWError");
    }
}

void AgwLink::socketReadable()
{
    try {
        const std::string bytes = socket_->readAll();
        writeLog(5, "{L2} Read from AGWPE Socket ");
        writeHex(5, bytes);
        if (!bytes.empty())
            store(bytes);
    } catch (...) {
        writeLog(1, "{L2} Exception on module AGWRead");
    }
}

void AgwLink::portTimerTick()
{
    if (portTimer_)
        portTimer_->setEnabled(false);
    write(0, 0, 'G', "", "", "");
}
