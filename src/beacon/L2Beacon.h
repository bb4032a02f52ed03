// TL2Beacon: a fixed text sent as an unproto (UI) frame on every radio port at
// a fixed interval, through the link object.
#pragma once

#include "link/AGWL2.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TL2Beacon {
public:
    explicit TL2Beacon(TimerFactory& timers);
    ~TL2Beacon();
    TL2Beacon(const TL2Beacon&) = delete;
    TL2Beacon& operator=(const TL2Beacon&) = delete;

    TraceLog Log{"NOT", 1, "Hopnet.LOG"};
    bool Active = false;
    int32_t Interval = 240000;
    std::string Text = "*** Beacon ****";
    std::string ID = "ID";
    std::unique_ptr<Timer> BeaconTimer;
    std::string CallSign = "NOBODY";
    std::function<void(TL2& link, uint8_t Port, const std::string& Call, const std::string& ID_,
                       const std::string& Via_, const std::string& Text_)>
        OnBeacon;
    std::string Via;
    uint8_t PID = 0xF0;
    TL2* AGWL2 = nullptr;

    void SetInterval(int32_t milliseconds);
    void SetActive(bool value);
    void Tick();
    void Post(TL2* link, uint8_t Port, const std::string& Call, const std::string& ID_, const std::string& Via_,
              const std::string& Text_);

private:
    TimerFactory& timers_;
};
