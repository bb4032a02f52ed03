// Output to stations, paced by the engine's frame counts.
#include "server/StationOutput.h"

#include <algorithm>

namespace {

constexpr uint8_t PID_TEXT = 0xF0;
constexpr size_t FRAME_DATA = 255;

int32_t framesOf(const std::string& text)
{
    return static_cast<int32_t>(std::max<size_t>(1, (text.size() + FRAME_DATA - 1) / FRAME_DATA));
}

} // namespace

StationOutput::StationOutput(const std::unique_ptr<AgwLink>& link, TimerFactory& timers, TraceLog& log)
    : link_(link), timers_(timers), log_(log)
{
}

StationOutput::~StationOutput() = default;

StationOutput::Station* StationOutput::find(int32_t port, const std::string& call)
{
    auto it = stations_.find({port, call});
    return it == stations_.end() ? nullptr : it->second.get();
}

StationOutput::Station& StationOutput::station(int32_t port, const std::string& call)
{
    std::unique_ptr<Station>& s = stations_[{port, call}];
    if (!s) {
        s = std::make_unique<Station>();
        s->port = port;
        s->call = call;
    }
    return *s;
}

void StationOutput::ticking(Station& s, bool on)
{
    if (!on) {
        // Made again when needed: an idle station holds no timer (this may
        // be the timer's own handler, which may end it).
        s.tick.reset();
        return;
    }
    if (!s.tick) {
        s.tick = timers_.createTimer();
        Station* raw = &s;
        s.tick->onTimer = [this, raw] { tick(*raw); };
        s.tick->setInterval(ASK_EVERY);
    }
    if (!s.tick->enabled())
        s.tick->setEnabled(true);
}

void StationOutput::give(Station& s, const std::string& text)
{
    if (!link_)
        return;
    link_->sendData(static_cast<uint32_t>(s.port), PID_TEXT, link_->callSign(), s.call, text);
    const int32_t frames = framesOf(text);
    s.outstanding += frames;
    s.sentSinceAsk += frames;
    if (onSent)
        onSent(text.size());
}

void StationOutput::send(int32_t port, const std::string& call, const std::string& text)
{
    Station& s = station(port, call);
    // Nothing waits: it goes at once, with no question in front of it.
    if (s.turn.empty() && canTake(s)) {
        give(s, text);
        if (s.outstanding >= (deaf_ ? PROBE_AT : PACE))
            ask(s);
        return;
    }
    const std::string own = ownStream(s);
    const size_t size = text.size();
    queue(s, own, keep(own, text, 1), size);
    pump(s);
}

void StationOutput::sendToEach(const std::vector<AgwLink::Addressee>& to, const std::string& speaker, std::string text)
{
    std::vector<AgwLink::Addressee> now;
    std::vector<Station*> later;
    for (const AgwLink::Addressee& each : to) {
        Station& s = station(static_cast<int32_t>(each.radioPort), *each.call);
        if (s.turn.empty() && canTake(s))
            now.push_back(each);
        else
            later.push_back(&s);
    }
    // Those with nothing waiting get it at once, in one write where the link can.
    if (!now.empty() && link_) {
        if (link_->isActive() && link_->sendDataToEach(PID_TEXT, link_->callSign(), now, text)) {
            for (const AgwLink::Addressee& each : now) {
                Station& s = station(static_cast<int32_t>(each.radioPort), *each.call);
                s.outstanding += framesOf(text);
                s.sentSinceAsk += framesOf(text);
                if (s.outstanding >= (deaf_ ? PROBE_AT : PACE))
                    ask(s);
            }
            if (onSent)
                onSent(text.size() * now.size());
        } else {
            for (const AgwLink::Addressee& each : now) {
                Station& s = station(static_cast<int32_t>(each.radioPort), *each.call);
                give(s, text);
                if (s.outstanding >= (deaf_ ? PROBE_AT : PACE))
                    ask(s);
            }
        }
    }
    if (later.empty())
        return;
    const size_t size = text.size();
    const uint64_t seq = keep(speaker, std::move(text), static_cast<uint32_t>(later.size()));
    for (Station* s : later)
        queue(*s, speaker, seq, size);
    for (Station* s : later)
        pump(*s);
}

uint64_t StationOutput::keep(const std::string& speaker, std::string text, uint32_t readers)
{
    Log& log = logs_[speaker];
    held_ += text.size();
    log.entries.push_back({std::move(text), order_++, readers});
    return log.first + log.entries.size() - 1;
}

void StationOutput::queue(Station& s, const std::string& speaker, uint64_t seq, size_t size)
{
    std::deque<Run>& runs = s.bySpeaker[speaker];
    if (runs.empty())
        s.turn.push_back(speaker);
    if (!runs.empty() && runs.back().to + 1 == seq)
        runs.back().to = seq;
    else
        runs.push_back({seq, seq});
    s.bytes += size;
    if (s.bytes > MOST)
        trim(s);
}

void StationOutput::release(const std::string& speaker, uint64_t seq)
{
    auto it = logs_.find(speaker);
    if (it == logs_.end())
        return;
    Log& log = it->second;
    if (seq < log.first || seq >= log.first + log.entries.size())
        return;
    --log.entries[seq - log.first].readers;
    while (!log.entries.empty() && log.entries.front().readers == 0) {
        held_ -= log.entries.front().text.size();
        log.entries.pop_front();
        ++log.first;
    }
    if (log.entries.empty())
        logs_.erase(it);
}

