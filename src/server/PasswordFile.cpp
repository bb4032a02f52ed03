// Palavoro.PWD: hashes by base callsign, read at each use.
#include "server/PasswordFile.h"

#include "server/UserFile.h"
#include "support/Profile.h"

#include <crypt.h>

#include <cstring>
#include <memory>
#include <optional>

namespace {

constexpr const char* SECTION = "PASSWORDS";

// A hash crypt can read back: no line break, no blank, no "=" that the file would cut at.
bool storable(const std::string& hash)
{
    return !hash.empty() && hash[0] != '*' && hash.find_first_of("\r\n\t =;\"'") == std::string::npos;
}

} // namespace

std::string PasswordFile::hash(const std::string& password)
{
    // No prefix: libcrypt's default, its strongest scheme, with salt from the system.
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting) == nullptr)
        return {};
    auto data = std::make_unique<crypt_data>();
    const char* hashed = crypt_rn(password.c_str(), setting, data.get(), sizeof *data);
    std::string result = hashed != nullptr ? hashed : "";
    explicit_bzero(data.get(), sizeof *data);
    return storable(result) ? result : std::string();
}

std::map<std::string, std::string> PasswordFile::read() const
{
    std::map<std::string, std::string> hashes;
    const std::optional<Profile::Document> file = Profile::readDocument(path_);
    if (!file)
        return hashes;
    for (const std::string& line : file->lines(SECTION)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        hashes.emplace(UserFile::baseCall(line.substr(0, equals)), line.substr(equals + 1));
    }
    return hashes;
}

bool PasswordFile::write(const std::map<std::string, std::string>& hashes, std::string& error) const
{
    std::string text = std::string("[") + SECTION + "]\r\n";
    for (const auto& [call, hashed] : hashes)
        text += call + "=" + hashed + "\r\n";
    return Profile::replaceWhole(path_, text, 0600, error);
}

bool PasswordFile::set(const std::string& call, const std::string& password, std::string& error)
{
    if (password.empty() || password.size() > MAX_PASSWORD ||
        password.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        error = "a password is 1 to " + std::to_string(MAX_PASSWORD) + " bytes on one line";
        return false;
    }
    std::string hashed = hash(password);
    if (hashed.empty()) {
        error = std::string("crypt failed: ") + std::strerror(errno);
        return false;
    }
    std::map<std::string, std::string> hashes = read();
    hashes[UserFile::baseCall(call)] = std::move(hashed);
    return write(hashes, error);
}

bool PasswordFile::remove(const std::string& call, std::string& error)
{
    error.clear();
    std::map<std::string, std::string> hashes = read();
    if (hashes.erase(UserFile::baseCall(call)) == 0)
        return false;
    return write(hashes, error);
}

std::vector<std::string> PasswordFile::calls() const
{
    std::vector<std::string> list;
    for (const auto& [call, hashed] : read())
        list.push_back(call);
    return list;
}

bool PasswordFile::check(const std::string& call, const std::string& password) const
{
    const std::map<std::string, std::string> hashes = read();
    auto it = hashes.find(UserFile::baseCall(call));
    const bool known = it != hashes.end() && storable(it->second);
    // A call without a password costs a hash all the same, with the setting of
    // another (or a new one): the time taken does not tell who has one.
    static const std::string fresh = hash("not anybody's password");
    std::string setting = known ? it->second : fresh;
    if (!known)
        for (const auto& [other, hashed] : hashes)
            if (storable(hashed)) {
                setting = hashed;
                break;
            }
    if (setting.empty() || password.size() > MAX_PASSWORD)
        return false;
    auto data = std::make_unique<crypt_data>();
    const char* hashed = crypt_rn(password.c_str(), setting.c_str(), data.get(), sizeof *data);
    bool same = hashed != nullptr && hashed[0] != '*' && std::strlen(hashed) == setting.size();
    if (same) {
        // Compared in constant time.
        unsigned char diff = 0;
        for (size_t i = 0; i < setting.size(); ++i)
            diff |= static_cast<unsigned char>(hashed[i] ^ setting[i]);
        same = diff == 0;
    }
    explicit_bzero(data.get(), sizeof *data);
    return same && known;
}
