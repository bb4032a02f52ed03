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

void StationOutput::ticking(Station& s)
{
    if (std::exchange(s.ticking, true))
        return;
    ticking_.push_back(&s);
    if (!tick_) {
        tick_ = timers_.createTimer();
        tick_->onTimer = [this] { tick(); };
        tick_->setInterval(ASK_EVERY);
    }
    if (!tick_->enabled())
        tick_->setEnabled(true);
}

bool StationOutput::directCanTake(const Station& s) const
{
    return direct_ != nullptr && direct_->unsent(s.call) < DIRECT_WINDOW;
}

void StationOutput::give(Station& s, const std::string& text)
{
    if (isTcpUser(s.port)) {
        if (direct_ != nullptr)
            direct_->write(s.call, text);
        if (onSent)
            onSent(text.size(), true);
        return;
    }
    if (!link_)
        return;
    link_->sendData(static_cast<uint32_t>(s.port), PID_TEXT, link_->callSign(), s.call, text);
    given(s, framesOf(text));
    if (onSent)
        onSent(text.size(), false);
}

void StationOutput::given(Station& s, int32_t frames)
{
    s.outstanding += frames;
    s.given += static_cast<uint64_t>(frames);
}

void StationOutput::askIfDue(Station& s)
{
    if (isTcpUser(s.port))
        return;
    // Asked before the station reaches its allowance, so that the answer is
    // usually in before its next frames would have to wait for it.
    if (s.outstanding >= (deaf_ ? PROBE_AT : s.allowance / 2))
        ask(s, true);
}

void StationOutput::send(int32_t port, const std::string& call, const std::string& text)
{
    Station& s = station(port, call);
    // Nothing waits: it goes at once, with no question in front of it.
    if (s.turn.empty() && canTake(s)) {
        give(s, text);
        askIfDue(s);
        return;
    }
    const size_t size = text.size();
    queue(s, s.own, keep(s.own, text, 1), size);
    pump(s);
}

void StationOutput::sendToEach(const std::vector<AgwLink::Addressee>& to, const std::string& speaker, std::string text)
{
    // Giving may call back into here (a station's drain may end it): these are the call's own.
    std::vector<AgwLink::Addressee> now;
    std::vector<Station*> nowStations, direct, later;
    now.reserve(to.size());
    nowStations.reserve(to.size());
    // The next line to an area mostly goes to the same stations as the last,
    // but for its speaker: they are found again, in order, without a lookup.
    std::vector<const std::string*>& calls = calls_;
    std::vector<Station*>& found = found_;
    calls.resize(to.size());
    found.resize(to.size());
    size_t last = 0;
    for (size_t i = 0; i < to.size(); ++i) {
        const AgwLink::Addressee& each = to[i];
        const int32_t port = static_cast<int32_t>(each.radioPort);
        Station* s = nullptr;
        for (size_t ahead = last; ahead < last + 2 && ahead < lastCalls_.size(); ++ahead) {
            Station* known = lastStations_[ahead];
            // The call is compared too: a block gone may leave its place to another.
            if (lastCalls_[ahead] == each.call && known->port == port && known->call == *each.call) {
                s = known;
                last = ahead + 1;
                break;
            }
        }
        if (s == nullptr)
            s = &station(port, *each.call);
        calls[i] = each.call;
        found[i] = s;
        const bool free = s->turn.empty() && canTake(*s);
        if (free && isTcpUser(port)) {
            direct.push_back(s);
        } else if (free) {
            now.push_back(each);
            nowStations.push_back(s);
        } else {
            later.push_back(s);
        }
    }
    lastCalls_.swap(calls);
    lastStations_.swap(found);
    // Those with nothing waiting get it at once, in one write where the link can.
    if (!now.empty() && link_) {
        if (link_->isActive() && link_->sendDataToEach(PID_TEXT, link_->callSign(), now, text)) {
            const int32_t frames = framesOf(text);
            for (Station* s : nowStations) {
                given(*s, frames);
                askIfDue(*s);
            }
            if (onSent)
                onSent(text.size() * now.size(), false);
        } else {
            for (Station* s : nowStations) {
                give(*s, text);
                askIfDue(*s);
            }
        }
    }
    for (Station* s : direct)
        give(*s, text);
    if (later.empty())
        return;
    Log& log = logs_[speaker];
    if (log.speaker.empty())
        log.speaker = speaker;
    const size_t size = text.size();
    const uint64_t seq = keep(log, std::move(text), static_cast<uint32_t>(later.size()));
    for (Station* s : later)
        queue(*s, log, seq, size);
    for (Station* s : later)
        pump(*s);
}

