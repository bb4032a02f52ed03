// Timers on a manual clock: Advance(ms) fires, in time order, every timer that
// falls due, so a test of a time-out runs in microseconds.
#pragma once

#include "support/Timer.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

class ManualClock : public TimerFactory {
public:
    class FakeTimer : public Timer {
    public:
        explicit FakeTimer(ManualClock& clock) : clock_(clock) { clock_.timers_.push_back(this); }
        ~FakeTimer() override
        {
            auto& list = clock_.timers_;
            list.erase(std::remove(list.begin(), list.end(), this), list.end());
        }
        void setInterval(uint32_t milliseconds) override
        {
            interval_ = milliseconds;
            due_ = clock_.now_ + interval_;
        }
        uint32_t interval() const override { return interval_; }
        void setEnabled(bool enabled) override
        {
            if (enabled && !enabled_)
                due_ = clock_.now_ + interval_;
            enabled_ = enabled;
        }
        bool enabled() const override { return enabled_; }
        uint64_t due() const { return due_; }

    private:
        friend class ManualClock;
        ManualClock& clock_;
        uint32_t interval_ = 0;
        bool enabled_ = false;
        uint64_t due_ = 0;
    };

    std::unique_ptr<Timer> createTimer() override { return std::make_unique<FakeTimer>(*this); }

    uint64_t now() const { return now_; }
    size_t liveTimers() const { return timers_.size(); }
    size_t runningTimers() const
    {
        return std::count_if(timers_.begin(), timers_.end(),
                             [](const FakeTimer* t) { return t->enabled_ && t->interval_ > 0; });
    }

    void advance(uint64_t milliseconds)
    {
        const uint64_t target = now_ + milliseconds;
        for (;;) {
            FakeTimer* next = nullptr;
            for (FakeTimer* t : timers_)
                if (t->enabled_ && t->interval_ > 0 && t->due_ <= target && (next == nullptr || t->due_ < next->due_))
                    next = t;
            if (next == nullptr)
                break;
            now_ = next->due_;
            next->due_ += next->interval_;
            auto handler = next->onTimer; // the handler may destroy the timer
            if (handler)
                handler();
        }
        now_ = target;
    }

private:
    uint64_t now_ = 0;
    std::vector<FakeTimer*> timers_;
};
