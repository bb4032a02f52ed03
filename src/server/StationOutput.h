// What waits to go to each station, paced by the engine's count of the
// station's frames not yet on the air (its answer to "Y"), so that one
// station's paste does not stand in front of everyone else's lines at the
// radio: a station gets a few frames at a time while more wait, lines from
// different speakers are taken in turn, and a line for many stations is held
// once (each station keeps only its place in the speaker's lines). A line to
// a station with nothing waiting goes at once.
#pragma once

#include "link/AgwLink.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class StationOutput {
public:
    // Frames a station may have at the engine while more wait here.
    static constexpr int32_t PACE = 4;
    // An engine not known to answer "Y" is asked once a station has this many frames at it.
    static constexpr int32_t PROBE_AT = 2 * PACE;
    // While lines wait, the engine is asked this often; an engine that leaves
    // a question unanswered this long does not know it, and is not paced.
    // Until an engine has answered one (this one's, or the disconnect drain's),
    // it is not paced either: it is asked once, when a station first has
    // PROBE_AT frames at it.
    static constexpr uint32_t ASK_EVERY = 1000;
    static constexpr uint32_t ANSWER_WAIT = 2000;
    // Text that may wait for one station (frame headers not counted).
    static constexpr size_t MOST = 1 << 20;
    static constexpr const char* DROPPED = "\r-- Lines dropped, too much waiting for you\r";

    StationOutput(const std::unique_ptr<AgwLink>& link, TimerFactory& timers, TraceLog& log);
    ~StationOutput();
    StationOutput(const StationOutput&) = delete;
    StationOutput& operator=(const StationOutput&) = delete;

    // One text to one station (a reply, a prompt, a canned text): it comes
    // after what the server sent that station before.
    void send(int32_t port, const std::string& call, const std::string& text);
    // A line from `speaker` to each of `to`, held once.
    void sendToEach(const std::vector<AgwLink::Addressee>& to, const std::string& speaker, std::string text);
    // The engine's answer to "Y" for a connection (its two calls either way round).
    void outstanding(int32_t port, const std::string& callFrom, const std::string& callTo, int32_t frames);

    // Text waiting here for one station, and for all (each line counted once).
    size_t waiting(int32_t port, const std::string& call) const;
    size_t waitingTotal() const { return held_; }
    // A station gone: what waited for it goes too.
    void forget(int32_t port, const std::string& call);
    // The engine is gone, and every connection with it.
    void clear();

    // A station's lines have all gone to the engine (the disconnect drain waits for it).
    std::function<void(int32_t port, const std::string& call)> onDrained;
    // Bytes of text given to the engine.
    std::function<void(size_t bytes)> onSent;

private:
    // A line held for its readers; `order` tells the oldest across speakers.
    struct Entry {
        std::string text;
        uint64_t order = 0;
        uint32_t readers = 0;
    };
    // A speaker's lines, by sequence number from `first`.
    struct Log {
        std::deque<Entry> entries;
        uint64_t first = 0;
    };
    // Lines `from` to `to` (inclusive) of one speaker's log, for one station.
    struct Run {
        uint64_t from = 0;
        uint64_t to = 0;
    };
    struct Station {
        int32_t port = 0;
        std::string call;
        std::map<std::string, std::deque<Run>> bySpeaker;
        std::deque<std::string> turn; // speakers with lines waiting, the next first
        size_t bytes = 0;
        int32_t outstanding = 0; // frames at the engine, as far as we know
        int32_t sentSinceAsk = 0;
        bool asking = false;
        uint32_t unanswered = 0; // ms since the question, counted by the tick
        bool told = false;       // of lines dropped
        std::unique_ptr<Timer> tick;
    };
    using Key = std::pair<int32_t, std::string>;

    Station& station(int32_t port, const std::string& call);
    Station* find(int32_t port, const std::string& call);
    bool canTake(const Station& station) const { return deaf_ || station.outstanding < PACE; }
    // Appends to a speaker's log a line that `readers` stations will take.
    uint64_t keep(const std::string& speaker, std::string text, uint32_t readers);
    void queue(Station& station, const std::string& speaker, uint64_t seq, size_t size);
    void give(Station& station, const std::string& text);
    void pump(Station& station);
    void ask(Station& station);
    void tick(Station& station);
    void ticking(Station& station, bool on);
    void release(const std::string& speaker, uint64_t seq);
    // The oldest lines go until no more than MOST waits.
    void trim(Station& station);
    void drop(Station& station);
    // The stream of what the server itself sends one station.
    static std::string ownStream(const Station& station)
    {
        return std::string(1, '\0') + std::to_string(station.port) + ":" + station.call;
    }

    const std::unique_ptr<AgwLink>& link_;
    TimerFactory& timers_;
    TraceLog& log_;
    std::map<Key, std::unique_ptr<Station>> stations_;
    std::map<std::string, Log> logs_; // by speaker
    uint64_t order_ = 0;
    size_t held_ = 0;
    bool deaf_ = true;    // the engine has not answered "Y" (yet)
    bool probed_ = false; // it was asked once while not answering
};
