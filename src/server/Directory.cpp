// Areas and stations: lookups, creation and removal.
#include "server/Directory.h"

#include "support/HexStr.h"

#include <algorithm>

Area* Directory::findArea(int32_t id)
{
    for (Area& area : areas_)
        if (area.id == id)
            return &area;
    return nullptr;
}

void Directory::incAreaUsers(int32_t id)
{
    if (Area* area = findArea(id))
        ++area->userCount;
}

void Directory::decAreaUsers(int32_t id)
{
    Area* area = findArea(id);
    if (area != nullptr && area->userCount > 0)
        --area->userCount;
}

Area* Directory::addArea(int32_t id, const std::string& topic, bool lock, const std::string& owner)
{
    const std::string idText = std::to_string(id);
    log_.writeLog(4, "{PALAVORO} <AddArea> Id(" + idText + ") Topic(" + topic + ") Lock(" + boolText(lock) +
                         ") Owner(" + owner + ")");
    if (findArea(id) != nullptr) {
        log_.writeLog(1, "{PALAVORO} <AddArea> Area(" + idText + ") Already defined, creation ignored");
        return nullptr;
    }
    Area& area = areas_.emplace_back();
    log_.writeLog(1, "{PALAVORO} Area(" + idText + ") Created");
    area.id = id;
    area.topic = topic;
    area.lock = lock;
    area.owner = owner;
    area.created = TraceLog::timeStamp();
    area.userCount = 0;
    log_.writeLog(4, "{PALAVORO} <AddArea> Created Id(" + std::to_string(area.id) + ") Topic(" + area.topic +
                         ") Lock(" + boolText(area.lock) + ") Owner(" + area.owner + ")");
    return &area;
}

Station* Directory::findStation(int32_t port, const std::string& call)
{
    auto it = byKey_.find({port, call});
    return it == byKey_.end() ? nullptr : &*it->second;
}

Station* Directory::findStationByTimer(const Timer* timer)
{
    if (timer == nullptr) // blocks without a timer must not match
        return nullptr;
    for (Station& user : stations_)
        if (user.timeLimit.get() == timer || user.idleLimit.get() == timer)
            return &user;
    return nullptr;
}

Station* Directory::newStation(int32_t port, const std::string& call)
{
    auto [at, added] = byKey_.try_emplace({port, call});
    if (!added)
        return nullptr;
    at->second = stations_.emplace(stations_.end());
    Station& user = *at->second;
    roll_.push_back(&user);
    user.port = port;
    user.callSign = call;
    user.state = DISC;
    user.areaId = 0;
    incAreaUsers(0);
    return &user;
}

void Directory::moveStation(Station& station, int32_t areaId)
{
    emptied_.insert(station.areaId);
    decAreaUsers(station.areaId);
    station.areaId = areaId;
    incAreaUsers(areaId);
    stationChanged(station);
}

void Directory::countRemote(Area& area, int delta)
{
    if (delta < 0 && area.remoteCount > 0)
        --area.remoteCount;
    else if (delta > 0)
        ++area.remoteCount;
    emptied_.insert(area.id);
}

void Directory::clearRadioStations()
{
    clearing_ = true;
    for (auto it = stations_.begin(); it != stations_.end();) {
        const Station* station = &*it++;
        if (!isTcpUser(station->port))
            removeStation(station);
    }
    clearing_ = false;
    // The engine dropped everyone at once: nobody chose to leave, and the areas stay.
    emptied_.clear();
    departed_.clear();
}

bool Directory::countsAreTrue() const
{
    for (const Area& area : areas_) {
        uint32_t count = 0;
        for (const Station& station : stations_)
            count += station.areaId == area.id ? 1 : 0;
        if (count != area.userCount)
            return false;
    }
    return true;
}

void Directory::removeStation(const Station* user)
{
    auto known = user == nullptr ? byKey_.end() : byKey_.find({user->port, user->callSign});
    if (known == byKey_.end() || &*known->second != user)
        return;
    const auto node = known->second;
    // A stopped timer cannot fire again for a block that is gone.
    if (std::unique_ptr<Timer> timer = std::move(node->timeLimit))
        timer->setEnabled(false);
    if (std::unique_ptr<Timer> timer = std::move(node->idleLimit))
        timer->setEnabled(false);
    decAreaUsers(node->areaId);
    emptied_.insert(node->areaId);
    departed_.insert(node->callSign);
    if (onStationRemoved)
        onStationRemoved(*node);
    byKey_.erase({node->port, node->callSign});
    roll_.erase(std::find(roll_.begin(), roll_.end(), &*node));
    stations_.erase(node);
    if (!clearing_)
        removeAbandonedAreas();
}

void Directory::removeAbandonedAreas()
{
    // Runs after every line: with nobody gone since the last sweep, it is a test.
    if (emptied_.empty() && departed_.empty())
        return;
    areas_.remove_if([this](const Area& area) {
        const bool concerned = emptied_.count(area.id) > 0 || departed_.count(area.owner) > 0;
        if (!concerned || area.lock || area.userCount != 0 || area.remoteCount != 0 ||
            (!area.network && findStationByCall(area.owner) != nullptr))
            return false;
        log_.writeLog(1, "{PALAVORO} Area(" + std::to_string(area.id) +
                             (area.network ? ") Removed, nobody in it" : ") Removed, its owner gone and nobody in it"));
        return true;
    });
    emptied_.clear();
    departed_.clear();
}

std::vector<Station*> Directory::stationsInArea(int32_t areaId)
{
    std::vector<Station*> found;
    for (Station& station : stations_)
        if (station.areaId == areaId)
            found.push_back(&station);
    return found;
}

int32_t Directory::freeAreaId()
{
    for (int32_t id = 128; id <= 255; ++id)
        if (findArea(id) == nullptr)
            return id;
    return 0;
}

void Directory::deleteArea(const Area* area)
{
    areas_.remove_if([area](const Area& a) { return &a == area; });
}

Station* Directory::findStationByCall(const std::string& call)
{
    for (Station& station : stations_)
        if (station.callSign == call)
            return &station;
    return nullptr;
}

void Directory::clear()
{
    areas_.clear();
    stations_.clear();
    byKey_.clear();
    roll_.clear();
}
