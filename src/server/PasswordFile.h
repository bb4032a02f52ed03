// Passwords of the users who may log in over TCP, in Palavoro.PWD: one per
// base callsign (the SSID dropped), kept as the system's crypt hash in its
// strongest scheme (yescrypt on Debian 12), never in clear. The file is only
// written by the server (the sysop sets passwords through `palavoro ctl`),
// replaced whole, mode 0600.
#pragma once

#include <map>
#include <string>
#include <vector>

class PasswordFile {
public:
    explicit PasswordFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // Longest password taken (crypt itself takes more, nobody types it).
    static constexpr size_t MAX_PASSWORD = 256;

    // Sets the password of the call's base callsign; false with the reason in `error`.
    bool set(const std::string& call, const std::string& password, std::string& error);
    // Removes it; false when there was none (`error` empty) or the file cannot be written.
    bool remove(const std::string& call, std::string& error);
    // The base callsigns that have one, in order.
    std::vector<std::string> calls() const;
    // True when `password` is the call's. A call without one costs a hash all
    // the same, so that the time taken does not tell who has one.
    bool check(const std::string& call, const std::string& password) const;

    // A new hash of the password with a random salt; empty when crypt fails.
    static std::string hash(const std::string& password);

private:
    std::map<std::string, std::string> read() const;
    bool write(const std::map<std::string, std::string>& hashes, std::string& error) const;

    std::string path_;
};
