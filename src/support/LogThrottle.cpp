// Rate-limited log lines.
#include "support/LogThrottle.h"

void LogThrottle::note(const std::string& cause, const std::string& line)
{
    auto [it, fresh] = causes_.try_emplace(cause);
    Cause& c = it->second;
    if (!fresh) {
        c.last = line;
        ++c.since;
        return;
    }
    c.timer = timers_.createTimer();
    c.timer->onTimer = [this, cause] { tick(cause); };
    c.timer->setInterval(EVERY);
    c.timer->setEnabled(true);
    write_(line);
}

void LogThrottle::tick(const std::string& cause)
{
    auto it = causes_.find(cause);
    if (it == causes_.end())
        return;
    Cause& c = it->second;
    if (c.since == 0) {
        // A quiet minute: the next one is written at once again. The timer
        // goes later, not inside its own handler's call.
        c.timer->setEnabled(false);
        retired_ = std::move(c.timer);
        causes_.erase(it);
        return;
    }
    write_(c.last + " (" + std::to_string(c.since) + " since the last such line)");
    c.since = 0;
}
