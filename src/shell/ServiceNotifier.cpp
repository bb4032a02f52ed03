// sd_notify from the event loop.
#include "ServiceNotifier.h"

#include "server/ChatServer.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr int64_t TICK_MS = 1000;

} // namespace

ServiceNotifier::ServiceNotifier(ChatServer& server) : server_(server)
{
    if (std::getenv("NOTIFY_SOCKET") == nullptr)
        return;
    uint64_t watchdogUsec = 0;
    watchdog_ = sd_watchdog_enabled(0, &watchdogUsec) > 0 && watchdogUsec > 0;
    // Keep-alives at a quarter of the watchdog's time at least, so a busy turn
    // of the loop does not pass for a hang.
    int64_t every = TICK_MS;
    if (watchdog_)
        every = std::max<int64_t>(1, std::min<int64_t>(every, static_cast<int64_t>(watchdogUsec / 4000)));
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
    timer_.start(static_cast<int>(every));
    tick();
}

std::string ServiceNotifier::statusText(ChatServer& server)
{
    return server.stateLine();
}

void ServiceNotifier::reloading(bool begins)
{
    if (std::getenv("NOTIFY_SOCKET") == nullptr)
        return;
    sd_notify(0, begins ? "RELOADING=1" : "READY=1");
}

void ServiceNotifier::tick()
{
    std::string message;
    const std::string status = statusText(server_);
    if (status != status_) {
        status_ = status;
        message += "STATUS=" + status + "\n";
    }
    if (!ready_ && (server_.keeper().isRegistered() || server_.keeper().isWaiting())) {
        ready_ = true;
        message += "READY=1\n";
    }
    if (watchdog_)
        message += "WATCHDOG=1\n";
    if (!message.empty())
        sd_notify(0, message.c_str());
}
