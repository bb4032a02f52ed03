// A repeating timer on the owner's thread, like a message-loop timer: it fires
// every Interval milliseconds while enabled; an interval of 0 never fires.
// Setting the interval or enabling it restarts the countdown. A handler may
// destroy its own timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class Timer {
public:
    virtual ~Timer() = default;

    virtual void SetInterval(uint32_t milliseconds) = 0;
    virtual uint32_t Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;

    std::function<void()> OnTimer;
};

class TimerFactory {
public:
    virtual ~TimerFactory() = default;
    // A new timer, disabled, interval 0.
    virtual std::unique_ptr<Timer> CreateTimer() = 0;
};