uint64_t StationOutput::keep(Log& log, std::string text, uint32_t readers)
{
    held_ += text.size();
    log.entries.push_back({std::move(text), order_++, readers});
    return log.first + log.entries.size() - 1;
}

void StationOutput::queue(Station& s, Log& log, uint64_t seq, size_t size)
{
    auto waiting = std::find_if(s.turn.begin(), s.turn.end(), [&](const Waiting& w) { return w.log == &log; });
    if (waiting == s.turn.end())
        waiting = s.turn.insert(s.turn.end(), Waiting{&log, {}, 0});
    std::vector<Run>& runs = waiting->runs;
    if (waiting->head < runs.size() && runs.back().to + 1 == seq)
        runs.back().to = seq;
    else
        runs.push_back({seq, seq});
    s.bytes += size;
    if (s.bytes > MOST)
        trim(s);
}

void StationOutput::release(Log& log, uint64_t seq)
{
    if (seq < log.first || seq >= log.first + log.entries.size())
        return;
    --log.entries[seq - log.first].readers;
    while (!log.entries.empty() && log.entries.front().readers == 0) {
        held_ -= log.entries.front().text.size();
        log.entries.pop_front();
        ++log.first;
    }
    if (log.entries.empty() && !log.speaker.empty()) {
        auto it = logs_.find(log.speaker);
        if (it != logs_.end() && &it->second == &log)
            logs_.erase(it);
    }
}

void StationOutput::pump(Station& s)
{
    // Speakers in turn, one line each, while the engine holds few frames of
    // this station; what the server itself tells the station (a reply, its
    // prompt) goes whole before the next speaker's line.
    bool gave = false;
    while (!s.turn.empty() && canTake(s)) {
        gave = true;
        Waiting& waiting = s.turn.front();
        Log& log = *waiting.log;
        Run& run = waiting.runs[waiting.head];
        const uint64_t seq = run.from;
        if (run.from++ == run.to && ++waiting.head >= 16 && 2 * waiting.head >= waiting.runs.size()) {
            waiting.runs.erase(waiting.runs.begin(), waiting.runs.begin() + static_cast<ptrdiff_t>(waiting.head));
            waiting.head = 0;
        }
        const bool done = waiting.head == waiting.runs.size();
        const std::string& text = log.entries[seq - log.first].text;
        s.bytes -= text.size();
        give(s, text);
        if (done)
            s.turn.pop_front();
        else if (&log != &s.own)
            s.turn.splice(s.turn.end(), s.turn, s.turn.begin());
        release(log, seq);
    }
    // Asked after the few frames given, so that what comes next finds room
    // as soon as the engine has some; while it still holds them, asked again
    // on the tick, once a second.
    if (gave)
        askIfDue(s);
    if (s.turn.empty()) {
        // The tick stops itself once nothing is asked and nothing waits.
        s.told = false;
        if (onDrained)
            onDrained(s.port, s.call);
        return;
    }
    // A user over TCP gets more when its connection takes some.
    if (!isTcpUser(s.port))
        ticking(s);
}

void StationOutput::directTook(const std::string& call)
{
    if (Station* s = find(TCP_USER_PORT, call))
        pump(*s);
}

void StationOutput::ask(Station& s, bool afterGiving)
{
    // A second question may follow the first before its answer, once more
    // frames are given: the answers come in order.
    if (s.asked == QUESTIONS ||
        (s.asked > 0 && s.askedAt[s.asked - 1].given + static_cast<uint64_t>(s.allowance / 2) > s.given))
        return;
    if (!link_ || !link_->isActive() || (deaf_ && std::exchange(probed_, true)))
        return;
    if (link_->askOutstanding(static_cast<RadioPort>(s.port), link_->callSign(), s.call)) {
        if (s.asked == 0)
            s.unanswered = 0;
        s.askedAt[s.asked++] = {s.given, afterGiving};
        ticking(s);
    }
}

void StationOutput::tick()
{
    // What a station's tick does may end another station (its drain
    // disconnects it): each is found again by its name.
    std::vector<Key> due;
    due.reserve(ticking_.size());
    for (const Station* s : ticking_)
        due.emplace_back(s->port, s->call);
    for (const Key& key : due)
        if (Station* s = find(key.first, key.second))
            tick(*s);
    std::erase_if(ticking_, [](Station* s) {
        s->ticking = s->asked > 0 || !s->turn.empty();
        return !s->ticking;
    });
    if (ticking_.empty())
        tick_->setEnabled(false);
}

