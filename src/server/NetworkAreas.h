// Where the convers network meets the areas: users of other nodes appear in
// the areas of their channels (a channel below 128 that is no area here makes
// a network area), their lines and moves are shown to the stations as area
// lines naming them "name@host", and our stations' moves, personal texts,
// departures and lines go out to the network.
#pragma once

#include "convers/RemoteView.h"
#include "server/Delivery.h"
#include "server/Directory.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <map>
#include <vector>
#include <memory>
#include <string>

class NetworkAreas {
public:
    // Channels from here up are no network areas unless configured.
    static constexpr int32_t FIRST_OWN_AREA = 128;

    NetworkAreas(Directory& directory, Delivery& delivery, RemoteView& network, const std::unique_ptr<AgwLink>& link,
                 TraceLog& log);

    // The network's channel of the area a station is in; -1 for an area of
    // this node's own.
    int32_t channelOf(int32_t areaId);

    // Our stations, as the directory and delivery report them.
    void stationChanged(const Station& station);
    void stationRemoved(const Station& station);
    void stationSaid(const Station& station, int32_t areaId, const std::string& text);

    // Users of other nodes, as the network reports them.
    void joined(const RemoteUser& user, int32_t channel);
    void left(const RemoteUser& user, int32_t channel);
    void moved(const RemoteUser& user, int32_t from, int32_t to);
    void said(const RemoteUser& user, int32_t channel, const std::string& text);
    void privateLine(const std::string& fromName, const std::string& fromHost, const std::string& toCall,
                     const std::string& text);
    void invited(const std::string& fromName, const std::string& fromHost, const std::string& toCall, int32_t channel);
    void topic(int32_t channel, const std::string& text);
    // The notices of many users of one link at once, gathered and shown
    // together: more than SUMMED in one area make one line.
    void gathering(const std::string& link, bool joins, bool open);
    static constexpr size_t SUMMED = 3;

    // "name@host", as stations see a user of another node.
    static std::string who(const RemoteUser& user) { return user.name + "@" + user.host; }

private:
    // The area of a channel, made when a channel below 128 has none yet.
    Area* areaFor(int32_t channel, bool make);
    // Users ("name@host") whose notice waits, by area, for one link's gathering.
    struct Gathered {
        std::map<int32_t, std::vector<std::string>> areas;
    };
    static bool take(Gathered& gathered, int32_t channel, const std::string& who);
    void notice(const std::string& who, int32_t channel, const char* what);

    Directory& directory_;
    Delivery& delivery_;
    RemoteView& network_;
    const std::unique_ptr<AgwLink>& link_;
    TraceLog& log_;
    std::map<std::string, Gathered> joins_;  // by link name
    std::map<std::string, Gathered> leaves_; // by link name
};
