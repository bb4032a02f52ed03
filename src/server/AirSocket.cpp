// An AX.25 connection as a client socket, paced by the engine's frame count.
#include "server/AirSocket.h"

#include <algorithm>
#include <utility>

AirSocket::AirSocket(const std::unique_ptr<AgwLink>& link, TimerFactory& timers, std::string ownCall, std::string via)
    : link_(link), timers_(timers), ownCall_(std::move(ownCall)), via_(std::move(via))
{
    ask_ = timers_.createTimer();
    ask_->setInterval(ASK_EVERY);
    ask_->onTimer = [this] { tick(); };
}

AirSocket::~AirSocket()
{
    if (onGone)
        onGone(*this);
}

void AirSocket::connectTo(const std::string& host, uint32_t port)
{
    call_ = host;
    radioPort_ = static_cast<RadioPort>(port);
    state_ = State::Connecting;
    if (onDial && !onDial(*this)) {
        fail(call_ + " is connected already");
        return;
    }
    const bool sent = link_ && link_->isActive() &&
                      (via_.empty() ? link_->write(radioPort_, 0xF0, 'C', ownCall_, call_, "")
                                    : link_->write(radioPort_, 0xF0, 'v', ownCall_, call_, AgwLink::viaList(via_)));
    if (!sent)
        fail("the engine is not ready");
}

void AirSocket::adoptOpen(RadioPort radioPort, const std::string& call, std::string alreadyReceived)
{
    radioPort_ = radioPort;
    call_ = call;
    state_ = State::Open;
    received_ = std::move(alreadyReceived);
}

void AirSocket::fail(const std::string& reason)
{
    // Reported from the event loop: the caller is still setting the link up.
    error_ = reason;
    state_ = State::Closed;
    later_ = timers_.createTimer();
    later_->setInterval(1);
    later_->onTimer = [this] {
        later_->setEnabled(false);
        int code = 1;
        if (onError)
            onError(code);
    };
    later_->setEnabled(true);
}

void AirSocket::connected()
{
    if (state_ != State::Connecting)
        return;
    state_ = State::Open;
    if (onConnected)
        onConnected();
}

void AirSocket::received(std::string_view data)
{
    if (state_ != State::Open)
        return;
    received_.append(data);
    if (reading_ && onDataAvailable)
        onDataAvailable();
}

void AirSocket::setReading(bool on)
{
    reading_ = on;
    if (reading_ && !received_.empty() && onDataAvailable)
        onDataAvailable();
}

void AirSocket::disconnected(const std::string& reason)
{
    if (state_ == State::Closed)
        return;
    const bool wasOpen = state_ == State::Open;
    state_ = State::Closed;
    held_.clear();
    ask_->setEnabled(false);
    error_ = reason;
    if (onGone)
        onGone(*this);
    onGone = nullptr;
    if (wasOpen) {
        if (onClosed)
            onClosed();
    } else {
        int code = 1;
        if (onError)
            onError(code);
    }
}

std::string AirSocket::readAll()
{
    return std::exchange(received_, {});
}

void AirSocket::sendBytes(std::string_view bytes)
{
    if (state_ != State::Open)
        return;
    held_.append(bytes);
    if (held_.size() > MAX_HELD) {
        error_ = std::to_string(held_.size()) + " bytes wait for the air";
        int code = 1;
        if (onError)
            onError(code);
        return;
    }
    pump();
}

void AirSocket::pump()
{
    if (state_ != State::Open || !link_)
        return;
    bool sent = false;
    while (!held_.empty() && outstanding_ < MAX_OUTSTANDING) {
        const size_t size = std::min(held_.size(), FRAME_BYTES);
        link_->sendData(radioPort_, 0xF0, ownCall_, call_, held_.substr(0, size));
        held_.erase(0, size);
        ++outstanding_;
        ++sentSinceAsk_;
        sent = true;
    }
    if (sent && !asking_)
        ask();
    if (outstanding_ > 0 && !ask_->enabled())
        ask_->setEnabled(true);
}

void AirSocket::ask()
{
    if (link_ && link_->askOutstanding(radioPort_, ownCall_, call_)) {
        asking_ = true;
        sentSinceAsk_ = 0;
    }
}

void AirSocket::tick()
{
    // An answer lost on the way must not stall the link for good.
    asking_ = false;
    if (state_ != State::Open || outstanding_ == 0) {
        ask_->setEnabled(false);
        return;
    }
    ask();
}

void AirSocket::outstanding(int32_t frames)
{
    if (!asking_)
        return;
    asking_ = false;
    // Frames given after the question are not in the answer yet.
    outstanding_ = std::max(frames, 0) + sentSinceAsk_;
    sentSinceAsk_ = 0;
    const size_t before = held_.size();
    pump();
    if (held_.size() < before && onWritten)
        onWritten();
    if (outstanding_ == 0)
        ask_->setEnabled(false);
}

void AirSocket::close()
{
    if (state_ == State::Closed || state_ == State::Idle) {
        state_ = State::Closed;
        return;
    }
    state_ = State::Closed;
    held_.clear();
    ask_->setEnabled(false);
    if (onClose)
        onClose(*this);
    if (onGone)
        onGone(*this);
    onGone = nullptr;
}
