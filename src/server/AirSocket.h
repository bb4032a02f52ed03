// One AX.25 connection through the engine, seen as a client socket so that a
// host link runs over it as over TCP. Radio is slow: what is sent waits here
// and goes to the engine only while few of its frames are outstanding there.
#pragma once

#include "link/AgwLink.h"
#include "support/ClientSocket.h"
#include "support/Timer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class AirSocket : public ClientSocket {
public:
    // Frames of this connection the engine may hold unsent or unacknowledged.
    static constexpr int32_t MAX_OUTSTANDING = 4;
    // Bytes per frame: one engine frame each.
    static constexpr size_t FRAME_BYTES = 255;
    // What may wait here before the neighbour counts as not reading.
    static constexpr size_t MAX_HELD = 32 * 1024;
    // How often the engine is asked how many frames still wait.
    static constexpr uint32_t ASK_EVERY = 1000;

    enum class State { Idle, Connecting, Open, Closed };

    // `ownCall` is the server's callsign; `via` blank-separated digipeaters.
    AirSocket(const std::unique_ptr<AgwLink>& link, TimerFactory& timers, std::string ownCall, std::string via);
    ~AirSocket() override;

    // `host` is the neighbour's callsign, `port` the radio port (1-based).
    void connectTo(const std::string& host, uint32_t port) override;
    bool isOpen() const override { return state_ == State::Open; }
    void sendBytes(std::string_view bytes) override;
    std::string readAll() override;
    void close() override;
    size_t bytesToWrite() const override { return held_.size(); }
    void flush(int /*milliseconds*/) override {}
    std::string errorString() const override { return error_; }
    // What arrives while reading is off is kept and announced when it is on again.
    void setReading(bool on) override;

    // The engine's side of the connection.
    void connected();
    void received(std::string_view data);
    void disconnected(const std::string& reason);
    // The engine's answer to the question how many frames still wait.
    void outstanding(int32_t frames);
    void adoptOpen(RadioPort radioPort, const std::string& call, std::string alreadyReceived);

    State state() const { return state_; }
    RadioPort radioPort() const { return radioPort_; }
    const std::string& call() const { return call_; }
    const std::string& ownCall() const { return ownCall_; }
    int32_t framesOutstanding() const { return outstanding_; }

    // Before a dial: the owner's yes, or no when that callsign is connected already.
    std::function<bool(AirSocket&)> onDial;
    // The connection is over or about to be: the owner forgets it.
    std::function<void(AirSocket&)> onGone;
    // Our own disconnect, once what was sent has gone out.
    std::function<void(AirSocket&)> onClose;

private:
    void pump();
    void ask();
    void tick();
    void fail(const std::string& reason);

    const std::unique_ptr<AgwLink>& link_;
    TimerFactory& timers_;
    const std::string ownCall_;
    const std::string via_;
    std::string call_;
    RadioPort radioPort_ = 1;
    State state_ = State::Idle;
    std::string held_;     // to be sent, not yet given to the engine
    std::string received_; // from the neighbour, not yet read
    bool reading_ = true;
    std::string error_;
    int32_t outstanding_ = 0;
    int32_t sentSinceAsk_ = 0; // frames given after the last question
    bool asking_ = false;
    std::unique_ptr<Timer> ask_;
    std::unique_ptr<Timer> later_; // a failure reported from the event loop
};
