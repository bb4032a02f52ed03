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

    TraceLog log{"NOT", 1, "Hopnet.LOG"};
    bool active = false;
    int32_t interval = 240000;
    std::string text = "*** Beacon ****";
    std::string id = "ID";
    std::unique_ptr<Timer> beaconTimer;
    std::string callSign = "NOBODY";
    std::function<void(AgwLink& link, uint8_t port, const std::string& call, const std::string& id,
                       const std::string& via, const std::string& text)>
        onBeacon;
    std::string via;
    uint8_t pid = 0xF0;
    AgwLink* link = nullptr;

    void setInterval(int32_t milliseconds);
    void setActive(bool value);
    void tick();
    void post(AgwLink* link, uint8_t port, const std::string& call, const std::string& id, const std::string& via,
              const std::string& text);

private:
    TimerFactory& timers_;
};
