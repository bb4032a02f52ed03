// Reading and writing users' names and personal data in Palavoro.USR.
#include "server/UserFile.h"

#include "support/HexStr.h"
#include "support/Profile.h"

namespace {

constexpr const char* USERS_SECTION = "USERS";
constexpr const char* INFO_SECTION = "INFO";

bool isLineBreakOrNul(char c)
{
    return c == '\r' || c == '\n' || c == '\0';
}

} // namespace

std::string UserFile::oneLine(std::string_view text)
{
    // A CR, LF or NUL typed by a user would otherwise start a line of his own
    // making: another key or section in the file, another line in a list.
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    std::string line(text);
    for (char& c : line)
        if (isLineBreakOrNul(c))
            c = ' ';
    return line;
}

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

bool UserFile::save(const std::string& call, const std::string& name, const std::string& info) const
{
    const std::string key = baseCall(call);
    // The operator makes the file to have names kept; it is never created here.
    if (key.empty() || !Profile::fileExists(path_))
        return true;
    // Both keys in one write: the file never holds the new name with the old data.
    std::string error;
    if (Profile::writeStrings(path_, {{USERS_SECTION, key, oneLine(name)}, {INFO_SECTION, key, oneLine(info)}}, &error))
        return true;
    log_.writeLog(1, "{PALAVORO} User file not saved for Call(" + call + "): " + error);
    return false;
}
