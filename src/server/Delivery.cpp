#include "chat.h"

#include "support/HexStr.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace {

std::string AreaLine(const TArea& area)
{
    return "Id(" + std::to_string(area.Id) + ") " + "Topic(" + area.Topic + ") " + "Owner(" + area.Owner + ") " +
           "Users(" + std::to_string(area.UserCount) + ")" + "\r";
}

bool IsRegularFile(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

// The canned texts were named without regard to case on the original
// platform, so an operator's "help.inf" still serves HELP.INF.
std::filesystem::path FindTextFile(const std::string& directory, const std::string& name)
{
    std::filesystem::path exact = directory + name;
    if (IsRegularFile(exact))
        return exact;
    const std::string wanted = UpperStr(name);
    std::filesystem::path found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::filesystem::path& candidate = it->path();
        // Several spellings of one name: take the first in byte order, so the
        // choice does not depend on the directory's order.
        if (UpperStr(candidate.filename().string()) == wanted && IsRegularFile(candidate) &&
            (found.empty() || candidate.filename() < found.filename()))
            found = candidate;
    }
    return found;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

void TForm1::BroadCastToArea(int32_t Port, const std::string& Call, int32_t AreaId, const std::string& Text)
{
    WriteLog(3, "{PALAVORO} <BroadCastToArea> Port(" + std::to_string(Port) + ":" + Call + ") Area(" +
                    std::to_string(AreaId) + ")");
    WriteHex(4, Text);
    std::string line = '[' + std::to_string(AreaId) + "]<" + Call + "@" + L2->CallSign + "> " + Text;
    if (Bell)
        line += '\a';
    line += '\r';
    for (const TUser& user : UserList)
        if (user.AreaId == AreaId && user.CallSign != Call)
            SendTo(user.Port, user.CallSign, line);
}

void TForm1::BroadCastAll(int32_t Port, const std::string& Call, const std::string& Text)
{
    WriteLog(3, "{PALAVORO} <BroadCastAll>");
    for (const TArea& area : AreaList)
        BroadCastToArea(Port, Call, area.Id, Text);
}

void TForm1::SendData(int32_t Port, const std::string& Call, TUser& User, const std::string& Text)
{
    WriteLog(3, "{PALAVORO} <SendData>");
    if (FindArea(User.AreaId) != nullptr) {
        BroadCastToArea(Port, Call, User.AreaId, Text);
        return;
    }
    SendTo(Port, Call, "\r-- Area(" + std::to_string(User.AreaId) + " no longer exists, returned to Root Area" + "\r");
    IncAreaUsers(0);
    User.AreaId = 0;
}

void TForm1::JoinArea(int32_t Port, const std::string& Call, TUser& User, int32_t NewId)
{
    const std::string newId = std::to_string(NewId);
    TArea* area = FindArea(NewId);
    if (area == nullptr) {
        SendTo(Port, Call, "\r-- Error Joining Area(" + newId + ")" + "\r");
        return;
    }
    BroadCastToArea(Port, Call, User.AreaId, "<" + User.CallSign + " left this area, now in Area(" + newId + ")>\r");
    DecAreaUsers(User.AreaId);
    User.AreaId = NewId;
    IncAreaUsers(NewId);
    SendTo(Port, Call, "\r-- Now at Area(" + area->Topic + ") Topic(" + area->Topic + ")" + "\r");
    BroadCastToArea(Port, Call, NewId, "<" + User.CallSign + " joined Area>\r");
}

void TForm1::MoveAreaUsers(int32_t FromId, int32_t ToId)
{
    const TArea* from = FindArea(FromId);
    if (FromId == ToId || from == nullptr)
        return;
    for (TUser& user : UserList) {
        if (user.AreaId != FromId)
            continue;
        SendTo(user.Port, user.CallSign,
               "\r-- Area(" + std::to_string(FromId) + ") Removed by Owner Now at Area(" + std::to_string(ToId) + "-" +
                   from->Topic + ")" + "\r");
        JoinArea(user.Port, user.CallSign, user, ToId);
    }
}

int32_t TForm1::FreeAreaId()
{
    for (int32_t id = 128; id <= 255; ++id)
        if (FindArea(id) == nullptr)
            return id;
    return 0;
}

void TForm1::DeleteArea(TArea* area)
{
    AreaList.remove_if([area](const TArea& a) { return &a == area; });
}

TUser* TForm1::FindUserByCall(const std::string& Call)
{
    for (TUser& user : UserList)
        if (user.CallSign == Call)
            return &user;
    return nullptr;
}

void TForm1::ListAreas(int32_t Port, const std::string& Call)
{
    WriteLog(3, "{PALAVORO} <ListAreas> Port(" + std::to_string(Port) + ":" + Call + ")");
    SendTo(Port, Call, "\rAreas Available:\r");
    for (const TArea& area : AreaList)
        SendTo(Port, Call, AreaLine(area));
}

void TForm1::ListUsersByArea(int32_t Port, const std::string& Call, TArea* area)
{
    WriteLog(3, "{PALAVORO} <ListUsersByArea> Port(" + std::to_string(Port) + ") Call(" + Call + ")");
    SendTo(Port, Call, "\rWho is here:\r");
    for (const TArea& each : AreaList) {
        if (area != nullptr && &each != area)
            continue;
        SendTo(Port, Call, AreaLine(each));
        int count = ListUsersInArea(Port, Call, each.Id);
        SendTo(Port, Call, "   --- Total Users (" + std::to_string(count) + ")" + "\r");
    }
}

int TForm1::ListUsersInArea(int32_t Port, const std::string& Call, int32_t AreaId)
{
    int count = 0;
    for (const TUser& user : UserList) {
        if (user.AreaId != AreaId)
            continue;
        SendTo(Port, Call,
               "   User(" + std::to_string(user.Port) + ":" + user.CallSign + ") " + "Name(" + user.Name + ") Info(" +
                   user.Info + ")" + "\r");
        ++count;
    }
    return count;
}

void TForm1::SendFile(int32_t Port, const std::string& Call, const std::string& FileName, const std::string& Fallback)
{
    if (!L2) {
        WriteLog(3, "{PALAVORO} <SendFile> L2 Object not ready");
        return;
    }
    if (!L2->Active) {
        WriteLog(3, "{PALAVORO} <SendFile> L2 Object not Active");
        return;
    }
    WriteLog(3, "{PALAVORO} <SendFile> Sending file(" + FileName + ") to (" + std::to_string(Port) + ":" + Call + ")");
    const std::filesystem::path path = FindTextFile(TextDir(), FileName);
    if (path.empty()) {
        SendTo(Port, Call, Fallback);
        return;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return;
    // Lines end in CR LF or a lone CR; a lone LF stays in the line, and
    // Ctrl-Z marks the end of the text.
    std::string line;
    bool partial = false;
    for (int c; (c = std::getc(file.get())) != EOF;) {
        if (c == 0x1A)
            break;
        if (c == '\r') {
            int next = std::getc(file.get());
            if (next != '\n' && next != EOF)
                std::ungetc(next, file.get());
            SendTo(Port, Call, line + "\r");
            line.clear();
            partial = false;
            continue;
        }
        line += static_cast<char>(c);
        partial = true;
    }
    if (std::ferror(file.get()))
        throw std::runtime_error("read error in " + path.string());
    if (partial)
        SendTo(Port, Call, line + "\r");
    if (std::fclose(file.release()) != 0)
        throw std::runtime_error("close error in " + path.string());
}

void TForm1::SendPrompt(int32_t Port, const std::string& Call, int32_t AreaId)
{
    SendTo(Port, Call, "\r[" + std::to_string(AreaId) + "]{" + Call + " de " + L2->CallSign + "}:" + "\r");
}
