// Reading and writing users' names and personal data in Palavoro.USR.
#include "server/UserFile.h"

#include "support/HexStr.h"
#include "support/Profile.h"

namespace {

constexpr const char* USERS_SECTION = "USERS";
constexpr const char* INFO_SECTION = "INFO";

// A value is one line of the file: a CR, LF or NUL typed by a user would
// otherwise start a line of his own making, that is another key or section.
std::string oneLine(std::string_view text)
{
    std::string line(text);
    for (char& c : line)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return line;
}

} // namespace

std::string UserFile::baseCall(const std::string& call)
{
    return upperStr(std::string_view(call).substr(0, call.find('-')));
}

void UserFile::load(const std::string& call, std::string& name, std::string& info) const
{
    const std::string key = baseCall(call);
    name.clear();
    if (key.empty())
        return;
    info.clear();
    const std::string& path = path_;
    if (!Profile::fileExists(path))
        return;
    name = Profile::readString(path, USERS_SECTION, key, "");
    info = Profile::readString(path, INFO_SECTION, key, "");
}

void UserFile::save(const std::string& call, const std::string& name, const std::string& info) const
{
    const std::string key = baseCall(call);
    if (key.empty())
        return;
    // The operator makes the file to have names kept; it is never created here,
    // so each write looks for it again.
    const std::string& path = path_;
    if (Profile::fileExists(path))
        Profile::writeString(path, USERS_SECTION, key, oneLine(name));
    if (Profile::fileExists(path))
        Profile::writeString(path, INFO_SECTION, key, oneLine(info));
}
