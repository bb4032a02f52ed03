// The UI beacon: its timer cycle over the ports and the frame it posts.
#include "Beacon.h"

#include <algorithm>

Beacon::Beacon(TimerFactory& timers) : timers_(timers)
{
    log_.writeLog(1, "{L2Beacon} L2 Broadcast Object Created");
}

Beacon::~Beacon()
{
    if (timer_) {
        timer_->setEnabled(false);
        timer_.reset();
    }
    log_.writeLog(5, "{L2Beacon} L2 BroadCast Object Released");
}

void Beacon::setInterval(int32_t milliseconds)
{
    if (interval_ == 0 && milliseconds != 0) {
        interval_ = milliseconds;
        setActive(true);
    } else if (interval_ != 0 && milliseconds == 0) {
        interval_ = 0;
        setActive(false);
    } else if (interval_ != 0) {
        // A running timer takes the new value at its next tick.
        interval_ = milliseconds;
    }
}

void Beacon::setActive(bool value)
{
    if (value == active_)
        return;
    active_ = value;
    if (value) {
        if (!timer_)
            timer_ = timers_.createTimer();
        timer_->setInterval(static_cast<uint32_t>(interval_));
        timer_->onTimer = [this] { tick(); };
        timer_->setEnabled(true);
        tick();
        log_.writeLog(1, "{L2Beacon} L2 BroadCast Object started");
    } else {
        if (timer_) {
            timer_->setEnabled(false);
            timer_.reset();
        }
        log_.writeLog(1, "{L2Beacon} L2 BroadCast Object stopped");
    }
}

void Beacon::tick()
{
    if (link_ == nullptr) {
        log_.writeLog(1, "{L2Beacon} ERROR No L2 Object Assigned (AGWL2 property)");
        return;
    }
    log_.writeLog(4, "{L2Beacon} Beacon Timer Tick");
    // A beacon adds nothing to output that waits for the engine: this round is left out.
    if (link_->outputBacklogged()) {
        log_.writeLog(3, "{L2Beacon} Output waiting for the engine, beacon left out");
        return;
    }
    // A handler may reassign or clear the event while it runs; the cycle goes
    // on with the one it started with.
    const auto handler = onBeacon;
    // Port numbers travel as one byte.
    const int32_t last = std::min<int32_t>(link_->portCount(), 255);
    for (int32_t number = last; number >= 1; --number) {
        const auto port = static_cast<uint8_t>(number);
        if (handler)
            handler(*link_, port, callSign_, id_, via_, text_);
        else
            post(link_, port, callSign_, id_, via_, text_);
    }
    // The handler may have stopped the beacon, and with it released the timer.
    if (interval_ != 0 && timer_) {
        timer_->setInterval(static_cast<uint32_t>(interval_));
        timer_->setEnabled(true);
    }
}

void Beacon::post(AgwLink* link, uint8_t port, const std::string& call, const std::string& id, const std::string& via,
                  const std::string& text)
{
    if (link == nullptr) {
        log_.writeLog(1, "{L2Beacon} ERROR Invalid Reference to L2 Object");
        log_.writeHex(5, text_);
        return;
    }
    // A path of blanks only gives no via block; a "V" frame without its count
    // byte would have AGWPE take the text's first byte as the count.
    const std::string vias = via.empty() ? std::string() : AgwLink::viaList(via);
    if (vias.empty()) {
        link->write(port, pid_, 'M', call, id, text);
    } else {
        // A long text goes out in several frames, each with the via block in
        // front: the engine reads every "V" frame's first byte as the count.
        const size_t room = MAXFRAME - 1 - vias.size();
        size_t at = 0;
        do {
            link->write(port, pid_, 'V', call, id, vias + text.substr(at, room));
            at += room;
        } while (at < text.size());
    }
    log_.writeLog(4, "{L2Beacon} Post Performed for Port(" + std::to_string(port) + ")");
}
