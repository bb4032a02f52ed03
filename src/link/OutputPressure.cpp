// Back-pressure to the engine: while much output waits for it, the owner is
// told, so that it makes no more until the engine has taken most of it; and
// while the owner holds too much of what the engine sent, the engine is not
// read. Only an engine that takes nothing for a long time breaks the link.
#include "AgwLink.h"

std::string AgwLink::engineAddress() const
{
    return (host_.empty() ? address_ : host_) + ":" + std::to_string(tcpPort_);
}

void AgwLink::noteOutput()
{
    const size_t waiting = socket_->bytesToWrite();
    if (waiting == 0)
        return;
    if (waiting > highWater_ && !backlogged_)
        setBacklogged(true);
    if (engineWait_ == 0)
        return;
    if (!outputTimer_) {
        outputTimer_ = timers_.createTimer();
        outputTimer_->onTimer = [this] { outputTick(); };
        outputTimer_->setInterval(OUTPUT_TICK);
    }
    if (!outputTimer_->enabled()) {
        stalledFor_ = 0;
        outputTimer_->setEnabled(true);
    }
}

void AgwLink::setBacklogged(bool on)
{
    backlogged_ = on;
    writeLog(3, "{L2} " + std::to_string(socket_->bytesToWrite()) + " bytes waiting for the engine, output " +
                    (on ? "held back" : "going on"));
    fireEvent(onBacklog, "FOnBacklog", on);
}

void AgwLink::holdInput(bool hold)
{
    inputHeld_ = hold;
    if (!socket_)
        return;
    socket_->setReading(!hold);
    // Frames read before the hold come first; a store under way goes on by itself.
    if (!hold && active_ && !storing_ && rxBuffer_.size() > rxStart_)
        store({});
}

void AgwLink::outputTaken()
{
    stalledFor_ = 0;
    if (backlogged_ && active_ && socket_->bytesToWrite() < lowWater_)
        setBacklogged(false);
}

void AgwLink::outputTick()
{
    const size_t waiting = socket_->bytesToWrite();
    if (waiting == 0 || !active_) {
        outputTimer_->setEnabled(false);
        stalledFor_ = 0;
    } else {
        stalledFor_ += OUTPUT_TICK;
    }
    // Bytes the system took without a notification count all the same.
    if (backlogged_ && active_ && waiting < lowWater_) {
        setBacklogged(false);
        return;
    }
    if (engineWait_ != 0 && stalledFor_ >= engineWait_) {
        outputTimer_->setEnabled(false);
        breakLink("the engine at " + engineAddress() + " took nothing of " + std::to_string(waiting) + " bytes in " +
                  std::to_string(engineWait_ / 1000) + " s");
    }
}

void AgwLink::endBacklog()
{
    if (outputTimer_)
        outputTimer_->setEnabled(false);
    stalledFor_ = 0;
    if (!backlogged_)
        return;
    backlogged_ = false;
    fireEvent(onBacklog, "FOnBacklog", false);
}
