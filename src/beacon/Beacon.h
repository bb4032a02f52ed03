// Beacon: a fixed text sent as an unproto (UI) frame on every radio port at
// a fixed interval, through the link object.
#pragma once

#include "link/AgwLink.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Beacon {
public:
    explicit Beacon(TimerFactory& timers);
    ~Beacon();
    Beacon(const Beacon&) = delete;
    Beacon& operator=(const Beacon&) = delete;

    void setCallSign(const std::string& value) { callSign_ = value; }
    // The destination callsign of the UI frame.
    void setDestination(const std::string& value) { id_ = value; }
    // Digipeaters, blank separated.
    void setVia(const std::string& value) { via_ = value; }
    void setText(const std::string& value) { text_ = value; }
    // The link the frames go through; the beacon does not own it.
    void setLink(AgwLink* link) { link_ = link; }
    // Milliseconds between two cycles; 0 stops the beacon, and a value after 0
    // starts it again.
    void setInterval(int32_t milliseconds);
    void setActive(bool value);

    const std::string& callSign() const { return callSign_; }
    const std::string& destination() const { return id_; }
    const std::string& via() const { return via_; }
    const std::string& text() const { return text_; }
    AgwLink* link() const { return link_; }
    int32_t interval() const { return interval_; }
    bool isActive() const { return active_; }
    uint8_t pid() const { return pid_; }
    // The running timer, or none while stopped.
    const Timer* timer() const { return timer_.get(); }
    TraceLog& traceLog() { return log_; }

    // Replaces sending: raised for each port instead of posting the frame.
    std::function<void(AgwLink& link, uint8_t port, const std::string& call, const std::string& id,
                       const std::string& via, const std::string& text)>
        onBeacon;

    // One cycle: every port, highest first.
    void tick();
    // Sends the beacon frame on one port ("M", or "V" with a via block).
    void post(AgwLink* link, uint8_t port, const std::string& call, const std::string& id, const std::string& via,
              const std::string& text);

private:
    TimerFactory& timers_;
    TraceLog log_{"NOT", 1, "Hopnet.LOG"};
    bool active_ = false;
    int32_t interval_ = 240000;
    std::string text_ = "*** Beacon ****";
    std::string id_ = "ID";
    std::unique_ptr<Timer> timer_;
    std::string callSign_ = "NOBODY";
    std::string via_;
    uint8_t pid_ = 0xF0;
    AgwLink* link_ = nullptr;
};
