#include "chat.h"

#include <algorithm>

namespace {

constexpr uint32_t POLL_INTERVAL = 1000;
// An engine that leaves "Y" unanswered this long does not know the request.
constexpr uint32_t ANSWER_WAIT = 2000;

std::string UserTag(const TPendingDisc& pending)
{
    return "{PALAVORO} User(" + std::to_string(pending.Port) + ":" + pending.Call + ") ";
}

} // namespace

void TForm1::DisconnectWhenSent(int32_t Port, const std::string& OwnCall, const std::string& Call)
{
    if (!L2)
        return;
    const uint8_t port = static_cast<uint8_t>(Port);
    // A second request while one waits changes nothing: its "d" follows what is queued.
    for (const TPendingDisc& pending : PendingDiscs)
        if (pending.Port == Port && pending.Call == Call)
            return;
    if (DiscWait <= 0 || !L2->Active || !L2->AskOutstanding(port, OwnCall, Call)) {
        L2->Disconnect(port, OwnCall, Call);
        return;
    }
    TPendingDisc& pending = PendingDiscs.emplace_back();
    pending.Port = Port;
    pending.OwnCall = OwnCall;
    pending.Call = Call;
    pending.Poll = timers_.CreateTimer();
    Timer* timer = pending.Poll.get();
    timer->OnTimer = [this, timer] { OnDrainPoll(timer); };
    timer->SetInterval(POLL_INTERVAL);
    timer->SetEnabled(true);
}

void TForm1::OnConnFrames(TL2& /*link*/, uint8_t Port, const std::string& CallFrom, const std::string& CallTo,
                          int32_t Frames)
{
    // Engines differ on which call of the connection they name first.
    auto pending = std::find_if(PendingDiscs.begin(), PendingDiscs.end(), [&](const TPendingDisc& p) {
        return p.Port == Port &&
               ((p.OwnCall == CallFrom && p.Call == CallTo) || (p.OwnCall == CallTo && p.Call == CallFrom));
    });
    if (pending == PendingDiscs.end())
        return;
    if (Frames != 0) {
        pending->Answered = true;
        return;
    }
    WriteLog(3, UserTag(*pending) + "frames sent, disconnect");
    const uint8_t port = static_cast<uint8_t>(pending->Port);
    const std::string ownCall = pending->OwnCall;
    const std::string call = pending->Call;
    PendingDiscs.erase(pending);
    L2->Disconnect(port, ownCall, call);
}

void TForm1::OnDrainPoll(Timer* timer)
{
    auto pending = std::find_if(PendingDiscs.begin(), PendingDiscs.end(),
                                [timer](const TPendingDisc& p) { return p.Poll.get() == timer; });
    if (pending == PendingDiscs.end() || !L2)
        return;
    TPendingDisc& p = *pending;
    p.Waited += POLL_INTERVAL;
    const uint8_t port = static_cast<uint8_t>(p.Port);
    if (DiscWait <= 0 || p.Waited >= static_cast<uint32_t>(DiscWait)) {
        WriteLog(1, UserTag(p) + "frames still outstanding after " + std::to_string(DiscWait) + " ms, disconnect");
    } else if (p.Answered) {
        p.Answered = false;
        p.AskedAt = p.Waited;
        L2->AskOutstanding(port, p.OwnCall, p.Call);
        return;
    } else if (p.Waited - p.AskedAt >= ANSWER_WAIT) {
        WriteLog(1, UserTag(p) + "no answer to Y, disconnect");
    } else {
        return;
    }
    // Erasing the entry destroys this timer; nothing below touches it.
    const std::string ownCall = p.OwnCall;
    const std::string call = p.Call;
    PendingDiscs.erase(pending);
    L2->Disconnect(port, ownCall, call);
}

void TForm1::EndDrain(int32_t Port, const std::string& Call)
{
    PendingDiscs.remove_if([&](const TPendingDisc& p) { return p.Port == Port && p.Call == Call; });
}
