// What waits to go to each station, paced by the engine's count of the
// station's frames not yet on the air (its answer to "Y"), so that one
// station's paste does not stand in front of everyone else's lines at the
// radio: a station gets a few frames at a time while more wait, lines from
// different speakers are taken in turn, and a line for many stations is held
// once (each station keeps only its place in the speaker's lines). A line to
// a station with nothing waiting goes at once.
#pragma once

#include "link/AgwLink.h"
#include "server/StationKey.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Where the text of users over TCP goes: their own connection, not the engine.
class DirectOutput {
public:
    virtual ~DirectOutput() = default;
    virtual void write(const std::string& call, const std::string& text) = 0;
    // Bytes written that the connection has not taken yet.
    virtual size_t unsent(const std::string& call) const = 0;
};

class StationOutput {
public:
    // Frames a station may have at the engine while more wait here.
    static constexpr int32_t PACE = 4;
    // Frames a station may have at an engine that airs them as fast as they
    // are given (it has aired them all when it answers the question right
    // after them): its allowance doubles from PACE up to this.
    static constexpr int32_t MOST_FRAMES = 256;
    // Questions a station may have waiting for their answers.
    static constexpr int QUESTIONS = 2;
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
    // A user over TCP gets more while less than this waits in its connection.
    static constexpr size_t DIRECT_WINDOW = 16 * 1024;
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

    // Users over TCP (TCP_USER_PORT) are written to through `direct`.
    void setDirect(DirectOutput* direct) { direct_ = direct; }
    // A user's connection took some of what it held: more may go.
    void directTook(const std::string& call);

    // Text waiting here for one station, and for all (each line counted once).
    size_t waiting(int32_t port, const std::string& call) const;
    size_t waitingTotal() const { return held_; }
    // A station gone: what waited for it goes too.
    void forget(int32_t port, const std::string& call);
    // The engine is gone, and every connection with it; users over TCP stay.
    void clear();

    // A station's lines have all gone to the engine (the disconnect drain waits for it).
    std::function<void(int32_t port, const std::string& call)> onDrained;
    // Bytes of text given to the engine (`direct` false) or to users' connections.
    std::function<void(size_t bytes, bool direct)> onSent;

private:
    // A line held for its readers; `order` tells the oldest across speakers.
    struct Entry {
        std::string text;
        uint64_t order = 0;
        uint32_t readers = 0;
    };
    // A speaker's lines, by sequence number from `first`; a station's own
    // log (what the server itself tells it) is not shared.
    struct Log {
        std::deque<Entry> entries;
        uint64_t first = 0;
        std::string speaker; // empty for a station's own
    };
    // Lines `from` to `to` (inclusive) of one log, for one station.
    struct Run {
        uint64_t from = 0;
        uint64_t to = 0;
    };
    // One speaker's lines waiting for one station: runs from `head` on.
    struct Waiting {
        Log* log = nullptr;
        std::vector<Run> runs;
        size_t head = 0;
    };
    struct Question {
        uint64_t given = 0;       // the station's frames given when it was put
        bool afterGiving = false; // put right after frames were given (not on the tick)
    };
    struct Station {
        // What a line for many reads and writes for each of its stations, together.
        int32_t port = 0;
        int32_t outstanding = 0; // frames at the engine, as far as we know
        int32_t allowance = PACE;
        int asked = 0;
        uint64_t given = 0;      // frames given in all
        std::list<Waiting> turn; // speakers with lines waiting, the next first
        std::string call;
        Log own;
        size_t bytes = 0;
        Question askedAt[QUESTIONS] = {}; // the questions not yet answered, oldest first
        uint32_t unanswered = 0; // ms since the oldest question (or the last answer), counted by the tick
        bool told = false;       // of lines dropped
        bool ticking = false;    // in ticking_
    };
    using Key = StationKey;

    Station& station(int32_t port, const std::string& call);
    Station* find(int32_t port, const std::string& call);
    bool canTake(const Station& station) const
    {
        return isTcpUser(station.port) ? directCanTake(station) : deaf_ || station.outstanding < station.allowance;
    }
    bool directCanTake(const Station& station) const;
    // Appends to a log a line that `readers` stations will take.
    uint64_t keep(Log& log, std::string text, uint32_t readers);
    void queue(Station& station, Log& log, uint64_t seq, size_t size);
    void give(Station& station, const std::string& text);
    void given(Station& station, int32_t frames);
    void askIfDue(Station& station);
    void pump(Station& station);
    void ask(Station& station, bool afterGiving);
    void tick();
    void tick(Station& station);
    // The station has a question out or lines waiting: the tick looks at it.
    void ticking(Station& station);
    void release(Log& log, uint64_t seq);
    // The oldest lines go until no more than MOST waits.
    void trim(Station& station);
    void drop(Station& station);

    const std::unique_ptr<AgwLink>& link_;
    DirectOutput* direct_ = nullptr;
    TimerFactory& timers_;
    TraceLog& log_;
    std::unordered_map<Key, std::unique_ptr<Station>, StationKeyHash> stations_;
    std::unordered_map<std::string, Log> logs_; // by speaker
    // One tick for all stations, over those that need it: a timer each
    // would cost the event loop a search of all its timers at every start.
    std::unique_ptr<Timer> tick_;
    std::vector<Station*> ticking_;
    // The addressees of the last line for many, and their stations.
    std::vector<const std::string*> lastCalls_;
    std::vector<Station*> lastStations_;
    // Filled to become the last ones, kept from line to line.
    std::vector<const std::string*> calls_;
    std::vector<Station*> found_;
    uint64_t order_ = 0;
    size_t held_ = 0;
    bool deaf_ = true;    // the engine has not answered "Y" (yet)
    bool probed_ = false; // it was asked once while not answering
};
