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
    const size_t stations = server.directory().stationCount();
    std::string text = std::to_string(stations) + (stations == 1 ? " station on; " : " stations on; ");
    AgwLink* link = server.link();
    if (link == nullptr)
        return text + "no link";
    const std::string engine =
        (link->host().empty() ? link->address() : link->host()) + ":" + std::to_string(link->tcpPort());
    if (link->isActive() && server.keeper().isRegistered())
        return text + "link ready: " + link->callSign() + " registered at " + engine;
    if (link->isActive())
        return text + "registering " + link->callSign() + " with the engine at " + engine;
    if (server.keeper().isWaiting())
        return text + "waiting for the engine at " + engine;
    return text + "connecting to the engine at " + engine;
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
