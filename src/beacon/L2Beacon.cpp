#include "L2Beacon.h"

#include <algorithm>

TL2Beacon::TL2Beacon(TimerFactory& timers) : timers_(timers)
{
    Log.WriteLog(1, "{L2Beacon} L2 Broadcast Object Created");
}

TL2Beacon::~TL2Beacon()
{
    if (BeaconTimer) {
        BeaconTimer->SetEnabled(false);
        BeaconTimer.reset();
    }
    Log.WriteLog(5, "{L2Beacon} L2 BroadCast Object Released");
}

void TL2Beacon::SetInterval(int32_t milliseconds)
{
    if (Interval == 0 && milliseconds != 0) {
        Interval = milliseconds;
        SetActive(true);
    } else if (Interval != 0 && milliseconds == 0) {
        Interval = 0;
        SetActive(false);
    } else if (Interval != 0) {
        // A running timer takes the new value at its next tick.
        Interval = milliseconds;
    }
}

void TL2Beacon::SetActive(bool value)
{
    if (value == Active)
        return;
    Active = value;
    if (value) {
        if (!BeaconTimer)
            BeaconTimer = timers_.CreateTimer();
        BeaconTimer->SetInterval(static_cast<uint32_t>(Interval));
        BeaconTimer->OnTimer = [this] { Tick(); };
        BeaconTimer->SetEnabled(true);
        Tick();
        Log.WriteLog(1, "{L2Beacon} L2 BroadCast Object started");
    } else {
        if (BeaconTimer) {
            BeaconTimer->SetEnabled(false);
            BeaconTimer.reset();
        }
        Log.WriteLog(1, "{L2Beacon} L2 BroadCast Object stopped");
    }
}

void TL2Beacon::Tick()
{
    if (AGWL2 == nullptr) {
        Log.WriteLog(1, "{L2Beacon} ERROR No L2 Object Assigned (AGWL2 property)");
        return;
    }
    Log.WriteLog(4, "{L2Beacon} Beacon Timer Tick");
    // A handler may reassign or clear the event while it runs; the cycle goes
    // on with the one it started with.
    const auto handler = OnBeacon;
    // Port numbers travel as one byte.
    const int32_t last = std::min<int32_t>(AGWL2->PortCount, 255);
    for (int32_t port = last; port >= 1; --port) {
        const auto Port = static_cast<uint8_t>(port);
        if (handler)
            handler(*AGWL2, Port, CallSign, ID, Via, Text);
        else
            Post(AGWL2, Port, CallSign, ID, Via, Text);
    }
    // The handler may have stopped the beacon, and with it released the timer.
    if (Interval != 0 && BeaconTimer) {
        BeaconTimer->SetInterval(static_cast<uint32_t>(Interval));
        BeaconTimer->SetEnabled(true);
    }
}

void TL2Beacon::Post(TL2* link, uint8_t Port, const std::string& Call, const std::string& ID_, const std::string& Via_,
                     const std::string& Text_)
{
    if (link == nullptr) {
        Log.WriteLog(1, "{L2Beacon} ERROR Invalid Reference to L2 Object");
        Log.WriteHex(5, Text);
        return;
    }
    // A path of blanks only gives no via block; a "V" frame without its count
    // byte would have AGWPE take the text's first byte as the count.
    const std::string vias = Via_.empty() ? std::string() : TL2::ViaList(Via_);
    if (vias.empty())
        link->Write(Port, PID, 'M', Call, ID_, Text_);
    else
        link->Write(Port, PID, 'V', Call, ID_, vias + Text_);
    Log.WriteLog(4, "{L2Beacon} Post Performed for Port(" + std::to_string(Port) + ")");
}
