#include "chat.h"

#include "support/HexStr.h"

#include <algorithm>

TArea* TForm1::FindArea(int32_t Id)
{
    for (TArea& area : AreaList)
        if (area.Id == Id)
            return &area;
    return nullptr;
}

void TForm1::IncAreaUsers(int32_t Id)
{
    if (TArea* area = FindArea(Id))
        ++area->UserCount;
}

void TForm1::DecAreaUsers(int32_t Id)
{
    TArea* area = FindArea(Id);
    if (area != nullptr && area->UserCount > 0)
        --area->UserCount;
}

TArea* TForm1::AddArea(int32_t Id, const std::string& Topic, bool Lock, const std::string& Owner)
{
    const std::string id = std::to_string(Id);
    WriteLog(4, "{PALAVORO} <AddArea> Id(" + id + ") Topic(" + Topic + ") Lock(" + BoolText(Lock) + ") Owner(" + Owner +
                    ")");
    if (FindArea(Id) != nullptr) {
        WriteLog(1, "{PALAVORO} <AddArea> Area(" + id + ") Already defined, creation ignored");
        return nullptr;
    }
    TArea& area = AreaList.emplace_back();
    WriteLog(1, "{PALAVORO} Area(" + id + ") Created");
    area.Id = Id;
    area.Topic = Topic;
    area.Lock = Lock;
    area.Owner = Owner;
    area.Created = TraceLog::TimeStamp();
    area.UserCount = 0;
    WriteLog(4, "{PALAVORO} <AddArea> Created Id(" + std::to_string(area.Id) + ") Topic(" + area.Topic + ") Lock(" +
                    BoolText(area.Lock) + ") Owner(" + area.Owner + ")");
    return &area;
}

TUser* TForm1::FindUser(int32_t Port, const std::string& Call)
{
    for (TUser& user : UserList)
        if (user.Port == Port && user.CallSign == Call)
            return &user;
    return nullptr;
}

TUser* TForm1::FindUserByTimer(const Timer* timer)
{
    if (timer == nullptr) // blocks without a timer must not match
        return nullptr;
    for (TUser& user : UserList)
        if (user.IdleTimer.get() == timer)
            return &user;
    return nullptr;
}

TUser* TForm1::NewUser(int32_t Port, const std::string& Call)
{
    if (FindUser(Port, Call) != nullptr)
        return nullptr;
    TUser& user = UserList.emplace_back();
    user.Port = Port;
    user.CallSign = Call;
    user.State = DISC;
    user.AreaId = 0;
    return &user;
}

void TForm1::RemoveUser(TUser* user)
{
    auto node = std::find_if(UserList.begin(), UserList.end(), [user](const TUser& u) { return &u == user; });
    if (node == UserList.end())
        return;
    // A stopped timer cannot fire again for a block that is gone.
    if (std::unique_ptr<Timer> timer = std::move(node->IdleTimer))
        timer->SetEnabled(false);
    UserList.erase(node);
}
