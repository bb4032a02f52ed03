// The areas and the stations connected to the server, with their lookups.
// Areas keep their creation order and stations their connection order; a
// removal keeps the order of the rest.
#pragma once

#include "server/StationKey.h"
#include "support/Timer.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

enum StationState : uint8_t { DISC = 0, NONAME = 1, ONLINE = 2, EXPIRED = 3 };

struct Area {
    int32_t id = 0;
    std::string topic;
    bool lock = false; // a locked area cannot be destroyed
    std::string owner;
    std::string created;
    uint32_t userCount = 0;
    // Users of other nodes in it (the convers network's channel of this id).
    uint32_t remoteCount = 0;
    // Made for users of other nodes: it goes when nobody is left in it.
    bool network = false;
    // Root, the configured areas and network areas are the network's channels
    // of the same ids; areas stations create stay this node's own.
    bool onNetwork() const { return lock || network; }
};

// One connected station (a user's control block).
struct Station {
    // Read for every station at every line to an area: together, at the front.
    int32_t port = 0;
    int32_t areaId = 0;
    std::string callSign;
    std::string serverCall;
    std::string name;
    std::string info;
    uint8_t state = DISC;
    std::unique_ptr<Timer> timeLimit; // counts from the connect
    std::unique_ptr<Timer> idleLimit; // counts from the last line
    // Which limit ended the connection ("time limit", "idle limit"), for the connection log.
    std::string endedBy;
    // Wall-clock ms (ServerStats::now) of the connect and of the last line.
    int64_t connectedAt = 0;
    int64_t lastLineAt = 0;
    uint64_t linesSaid = 0;
    // Text received since the last line end, waiting for the rest of its line.
    std::string heldLine;
    // The last text ended in CR: a LF that starts the next one belongs to it.
    bool endedInCr = false;
    // Hands a held line on when no more text comes.
    std::unique_ptr<Timer> lineTimer;
};

class Directory {
public:
    explicit Directory(TraceLog& log) : log_(log) {}

    Area* findArea(int32_t id);
    // A new area at the end of the list; none when the id is taken.
    Area* addArea(int32_t id, const std::string& topic, bool lock, const std::string& owner);
    void deleteArea(const Area* area);
    // The lowest free id from 128 to 255 for an area a user creates; 0 when none is left.
    int32_t freeAreaId();
    const std::list<Area>& areas() const { return areas_; }
    // True when every area's user count is the number of stations in it.
    bool countsAreTrue() const;
    // Removes the areas users created that nobody is in and whose owner has
    // left: nobody could ever remove them otherwise. Only areas that a move or
    // a departure concerned since the last call are looked at, so the areas
    // kept over a lost link (clearRadioStations) stay until something happens in them.
    void removeAbandonedAreas();

    Station* findStation(int32_t port, const std::string& call);
    // The first station with this callsign on any port.
    Station* findStationByCall(const std::string& call);
    // The station whose time limit or idle limit this is.
    Station* findStationByTimer(const Timer* timer);
    // A new block at the end of the list, in Root and counted there; none when
    // the port and call are taken.
    Station* newStation(int32_t port, const std::string& call);
    // Every change of a station's area goes through here, so that each area's
    // user count stays the number of stations in it.
    void moveStation(Station& station, int32_t areaId);
    // Removes the block; its area counts one user less. Areas it leaves
    // abandoned go with it.
    void removeStation(const Station* station);
    // A station's area or personal text changed, or it has just connected.
    void stationChanged(const Station& station)
    {
        if (onStationChanged)
            onStationChanged(station);
    }
    // A user of another node came into (+1) or left (-1) an area.
    void countRemote(Area& area, int delta);
    // Removes every station on the air (the engine has dropped their connections);
    // areas and users over TCP stay.
    void clearRadioStations();
    const std::list<Station>& stations() const { return stations_; }
    // The same in an array, for the walks done at every line.
    const std::vector<const Station*>& roll() const { return roll_; }
    std::vector<Station*> stationsInArea(int32_t areaId);
    size_t stationCount() const { return stations_.size(); }

    void clear();

    // Told of every change of a station that the network hears of.
    std::function<void(const Station&)> onStationChanged;
    std::function<void(const Station&)> onStationRemoved;

private:
    void incAreaUsers(int32_t id);
    void decAreaUsers(int32_t id);

    TraceLog& log_;
    std::list<Area> areas_;
    std::list<Station> stations_;
    std::vector<const Station*> roll_;
    // Each station by its port and callsign: a line from a station looks it up.
    std::unordered_map<StationKey, std::list<Station>::iterator, StationKeyHash> byKey_;
    std::set<int32_t> emptied_;      // areas a station left since the last sweep
    std::set<std::string> departed_; // owners who left since the last sweep
    bool clearing_ = false;
};
