#include "Beacon.h"

#include <algorithm>

Beacon::Beacon(TimerFactory& timers) : timers_(timers)
{
    log.writeLog(1, "{L2Beacon} L2 Broadcast Object Created");
}

Beacon::~Beacon()
{
    if (beaconTimer) {
        beaconTimer->setEnabled(false);
        beaconTimer.reset();
    }
    log.writeLog(5, "{L2Beacon} L2 BroadCast Object Released");
}

void Beacon::setInterval(int32_t milliseconds)
{
    if (interval == 0 && milliseconds != 0) {
        interval = milliseconds;
        setActive(true);
    } else if (interval != 0 && milliseconds == 0) {
        interval = 0;
        setActive(false);
    } else if (interval != 0) {
        // A running timer takes the new value at its next tick.
        interval = milliseconds;
    }
}

void Beacon::setActive(bool value)
{
    if (value == active)
        return;
    active = value;
    if (value) {
        if (!beaconTimer)
            beaconTimer = timers_.createTimer();
        beaconTimer->setInterval(static_cast<uint32_t>(interval));
        beaconTimer->onTimer = [this] { tick(); };
        beaconTimer->setEnabled(true);
        tick();
        log.writeLog(1, "{L2Beacon} L2 BroadCast Object started");
    } else {
        if (beaconTimer) {
            beaconTimer->setEnabled(false);
            beaconTimer.reset();
        }
        log.writeLog(1, "{L2Beacon} L2 BroadCast Object stopped");
    }
}

void Beacon::tick()
{
    if (link == nullptr) {
        log.writeLog(1, "{L2Beacon} ERROR No L2 Object Assigned (AGWL2 property)");
        return;
    }
    log.writeLog(4, "{L2Beacon} Beacon Timer Tick");
    // A handler may reassign or clear the event while it runs; the cycle goes
    // on with the one it started with.
    const auto handler = onBeacon;
    // Port numbers travel as one byte.
    const int32_t last = std::min<int32_t>(link->portCount, 255);
    for (int32_t number = last; number >= 1; --number) {
        const auto port = static_cast<uint8_t>(number);
        if (handler)
            handler(*link, port, callSign, id, via, text);
        else
            post(link, port, callSign, id, via, text);
    }
    // The handler may have stopped the beacon, and with it released the timer.
    if (interval != 0 && beaconTimer) {
        beaconTimer->setInterval(static_cast<uint32_t>(interval));
        beaconTimer->setEnabled(true);
    }
}

void Beacon::post(AgwLink* link, uint8_t port, const std::string& call, const std::string& id, const std::string& via,
                  const std::string& text)
{
    if (link == nullptr) {
        log.writeLog(1, "{L2Beacon} ERROR Invalid Reference to L2 Object");
        log.writeHex(5, this->text);
        return;
    }
    // A path of blanks only gives no via block; a "V" frame without its count
    // byte would have AGWPE take the text's first byte as the count.
    const std::string vias = via.empty() ? std::string() : AgwLink::viaList(via);
    if (vias.empty())
        link->write(port, pid, 'M', call, id, text);
    else
        link->write(port, pid, 'V', call, id, vias + text);
    log.writeLog(4, "{L2Beacon} Post Performed for Port(" + std::to_string(port) + ")");
}
