// The lines the running server writes on standard error. Under systemd the
// journal stamps each line and takes its priority from an sd-daemon prefix
// ("<4>"); anywhere else each line carries its own UTC time.
#pragma once

#include "server/ServerStats.h"

#include <string>
#include <string_view>

enum class LogPriority { Error, Warning, Info };

class ConsoleLog {
public:
    // `journal`: standard error is the journal.
    explicit ConsoleLog(bool journal, WallClock clock = systemMilliseconds);
    // True when JOURNAL_STREAM names standard error's device and inode: a
    // program started from a unit's shell with its output redirected inherits
    // the variable, not the journal.
    static bool stderrIsJournal();

    // "<4>text" for the journal, "2026-12-08T00:15:02Z text" elsewhere.
    std::string format(LogPriority priority, std::string_view text) const;
    // Written and flushed.
    void write(LogPriority priority, std::string_view text) const;

    // A connection-log line's priority: a link in trouble is a warning.
    static LogPriority priorityOf(std::string_view line);

private:
    bool journal_;
    WallClock clock_;
};
