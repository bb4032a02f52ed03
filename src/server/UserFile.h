// Users' names and personal data kept between connections in Palavoro.USR,
// under the base callsign (the SSID dropped). The operator makes the file to
// switch this on; the server never creates it.
//
// Changes are gathered and written together, at most once a second: a
// station that sends names as fast as it can must not keep the server busy
// writing (and syncing) the file. What is not written yet is read through.
#pragma once

#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class UserFile {
public:
    UserFile(std::string path, TraceLog& log, TimerFactory& timers) : path_(std::move(path)), log_(log), timers_(timers)
    {
    }

    const std::string& path() const { return path_; }

    // The callsign without its SSID, upper-cased: the key in the file.
    static std::string baseCall(const std::string& call);

    // The name and personal data on file, or as last changed when that is not written yet.
    void load(const std::string& call, std::string& name, std::string& info) const;
    // Keeps the name and the personal data, when there is a file: they are
    // written within WRITE_DELAY ms, with every other change made meanwhile.
    // The station on `port` that made the change hears of a failed write.
    void save(int32_t port, const std::string& call, const std::string& name, const std::string& info);
    // Writes what is waiting now (the server stops). A failed write is traced,
    // and each station that made one of its changes is named to onNotSaved;
    // the file is then as it was, and those changes are dropped.
    void flush();
    bool hasUnsaved() const { return !pending_.empty(); }
    static constexpr uint32_t WRITE_DELAY = 1000;

    std::function<void(int32_t port, const std::string& call)> onNotSaved;

    // A name or personal data as it is kept: a line end at its end dropped,
    // and any other CR, LF or NUL a blank, so that it stays one line wherever
    // it is shown or written.
    static std::string oneLine(std::string_view text);

private:
    struct Change {
        std::string call; // as the last station typed it, for the trace
        std::string name;
        std::string info;
        std::vector<std::pair<int32_t, std::string>> madeBy;
    };

    std::string path_;
    TraceLog& log_;
    TimerFactory& timers_;
    std::map<std::string, Change> pending_; // by base callsign
    std::unique_ptr<Timer> writeTimer_;
};