void StationOutput::pump(Station& s)
{
    // Speakers in turn, one line each, while the engine holds few frames of
    // this station; what the server itself tells the station (a reply, its
    // prompt) goes whole before the next speaker's line.
    const std::string own = ownStream(s);
    bool gave = false;
    while (!s.turn.empty() && canTake(s)) {
        gave = true;
        const std::string speaker = s.turn.front();
        s.turn.pop_front();
        std::deque<Run>& runs = s.bySpeaker[speaker];
        Run& run = runs.front();
        const uint64_t seq = run.from;
        const Log& log = logs_[speaker];
        const std::string text = log.entries[seq - log.first].text;
        if (run.from++ == run.to)
            runs.pop_front();
        if (runs.empty())
            s.bySpeaker.erase(speaker);
        else if (speaker == own)
            s.turn.push_front(speaker);
        else
            s.turn.push_back(speaker);
        s.bytes -= text.size();
        release(speaker, seq);
        give(s, text);
    }
    if (s.turn.empty()) {
        s.told = false;
        if (!s.asking)
            ticking(s, false);
        if (onDrained)
            onDrained(s.port, s.call);
        return;
    }
    // Asked after the few frames given; while the engine still holds them,
    // asked again on the tick, once a second.
    if (gave && !s.asking)
        ask(s);
    ticking(s, true);
}

void StationOutput::ask(Station& s)
{
    if (s.asking || !link_ || !link_->isActive() || (deaf_ && std::exchange(probed_, true)))
        return;
    if (link_->askOutstanding(static_cast<RadioPort>(s.port), link_->callSign(), s.call)) {
        s.asking = true;
        s.unanswered = 0;
        s.sentSinceAsk = 0;
        ticking(s, true);
    }
}

void StationOutput::tick(Station& s)
{
    if (s.asking) {
        s.unanswered += ASK_EVERY;
        if (s.unanswered < ANSWER_WAIT)
            return;
        // No engine answer: it does not know the question, and its own
        // queues are all the pacing there is.
        s.asking = false;
        if (!deaf_)
            log_.writeLog(1, "{PALAVORO} The engine does not answer Y: output to stations is not paced");
        deaf_ = true;
        pump(s);
        return;
    }
    if (s.turn.empty()) {
        ticking(s, false);
        return;
    }
    ask(s);
}

void StationOutput::outstanding(int32_t port, const std::string& callFrom, const std::string& callTo, int32_t frames)
{
    // Any answer says the engine knows the question.
    deaf_ = false;
    Station* s = find(port, callTo);
    if (s == nullptr || (link_ && callTo == link_->callSign()))
        s = find(port, callFrom);
    if (s == nullptr || !s->asking)
        return;
    s->asking = false;
    // Frames given after the question are not in the answer yet.
    s->outstanding = std::max(frames, 0) + s->sentSinceAsk;
    s->sentSinceAsk = 0;
    pump(*s);
}

void StationOutput::trim(Station& s)
{
    const std::string own = ownStream(s);
    while (s.bytes > MOST && !s.turn.empty()) {
        // The oldest line waiting for this station, whoever said it.
        std::string oldest;
        uint64_t when = UINT64_MAX;
        for (const auto& [speaker, runs] : s.bySpeaker) {
            const Log& log = logs_[speaker];
            const uint64_t order = log.entries[runs.front().from - log.first].order;
            if (order < when) {
                when = order;
                oldest = speaker;
            }
        }
        std::deque<Run>& runs = s.bySpeaker[oldest];
        const uint64_t seq = runs.front().from;
        const Log& log = logs_[oldest];
        s.bytes -= log.entries[seq - log.first].text.size();
        if (runs.front().from++ == runs.front().to)
            runs.pop_front();
        if (runs.empty()) {
            s.bySpeaker.erase(oldest);
            s.turn.erase(std::find(s.turn.begin(), s.turn.end(), oldest));
        }
        release(oldest, seq);
    }
    if (!std::exchange(s.told, true)) {
        log_.writeLog(1, "{PALAVORO} User(" + std::to_string(s.port) + ":" + s.call +
                             ") more than 1 MiB waits for it: its oldest lines are dropped");
        const std::string notice = DROPPED;
        std::deque<Run>& runs = s.bySpeaker[own];
        if (runs.empty())
            s.turn.push_front(own);
        const uint64_t seq = keep(own, notice, 1);
        runs.push_back({seq, seq});
        s.bytes += notice.size();
    }
}

size_t StationOutput::waiting(int32_t port, const std::string& call) const
{
    auto it = stations_.find({port, call});
    return it == stations_.end() ? 0 : it->second->bytes;
}

void StationOutput::drop(Station& s)
{
    for (auto& [speaker, runs] : s.bySpeaker)
        for (const Run& run : runs)
            for (uint64_t seq = run.from; seq <= run.to; ++seq)
                release(speaker, seq);
    s.bySpeaker.clear();
    s.turn.clear();
    s.bytes = 0;
}

void StationOutput::forget(int32_t port, const std::string& call)
{
    auto it = stations_.find({port, call});
    if (it == stations_.end())
        return;
    drop(*it->second);
    // The station's timer may be the caller: it goes after this event.
    stations_.erase(it);
}

void StationOutput::clear()
{
    for (auto& [key, s] : stations_)
        drop(*s);
    stations_.clear();
    logs_.clear();
    held_ = 0;
    deaf_ = true;
    probed_ = false;
}
