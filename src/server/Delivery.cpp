// Area lines, lists, canned texts and the prompt. Trace texts such as
// "{PALAVORO} <BroadCastToArea>" are fixed texts, kept byte for byte.
#include "server/Delivery.h"

#include "support/HexStr.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace {

std::string areaLine(const Area& area)
{
    return "Id(" + std::to_string(area.id) + ") " + "Topic(" + area.topic + ") " + "Owner(" + area.owner + ") " +
           "Users(" + std::to_string(area.userCount + area.remoteCount) + ")" + "\r";
}

bool isRegularFile(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

// The canned texts were named without regard to case on the original
// platform, so an operator's "help.inf" still serves HELP.INF.
std::filesystem::path findTextFile(const std::string& directory, const std::string& name)
{
    std::filesystem::path exact = directory + name;
    if (isRegularFile(exact))
        return exact;
    const std::string wanted = upperStr(name);
    std::filesystem::path found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::filesystem::path& candidate = it->path();
        // Several spellings of one name: take the first in byte order, so the
        // choice does not depend on the directory's order.
        if (upperStr(candidate.filename().string()) == wanted && isRegularFile(candidate) &&
            (found.empty() || candidate.filename() < found.filename()))
            found = candidate;
    }
    return found;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

void Delivery::broadCastToArea(int32_t port, const std::string& call, int32_t areaId, const std::string& text)
{
    if (log_.enabled(3))
        writeLog(3, "{PALAVORO} <BroadCastToArea> Port(" + std::to_string(port) + ":" + call + ") Area(" +
                        std::to_string(areaId) + ")");
    log_.writeHex(4, text);
    std::string speaker;
    speaker.reserve(call.size() + link_->callSign().size() + 1);
    speaker.append(call).append("@").append(link_->callSign());
    sendAreaLine(areaId, call, speaker, text);
}

void Delivery::broadCastRemote(const std::string& who, int32_t areaId, const std::string& text)
{
    writeLog(3, "{PALAVORO} <BroadCastToArea> Network(" + who + ") Area(" + std::to_string(areaId) + ")");
    log_.writeHex(4, text);
    sendAreaLine(areaId, std::string(), who, text);
}

void Delivery::sendAreaLine(int32_t areaId, const std::string& skip, std::string_view speaker, const std::string& text)
{
    // Built once, in one allocation, for every user.
    const std::string areaText = std::to_string(areaId);
    std::string line;
    line.reserve(areaText.size() + speaker.size() + text.size() + 8);
    line.append(1, '[').append(areaText).append("]<").append(speaker).append("> ").append(text);
    if (settings_.bell)
        line += '\a';
    line += '\r';
    addressees_.clear();
    for (const Station* user : directory_.roll())
        if (user->areaId == areaId && user->callSign != skip)
            addressees_.push_back({static_cast<uint32_t>(user->port), &user->callSign});
    output_.sendToEach(addressees_, std::string(speaker), std::move(line));
}

void Delivery::broadCastAll(int32_t port, const std::string& call, const std::string& text)
{
    writeLog(3, "{PALAVORO} <BroadCastAll>");
    for (const Area& area : directory_.areas())
        broadCastToArea(port, call, area.id, text);
}

void Delivery::sendData(int32_t port, const std::string& call, Station& user, const std::string& text)
{
    writeLog(3, "{PALAVORO} <SendData>");
    if (directory_.findArea(user.areaId) != nullptr) {
        broadCastToArea(port, call, user.areaId, text);
        ++stats_.linesRelayed;
        if (onStationLine)
            onStationLine(user, user.areaId, text);
        return;
    }
    sendTo(port, call, "\r-- Area(" + std::to_string(user.areaId) + " no longer exists, returned to Root Area" + "\r");
    directory_.moveStation(user, 0);
}

void Delivery::joinArea(int32_t port, const std::string& call, Station& user, int32_t newId)
{
    const std::string newIdText = std::to_string(newId);
    Area* area = directory_.findArea(newId);
    if (area == nullptr) {
        sendTo(port, call, "\r-- Error Joining Area(" + newIdText + ")" + "\r");
        return;
    }
    broadCastToArea(port, call, user.areaId,
                    "<" + user.callSign + " left this area, now in Area(" + newIdText + ")>\r");
    directory_.moveStation(user, newId);
    sendTo(port, call, "\r-- Now at Area(" + area->topic + ") Topic(" + area->topic + ")" + "\r");
    broadCastToArea(port, call, newId, "<" + user.callSign + " joined Area>\r");
}

void Delivery::moveAreaUsers(int32_t fromId, int32_t toId)
{
    const Area* from = directory_.findArea(fromId);
    if (fromId == toId || from == nullptr)
        return;
    for (Station* user : directory_.stationsInArea(fromId)) {
        sendTo(user->port, user->callSign,
               "\r-- Area(" + std::to_string(fromId) + ") Removed by Owner Now at Area(" + std::to_string(toId) + "-" +
                   from->topic + ")" + "\r");
        joinArea(user->port, user->callSign, *user, toId);
    }
}

void Delivery::listAreas(int32_t port, const std::string& call)
{
    writeLog(3, "{PALAVORO} <ListAreas> Port(" + std::to_string(port) + ":" + call + ")");
    sendTo(port, call, "\rAreas Available:\r");
    for (const Area& area : directory_.areas())
        sendTo(port, call, areaLine(area));
}

void Delivery::listStationsByArea(int32_t port, const std::string& call, const Area* area)
{
    writeLog(3, "{PALAVORO} <ListUsersByArea> Port(" + std::to_string(port) + ") Call(" + call + ")");
    sendTo(port, call, "\rWho is here:\r");
    for (const Area& each : directory_.areas()) {
        if (area != nullptr && &each != area)
            continue;
        sendTo(port, call, areaLine(each));
        int count =
            listStationsInArea(port, call, each.id) + (each.onNetwork() ? listRemoteInArea(port, call, each.id) : 0);
        sendTo(port, call, "   --- Total Users (" + std::to_string(count) + ")" + "\r");
    }
}

int Delivery::listStationsInArea(int32_t port, const std::string& call, int32_t areaId)
{
    int count = 0;
    for (const Station& user : directory_.stations()) {
        if (user.areaId != areaId)
            continue;
        sendTo(port, call,
               "   User(" + shownPort(user.port) + ":" + user.callSign + ") " + "Name(" + user.name + ") Info(" +
                   user.info + ")" + "\r");
        ++count;
    }
    return count;
}

int Delivery::listRemoteInArea(int32_t port, const std::string& call, int32_t areaId)
{
    if (network_ == nullptr)
        return 0;
    int count = 0;
    for (const RemoteUser* user : network_->remoteUsers()) {
        if (std::find(user->channels.begin(), user->channels.end(), areaId) == user->channels.end())
            continue;
        sendTo(port, call,
               "   User(" + user->name + "@" + user->host + ") Info(" + user->note + ")" +
                   (user->away.empty() ? "" : " Away(" + user->away + ")") + "\r");
        ++count;
    }
    return count;
}

void Delivery::sendFile(int32_t port, const std::string& call, const std::string& fileName, const std::string& fallback)
{
    // A user over TCP is there with or without the engine.
    if (!link_ && !isTcpUser(port)) {
        writeLog(3, "{PALAVORO} <SendFile> L2 Object not ready");
        return;
    }
    if (!isTcpUser(port) && !link_->isActive()) {
        writeLog(3, "{PALAVORO} <SendFile> L2 Object not Active");
        return;
    }
    writeLog(3, "{PALAVORO} <SendFile> Sending file(" + fileName + ") to (" + std::to_string(port) + ":" + call + ")");
    const std::filesystem::path path = findTextFile(textDir_, fileName);
    if (path.empty()) {
        sendTo(port, call, fallback);
        return;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return;
    // Lines end in CR LF, a lone CR or a lone LF (a text saved on Linux), and
    // each goes out ending in CR; Ctrl-Z marks the end of the text.
    std::string line;
    bool partial = false;
    for (int c; (c = std::getc(file.get())) != EOF;) {
        if (c == 0x1A)
            break;
        if (c == '\r' || c == '\n') {
            int next = c == '\r' ? std::getc(file.get()) : EOF;
            if (next != '\n' && next != EOF)
                std::ungetc(next, file.get());
            sendTo(port, call, line + "\r");
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
        sendTo(port, call, line + "\r");
    if (std::fclose(file.release()) != 0)
        throw std::runtime_error("close error in " + path.string());
}

Delivery::Delivery(const std::unique_ptr<AgwLink>& link, StationOutput& output, Directory& directory,
                   const ServerSettings& settings, TraceLog& log, std::string textDir, ServerStats& stats)
    : link_(link), output_(output), directory_(directory), settings_(settings), log_(log),
      textDir_(std::move(textDir)), stats_(stats)
{
    output_.onSent = [this](size_t bytes, bool direct) {
        if (direct || (link_ && link_->isActive()))
            stats_.bytesSent += bytes;
    };
}

void Delivery::sendTo(int32_t port, const std::string& call, const std::string& text)
{
    output_.send(port, call, text);
}

void Delivery::sendPrompt(int32_t port, const std::string& call, int32_t areaId)
{
    const std::string areaText = std::to_string(areaId);
    const std::string& server = link_->callSign();
    std::string prompt;
    prompt.reserve(areaText.size() + call.size() + server.size() + 11);
    prompt.append("\r[").append(areaText).append("]{").append(call).append(" de ").append(server).append("}:\r");
    sendTo(port, call, prompt);
}
