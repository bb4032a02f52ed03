// Everything the server sends to stations: a line to the users of an area,
// joining and leaving areas, the area and user lists, canned texts from TEXT/
// and the prompt.
#pragma once

#include "convers/RemoteView.h"
#include "link/AgwLink.h"
#include "server/Directory.h"
#include "server/ServerStats.h"
#include "server/Settings.h"
#include "server/StationOutput.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr uint8_t PID_NO_L3 = 0xF0;

class Delivery {
public:
    // `link` is the server's link, made at start-up; `textDir` ends in "/".
    Delivery(const std::unique_ptr<AgwLink>& link, StationOutput& output, Directory& directory,
             const ServerSettings& settings, TraceLog& log, std::string textDir, ServerStats& stats);

    // One text to one station: PID 0xF0, own call as sender.
    void sendTo(int32_t port, const std::string& call, const std::string& text);
    // An area line to every user of the area but the speaker.
    void broadCastToArea(int32_t port, const std::string& call, int32_t areaId, const std::string& text);
    void broadCastAll(int32_t port, const std::string& call, const std::string& text);
    // An area line of a user of another node (`who` is "name@host") to every station of the area.
    void broadCastRemote(const std::string& who, int32_t areaId, const std::string& text);
    // A line the station said, relayed to its area (or back to Root when the area is gone).
    void sendData(int32_t port, const std::string& call, Station& station, const std::string& text);
    void joinArea(int32_t port, const std::string& call, Station& station, int32_t newId);
    void moveAreaUsers(int32_t fromId, int32_t toId);
    void listAreas(int32_t port, const std::string& call);
    // The users of one area, or of every area when `area` is none.
    void listStationsByArea(int32_t port, const std::string& call, const Area* area);
    // A canned text from TEXT/ (its name in any letter case), or the fallback.
    void sendFile(int32_t port, const std::string& call, const std::string& fileName, const std::string& fallback);
    void sendPrompt(int32_t port, const std::string& call, int32_t areaId);

    // The network whose users /W lists with ours; none when not linked.
    void setNetwork(RemoteView* network) { network_ = network; }
    // A line a station said to its area, for the network.
    std::function<void(const Station& station, int32_t areaId, const std::string& text)> onStationLine;

private:
    int listStationsInArea(int32_t port, const std::string& call, int32_t areaId);
    int listRemoteInArea(int32_t port, const std::string& call, int32_t areaId);
    // One area line from `speaker` to the stations of the area but `skip`.
    void sendAreaLine(int32_t areaId, const std::string& skip, std::string_view speaker, const std::string& text);
    void writeLog(uint8_t level, std::string_view text) { log_.writeLog(level, text); }

    const std::unique_ptr<AgwLink>& link_;
    StationOutput& output_;
    Directory& directory_;
    const ServerSettings& settings_;
    TraceLog& log_;
    const std::string textDir_;
    ServerStats& stats_;
    std::vector<AgwLink::Addressee> addressees_; // of the area line being sent, kept for the next
    RemoteView* network_ = nullptr;
};
