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

    virtual void setInterval(uint32_t milliseconds) = 0;
    virtual uint32_t interval() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool enabled() const = 0;

    std::function<void()> onTimer;
};

class TimerFactory {
public:
    virtual ~TimerFactory() = default;
    // A new timer, disabled, interval 0.
    virtual std::unique_ptr<Timer> createTimer() = 0;
};
