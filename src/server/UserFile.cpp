#include "chat.h"

#include "support/HexStr.h"
#include "support/Profile.h"

namespace {

constexpr const char* USERS_SECTION = "USERS";
constexpr const char* INFO_SECTION = "INFO";

// A value is one line of the file: a CR, LF or NUL typed by a user would
// otherwise start a line of his own making, that is another key or section.
std::string OneLine(std::string_view text)
{
    std::string line(text);
    for (char& c : line)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return line;
}

} // namespace

std::string TForm1::BaseCall(const std::string& Call)
{
    return UpperStr(std::string_view(Call).substr(0, Call.find('-')));
}

void TForm1::LoadUserInfo(const std::string& Call, std::string& Name, std::string& Info)
{
    const std::string key = BaseCall(Call);
    Name.clear();
    if (key.empty())
        return;
    Info.clear();
    const std::string path = UserFile();
    if (!Profile::FileExists(path))
        return;
    Name = Profile::ReadString(path, USERS_SECTION, key, "");
    Info = Profile::ReadString(path, INFO_SECTION, key, "");
}

void TForm1::SaveUserInfo(const std::string& Call, const std::string& Name, const std::string& Info)
{
    const std::string key = BaseCall(Call);
    if (key.empty())
        return;
    // The operator makes the file to have names kept; it is never created here,
    // so each write looks for it again.
    const std::string path = UserFile();
    if (Profile::FileExists(path))
        Profile::WriteString(path, USERS_SECTION, key, OneLine(Name));
    if (Profile::FileExists(path))
        Profile::WriteString(path, INFO_SECTION, key, OneLine(Info));
}
