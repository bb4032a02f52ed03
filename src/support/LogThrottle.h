// Log lines of one cause at a bounded rate, for what strangers can make
// happen as often as they like (refused connections, failed logins): the
// first line of a cause at once, then at most one a minute, the last of them,
// with how many there were since the line before.
#pragma once

#include "support/Timer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

class LogThrottle {
public:
    static constexpr uint32_t EVERY = 60000;

    LogThrottle(TimerFactory& timers, std::function<void(const std::string&)> write)
        : timers_(timers), write_(std::move(write))
    {
    }

    // One event of `cause`, which `line` tells (naming its address).
    void note(const std::string& cause, const std::string& line);

private:
    struct Cause {
        std::string last;
        size_t since = 0; // events since the last line written
        std::unique_ptr<Timer> timer;
    };

    void tick(const std::string& cause);

    TimerFactory& timers_;
    std::function<void(const std::string&)> write_;
    std::map<std::string, Cause> causes_;
    std::unique_ptr<Timer> retired_; // the timer of a cause just forgotten
};
