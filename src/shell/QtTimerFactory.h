// Timers on QTimer for the core: repeating, an interval of 0 never fires,
// setting the interval or enabling restarts the countdown, and a handler may
// destroy its own timer.
#pragma once

#include "support/Timer.h"

#include <memory>

class QTimer;

class QtTimer : public Timer {
public:
    QtTimer();
    ~QtTimer() override;
    QtTimer(const QtTimer&) = delete;
    QtTimer& operator=(const QtTimer&) = delete;

    void setInterval(uint32_t milliseconds) override;
    uint32_t interval() const override { return interval_; }
    void setEnabled(bool enabled) override;
    bool enabled() const override { return enabled_; }

private:
    void restart();

    QTimer* timer_; // owned; deleted through the event loop, as it may be firing
    uint32_t interval_ = 0;
    bool enabled_ = false;
};

class QtTimerFactory : public TimerFactory {
public:
    std::unique_ptr<Timer> createTimer() override;
};
