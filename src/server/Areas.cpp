#include "ChatServer.h"

#include "support/HexStr.h"

#include <algorithm>

Area* ChatServer::findArea(int32_t id)
{
    for (Area& area : areas)
        if (area.id == id)
            return &area;
    return nullptr;
}

void ChatServer::incAreaUsers(int32_t id)
{
    if (Area* area = findArea(id))
        ++area->userCount;
}

void ChatServer::decAreaUsers(int32_t id)
{
    Area* area = findArea(id);
    if (area != nullptr && area->userCount > 0)
        --area->userCount;
}

Area* ChatServer::addArea(int32_t id, const std::string& topic, bool lock, const std::string& owner)
{
    const std::string idText = std::to_string(id);
    writeLog(4, "{PALAVORO} <AddArea> Id(" + idText + ") Topic(" + topic + ") Lock(" + boolText(lock) + ") Owner(" +
                    owner + ")");
    if (findArea(id) != nullptr) {
        writeLog(1, "{PALAVORO} <AddArea> Area(" + idText + ") Already defined, creation ignored");
        return nullptr;
    }
    Area& area = areas.emplace_back();
    writeLog(1, "{PALAVORO} Area(" + idText + ") Created");
    area.id = id;
    area.topic = topic;
    area.lock = lock;
    area.owner = owner;
    area.created = TraceLog::timeStamp();
    area.userCount = 0;
    writeLog(4, "{PALAVORO} <AddArea> Created Id(" + std::to_string(area.id) + ") Topic(" + area.topic + ") Lock(" +
                    boolText(area.lock) + ") Owner(" + area.owner + ")");
    return &area;
}

Station* ChatServer::findStation(int32_t port, const std::string& call)
{
    for (Station& user : stations)
        if (user.port == port && user.callSign == call)
            return &user;
    return nullptr;
}

Station* ChatServer::findStationByTimer(const Timer* timer)
{
    if (timer == nullptr) // blocks without a timer must not match
        return nullptr;
    for (Station& user : stations)
        if (user.timeLimit.get() == timer)
            return &user;
    return nullptr;
}

Station* ChatServer::newStation(int32_t port, const std::string& call)
{
    if (findStation(port, call) != nullptr)
        return nullptr;
    Station& user = stations.emplace_back();
    user.port = port;
    user.callSign = call;
    user.state = DISC;
    user.areaId = 0;
    return &user;
}

void ChatServer::removeStation(Station* user)
{
    auto node = std::find_if(stations.begin(), stations.end(), [user](const Station& u) { return &u == user; });
    if (node == stations.end())
        return;
    // A stopped timer cannot fire again for a block that is gone.
    if (std::unique_ptr<Timer> timer = std::move(node->timeLimit))
        timer->setEnabled(false);
    stations.erase(node);
}