void StationOutput::tick(Station& s)
{
    if (s.asked > 0) {
        // The first tick may come at once after the question: it is given
        // until the tick after ANSWER_WAIT.
        s.unanswered += ASK_EVERY;
        if (s.unanswered <= ANSWER_WAIT)
            return;
        // No engine answer: it does not know the question, and its own
        // queues are all the pacing there is.
        s.asked = 0;
        if (!deaf_)
            log_.writeLog(1, "{PALAVORO} The engine does not answer Y: output to stations is not paced");
        deaf_ = true;
        pump(s);
        return;
    }
    if (!s.turn.empty())
        ask(s, false);
}

void StationOutput::outstanding(int32_t port, const std::string& callFrom, const std::string& callTo, int32_t frames)
{
    // Any answer says the engine knows the question.
    deaf_ = false;
    Station* s = find(port, callTo);
    if (s == nullptr || (link_ && callTo == link_->callSign()))
        s = find(port, callFrom);
    if (s == nullptr || s->asked == 0)
        return;
    // Frames given after the question are not in the answer yet.
    const Question question = s->askedAt[0];
    std::copy(s->askedAt + 1, s->askedAt + s->asked, s->askedAt);
    --s->asked;
    s->unanswered = 0;
    s->outstanding = std::max(frames, 0) + static_cast<int32_t>(s->given - question.given);
    // An engine that has aired, by the time it answers, the frames given just
    // before the question is faster than anything on the air: the station
    // may have more at it. One that holds PACE frames is back to the pace.
    if (frames <= 0 && question.afterGiving)
        s->allowance = std::min(2 * s->allowance, MOST_FRAMES);
    else if (frames >= PACE)
        s->allowance = PACE;
    pump(*s);
}

void StationOutput::trim(Station& s)
{
    while (s.bytes > MOST && !s.turn.empty()) {
        // The oldest line waiting for this station, whoever said it.
        auto oldest = s.turn.begin();
        uint64_t when = UINT64_MAX;
        for (auto it = s.turn.begin(); it != s.turn.end(); ++it) {
            const Log& log = *it->log;
            const uint64_t order = log.entries[it->runs[it->head].from - log.first].order;
            if (order < when) {
                when = order;
                oldest = it;
            }
        }
        Log& log = *oldest->log;
        Run& run = oldest->runs[oldest->head];
        const uint64_t seq = run.from;
        s.bytes -= log.entries[seq - log.first].text.size();
        if (run.from++ == run.to)
            ++oldest->head;
        if (oldest->head == oldest->runs.size())
            s.turn.erase(oldest);
        release(log, seq);
    }
    if (!std::exchange(s.told, true)) {
        log_.writeLog(1, "{PALAVORO} User(" + std::to_string(s.port) + ":" + s.call +
                             ") more than 1 MiB waits for it: its oldest lines are dropped");
        // The notice goes before anything else waiting.
        const std::string notice = DROPPED;
        const uint64_t seq = keep(s.own, notice, 1);
        auto own = std::find_if(s.turn.begin(), s.turn.end(), [&](const Waiting& w) { return w.log == &s.own; });
        if (own == s.turn.end())
            own = s.turn.insert(s.turn.begin(), Waiting{&s.own, {}, 0});
        own->runs.push_back({seq, seq});
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
    for (Waiting& waiting : s.turn)
        for (size_t i = waiting.head; i < waiting.runs.size(); ++i)
            for (uint64_t seq = waiting.runs[i].from; seq <= waiting.runs[i].to; ++seq)
                release(*waiting.log, seq);
    s.turn.clear();
    s.bytes = 0;
}

void StationOutput::forget(int32_t port, const std::string& call)
{
    auto it = stations_.find({port, call});
    if (it == stations_.end())
        return;
    drop(*it->second);
    std::erase(ticking_, it->second.get());
    lastCalls_.clear();
    lastStations_.clear();
    stations_.erase(it);
}

void StationOutput::clear()
{
    std::erase_if(stations_, [this](auto& entry) {
        if (isTcpUser(entry.first.first))
            return false;
        drop(*entry.second);
        return true;
    });
    ticking_.clear();
    if (tick_)
        tick_->setEnabled(false);
    lastCalls_.clear();
    lastStations_.clear();
    if (stations_.empty()) {
        logs_.clear();
        held_ = 0;
    }
    deaf_ = true;
    probed_ = false;
}
