// Users' names and personal data kept between connections in Palavoro.USR,
// under the base callsign (the SSID dropped). The operator makes the file to
// switch this on; the server never creates it.
#pragma once

#include "support/TraceLog.h"

#include <string>

class UserFile {
public:
    UserFile(std::string path, TraceLog& log) : path_(std::move(path)), log_(log) {}

    const std::string& path() const { return path_; }

    // The callsign without its SSID, upper-cased: the key in the file.
    static std::string baseCall(const std::string& call);

    void load(const std::string& call, std::string& name, std::string& info) const;
    // Keeps the name and the personal data in the file, when there is one.
    // False when the file is there and could not be written: it is then as it
    // was, and the failure is traced.
    bool save(const std::string& call, const std::string& name, const std::string& info) const;

    // A name or personal data as it is kept: a line end at its end dropped,
    // and any other CR, LF or NUL a blank, so that it stays one line wherever
    // it is shown or written.
    static std::string oneLine(std::string_view text);

private:
    std::string path_;
    TraceLog& log_;
};
