// Users' names and personal data kept between connections in Palavoro.USR,
// under the base callsign (the SSID dropped). The operator makes the file to
// switch this on; the server never creates it.
#pragma once

#include <string>

class UserFile {
public:
    explicit UserFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // The callsign without its SSID, upper-cased: the key in the file.
    static std::string baseCall(const std::string& call);

    void load(const std::string& call, std::string& name, std::string& info) const;
    void save(const std::string& call, const std::string& name, const std::string& info) const;

private:
    std::string path_;
};
