// Disconnects that wait until the station's last texts are on the air.
#include "server/DisconnectDrain.h"

#include "server/StationKey.h"

#include <algorithm>

namespace {

constexpr uint32_t POLL_INTERVAL = 1000;
// An engine that leaves "Y" unanswered this long does not know the request.
constexpr uint32_t ANSWER_WAIT = 2000;

std::string userTag(const PendingDisconnect& pending)
{
    return "{PALAVORO} User(" + std::to_string(pending.port) + ":" + pending.call + ") ";
}

} // namespace

DisconnectDrain::DisconnectDrain(const std::unique_ptr<AgwLink>& link, TimerFactory& timers, const int32_t& discWait,
                                 TraceLog& log)
    : link_(link), timers_(timers), discWait_(discWait), log_(log)
{
}

void DisconnectDrain::disconnectWhenSent(int32_t port, const std::string& ownCall, const std::string& call)
{
    if (isTcpUser(port)) {
        if (disconnectDirect)
            disconnectDirect(call);
        return;
    }
    if (!link_)
        return;
    const RadioPort portByte = static_cast<RadioPort>(port);
    // A second request while one waits changes nothing: its "d" follows what is queued.
    for (const PendingDisconnect& pending : pending_)
        if (pending.port == port && pending.call == call)
            return;
    const bool queuedHere = queued(port, call);
    if (discWait_ <= 0 || !link_->isActive() || (!queuedHere && !link_->askOutstanding(portByte, ownCall, call))) {
        link_->disconnect(portByte, ownCall, call);
        return;
    }
    PendingDisconnect& pending = pending_.emplace_back();
    pending.queuedHere = queuedHere;
    pending.port = port;
    pending.ownCall = ownCall;
    pending.call = call;
    pending.poll = timers_.createTimer();
    Timer* timer = pending.poll.get();
    timer->onTimer = [this, timer] { handlePoll(timer); };
    timer->setInterval(POLL_INTERVAL);
    timer->setEnabled(true);
}

void DisconnectDrain::handleConnFrames(AgwLink& /*link*/, RadioPort port, const std::string& callFrom,
                                       const std::string& callTo, int32_t frames)
{
    // Engines differ on which call of the connection they name first.
    auto pending = std::find_if(pending_.begin(), pending_.end(), [&](const PendingDisconnect& p) {
        return p.port == port &&
               ((p.ownCall == callFrom && p.call == callTo) || (p.ownCall == callTo && p.call == callFrom));
    });
    if (pending == pending_.end())
        return;
    if (frames != 0 || queued(pending->port, pending->call)) {
        pending->answered = true;
        return;
    }
    log_.writeLog(3, userTag(*pending) + "frames sent, disconnect");
    const RadioPort portByte = static_cast<RadioPort>(pending->port);
    const std::string ownCall = pending->ownCall;
    const std::string call = pending->call;
    pending_.erase(pending);
    link_->disconnect(portByte, ownCall, call);
}

void DisconnectDrain::handlePoll(Timer* timer)
{
    auto pending = std::find_if(pending_.begin(), pending_.end(),
                                [timer](const PendingDisconnect& p) { return p.poll.get() == timer; });
    if (pending == pending_.end() || !link_)
        return;
    PendingDisconnect& p = *pending;
    p.waited += POLL_INTERVAL;
    const RadioPort port = static_cast<RadioPort>(p.port);
    if (discWait_ <= 0 || p.waited >= static_cast<uint32_t>(discWait_)) {
        log_.writeLog(1,
                      userTag(p) + "frames still outstanding after " + std::to_string(discWait_) + " ms, disconnect");
    } else if (p.queuedHere) {
        return;
    } else if (p.answered) {
        p.answered = false;
        p.askedAt = p.waited;
        link_->askOutstanding(port, p.ownCall, p.call);
        return;
    } else if (p.waited - p.askedAt >= ANSWER_WAIT) {
        log_.writeLog(1, userTag(p) + "no answer to Y, disconnect");
    } else {
        return;
    }
    // Erasing the entry destroys this timer; nothing below touches it.
    const std::string ownCall = p.ownCall;
    const std::string call = p.call;
    pending_.erase(pending);
    link_->disconnect(port, ownCall, call);
}

void DisconnectDrain::outputDrained(int32_t port, const std::string& call)
{
    for (PendingDisconnect& p : pending_)
        if (p.port == port && p.call == call && p.queuedHere && link_) {
            p.queuedHere = false;
            p.askedAt = p.waited;
            if (!link_->askOutstanding(static_cast<RadioPort>(port), p.ownCall, p.call))
                p.answered = false;
            return;
        }
}

void DisconnectDrain::endDrain(int32_t port, const std::string& call)
{
    pending_.remove_if([&](const PendingDisconnect& p) { return p.port == port && p.call == call; });
}

void DisconnectDrain::disconnectAllNow()
{
    std::list<PendingDisconnect> pending = std::move(pending_);
    pending_.clear();
    if (!link_ || !link_->isActive())
        return;
    for (const PendingDisconnect& p : pending) {
        log_.writeLog(1, userTag(p) + "stopping, disconnect");
        link_->disconnect(static_cast<RadioPort>(p.port), p.ownCall, p.call);
    }
}

bool DisconnectDrain::isPending(int32_t port, const std::string& call) const
{
    return std::any_of(pending_.begin(), pending_.end(),
                       [&](const PendingDisconnect& p) { return p.port == port && p.call == call; });
}
