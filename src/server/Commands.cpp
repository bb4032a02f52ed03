// The slash commands, one function each.
#include "server/Commands.h"

#include "server/ServerStatus.h"
#include "support/HexStr.h"

#include <algorithm>

namespace {

const char* const HELP_ENTRIES[] = {
    "/B[ye]",
    "/C[hannel] {#Channel|*} ",
    "/NE[w] {Topic of New Channel}",
    "/E[xit]",
    "/H[elp]",
    "/J[oin] {#Channel}",
    "/F[ollow] {CallSign}",
    "/L[eave] {#Channel}",
    "/LI[nks]",
    "/M[sg] {#Channel|CallSign} Message",
    "/NA[me] {Name}",
    "/P[ersonal] {Personal Data|@}  ",
    "/T[opic]    {#Channel} {Text|@}",
    "/D[estroy] {#Channel}",
    "/U[ser] {CallSign}         ",
    "/W[ho]",
    "/V[ersion]",
};

const char* const NAME_REQUIRED = "\r--- This server requires to set your name, use the /NA name command\r";
const char* const NO_INFORMATION = "\r--- No information on the subject\r";
// The user file could not be written: the change holds for this connection only.
const char* const NOT_SAVED = "\r-- Unable to save, kept for this connection only\r";

std::string notFound(const std::string& word)
{
    return "\r-- Area(" + word + ") Not Found\r";
}

// An area number as typed, "#" before it allowed (the help writes {#Channel}).
std::string areaWord(std::string word)
{
    if (word.size() > 1 && word[0] == '#' && isNumeric(std::string_view(word).substr(1)))
        word.erase(0, 1);
    return word;
}

// A subject names a file inside TEXT and nothing outside it.
bool isSafeSubject(const std::string& word)
{
    return word.find_first_of(std::string("/\\\0", 3)) == std::string::npos && word.find("..") == std::string::npos;
}

// One command line being carried out for one user.
class Command {
public:
    Command(const CommandInterpreter::Parts& server, int32_t port, const std::string& call, Station& user,
            std::string args)
        : server_(server), port_(port), call_(call), user_(user), args_(std::move(args))
    {
    }

    void dispatch(const std::string& token);

private:
    void reply(const std::string& text) { server_.delivery.sendTo(port_, call_, text); }
    void recognized(const char* name)
    {
        server_.log.writeLog(3, std::string("{PALAVORO} ") + name + " Command recognized");
    }
    // The area a typed number names, or none (also for a word that is not a number).
    Area* areaNamed(const std::string& word)
    {
        // A number past 32 bits names no area either.
        int32_t id = 0;
        return isNumeric(word) && tryStrToInt(word, id) ? server_.directory.findArea(id) : nullptr;
    }
    // The next argument, with "#" taken off an area number.
    std::string nextAreaWord() { return areaWord(nextWord(args_)); }
    // The area number that starts the arguments, or none after the reply.
    Area* areaArgument();
    const std::string& ownCall() const { return server_.link->callSign(); }

    void bye();
    void help();
    void version();
    void name();
    void personal();
    void channel();
    void info();
    void who();
    void topic();
    void join();
    void follow();
    void newArea();
    void msg();
    void leave();
    void destroy();
    void user();
    void links();
    void followRemote(const std::string& typed);
    // A user of another node named by "name" or "name@host" (any case), or none.
    const RemoteUser* remoteNamed(const std::string& word) { return server_.network.findRemote(word); }

    const CommandInterpreter::Parts& server_;
    const int32_t port_;
    const std::string& call_;
    Station& user_;
    std::string args_;
};

void Command::dispatch(const std::string& token)
{
    const char first = token[0];
    const std::string two = token.substr(0, 2);
    if (first == 'B' || first == 'Q' || first == 'E')
        bye();
    else if (first == 'H' || first == '?')
        help();
    else if (first == 'V')
        version();
    else if (two == "NA")
        name();
    else if (user_.state != ONLINE)
        server_.delivery.sendFile(port_, call_, "NAME.INF", NAME_REQUIRED);
    else if (first == 'P')
        personal();
    else if (first == 'C')
        channel();
    else if (first == 'I')
        info();
    else if (first == 'W')
        who();
    else if (first == 'T')
        topic();
    else if (first == 'J')
        join();
    else if (first == 'F')
        follow();
    else if (two == "NE")
        newArea();
    else if (first == 'M')
        msg();
    else if (two == "LI")
        links();
    else if (first == 'L')
        leave();
    else if (first == 'D')
        destroy();
    else if (first == 'U')
        user();
    else
        reply("\r-- Command " + token + " Not Recognized\r");
}

Area* Command::areaArgument()
{
    if (args_.empty()) {
        reply("\r-- Inform Area #\r");
        return nullptr;
    }
    const std::string word = nextAreaWord();
    Area* area = areaNamed(word);
    if (area == nullptr)
        reply(notFound(word));
    return area;
}

void Command::bye()
{
    recognized("BYE");
    server_.delivery.broadCastToArea(port_, call_, user_.areaId, "<" + user_.callSign + " left Area>\r");
    user_.state = DISC;
    server_.delivery.sendFile(port_, call_, "GOODBYE.INF", "\r--- GoodBye!\r");
    server_.drain.disconnectWhenSent(port_, ownCall(), call_);
}

void Command::help()
{
    recognized("Help");
    std::string text = "\rCommand List\r";
    for (const char* entry : HELP_ENTRIES) {
        text += entry;
        text += '\r';
    }
    server_.delivery.sendFile(port_, call_, "HELP.INF", text);
}

void Command::version()
{
    recognized("Version");
    reply("\r-- Palavoro Version 0.10 Build(05)\r");
}

void Command::name()
{
    recognized("Name");
    if (!args_.empty())
        user_.name = args_.find('@') != std::string::npos ? std::string() : UserFile::oneLine(args_);
    reply("\r-- User Name for Call(" + call_ + ") Name(" + user_.name + ")\r");
    server_.userFile.save(port_, call_, user_.name, user_.info);
    if (!user_.name.empty())
        user_.state = ONLINE;
}

void Command::personal()
{
    recognized("Personal");
    if (!args_.empty()) {
        user_.info = args_.find('@') != std::string::npos ? std::string() : UserFile::oneLine(args_);
        server_.userFile.save(port_, call_, user_.name, user_.info);
        server_.directory.stationChanged(user_);
    }
    reply("\r-- User Name for Call(" + call_ + ") Personal(" + user_.info + ")\r");
}

void Command::channel()
{
    recognized("Channel");
    if (args_.empty())
        args_ = std::to_string(user_.areaId);
    const std::string word = nextAreaWord();
    if (isNumeric(word)) {
        const Area* area = areaNamed(word);
        reply(area == nullptr ? notFound(word) : "\r-- Area(" + word + ") Info(" + area->topic + ")\r");
    } else if (word == "*") {
        server_.delivery.listAreas(port_, call_);
    } else {
        reply(notFound(word));
    }
}

void Command::info()
{
    recognized("Info");
    if (args_.empty())
        args_ = "PALAVORO";
    const std::string word = nextWord(args_);
    if (!isSafeSubject(word)) {
        reply(NO_INFORMATION);
        return;
    }
    server_.delivery.sendFile(port_, call_, word + ".INF", NO_INFORMATION);
}

void Command::who()
{
    recognized("Who");
    if (args_.empty()) {
        server_.delivery.listStationsByArea(port_, call_, nullptr);
        return;
    }
    const std::string word = nextAreaWord();
    Area* area = areaNamed(word);
    if (area == nullptr)
        reply(notFound(word));
    else
        server_.delivery.listStationsByArea(port_, call_, area);
}

void Command::topic()
{
    recognized("Topic");
    Area* area = areaArgument();
    if (area == nullptr)
        return;
    const std::string& text = args_;
    if (!text.empty()) {
        if (area->owner != call_) {
            reply("\r-- Area(" + area->topic + ") Not Owned by Call(" + call_ + ")\r");
            return;
        }
        area->topic = text == "@" ? std::string() : text;
    }
    reply("\r-- Area(" + area->topic + ") Topic(" + area->topic + ")\r");
}

void Command::join()
{
    recognized("Join");
    if (const Area* area = areaArgument())
        server_.delivery.joinArea(port_, call_, user_, area->id);
}

void Command::follow()
{
    recognized("Follow");
    if (args_.empty()) {
        reply("\r-- Inform Callsign-SSID to follow\r");
        return;
    }
    const std::string typed = nextWord(args_);
    const std::string word = upperStr(typed);
    const Station* target = typed.find('@') == std::string::npos ? server_.directory.findStationByCall(word) : nullptr;
    if (target == nullptr) {
        followRemote(typed);
        return;
    }
    const Area* area = server_.directory.findArea(target->areaId);
    if (area == nullptr) {
        reply("\r-- Area to Follow Not Found\r");
        return;
    }
    reply("\r-- Followed User (" + target->callSign + ") into Area(" + std::to_string(area->id) + "-" + area->topic +
          ")\r");
    server_.delivery.joinArea(port_, call_, user_, target->areaId);
}

void Command::newArea()
{
    recognized("New");
    if (!server_.settings.createArea) {
        reply("\r-- Server do not allow creation of areas\r");
        return;
    }
    const std::string topic = args_;
    if (topic.empty()) {
        reply("\r-- New Area Requires a Description\r");
        return;
    }
    // One user must not take all the free ids: the stations of one callsign
    // together may own only so many areas at a time.
    const std::string base = UserFile::baseCall(call_);
    const auto owned = std::count_if(server_.directory.areas().begin(), server_.directory.areas().end(),
                                     [&base](const Area& a) { return !a.lock && UserFile::baseCall(a.owner) == base; });
    if (owned >= server_.settings.maxAreas) {
        reply("\r-- Call(" + base + ") already owns " + std::to_string(owned) + " Areas\r");
        return;
    }
    const int32_t id = server_.directory.freeAreaId();
    if (id == 0) {
        reply("\r-- Unable to allocate a New Area\r");
        return;
    }
    Area* area = server_.directory.addArea(id, topic, false, call_);
    if (area == nullptr) {
        reply("\r-- Unable to create a New Area\r");
        return;
    }
    area->topic = topic;
    area->owner = call_;
    area->created = TraceLog::timeStamp();
    reply("\r-- Created Area(" + topic + ") Topic(" + topic + ")\r");
    server_.delivery.broadCastAll(port_, call_,
                                  "New Area(" + std::to_string(id) + ") created by Call(" + call_ + ")\r");
    server_.delivery.joinArea(port_, call_, user_, id);
}

void Command::msg()
{
    recognized("Message");
    if (args_.empty()) {
        reply("\r-- Inform Area #\r");
        return;
    }
    std::string word = nextAreaWord();
    const std::string& message = args_;
    if (!isNumeric(word)) {
        const std::string typed = word;
        word = upperStr(word);
        const Station* target =
            typed.find('@') == std::string::npos ? server_.directory.findStationByCall(word) : nullptr;
        if (target == nullptr) {
            if (!server_.network.privateLine(call_, typed, message))
                reply("\r-- Invalid Area or CallSign Informed\r");
            return;
        }
        server_.delivery.sendTo(target->port, target->callSign,
                                '[' + std::to_string(target->areaId) + "]<" + target->callSign + "@" + ownCall() +
                                    "> ((PRIVATE MESSAGE FROM " + call_ + "))" + "\r" + message + "\r");
        return;
    }
    const Area* area = areaNamed(word);
    if (area == nullptr) {
        reply(notFound(word));
        return;
    }
    server_.delivery.broadCastToArea(port_, call_, area->id, message);
    if (server_.delivery.onStationLine)
        server_.delivery.onStationLine(user_, area->id, message);
}

void Command::leave()
{
    recognized("Leave");
    if (areaArgument() != nullptr)
        server_.delivery.joinArea(port_, call_, user_, 0);
}

void Command::destroy()
{
    recognized("Destroy");
    Area* area = areaArgument();
    if (area == nullptr)
        return;
    const std::string id = std::to_string(area->id);
    if (area->owner != call_) {
        reply("\r-- Area(" + id + ") Not Owned by Call(" + call_ + ")\r");
        return;
    }
    if (area->lock) {
        reply("\r-- Area(" + id + ") Can not be removed\r");
        return;
    }
    server_.delivery.moveAreaUsers(area->id, 0);
    reply("\r-- Area(" + id + ") Topic(" + area->topic + ") Removed\r");
    server_.delivery.broadCastAll(port_, call_,
                                  "-- Area(" + id + "-" + area->topic + ") Removed by Call(" + call_ + ")\r");
    server_.directory.deleteArea(area);
}

void Command::user()
{
    recognized("User");
    if (args_.empty()) {
        reply("\r-- Inform Callsign-SSID\r");
        return;
    }
    const std::string typed = nextWord(args_);
    const std::string word = upperStr(typed);
    bool found = false;
    for (const Station& station : server_.directory.stations()) {
        if (station.callSign != word)
            continue;
        const Area* area = server_.directory.findArea(station.areaId);
        reply("\r-- User(" + shownPort(station.port) + ":" + station.callSign + ") Name(" + station.name + ") Info(" +
              station.info + ") Area(" + std::to_string(station.areaId) + "-" +
              (area != nullptr ? area->topic : std::string()) + ")\r");
        found = true;
    }
    if (found)
        return;
    if (const RemoteUser* remote = remoteNamed(typed)) {
        const int32_t areaId = remote->channels.empty() ? -1 : remote->channels.front();
        const Area* area = server_.directory.findArea(areaId);
        reply("\r-- User(" + remote->host + ":" + remote->name + ") Name() Info(" + remote->note + ") Area(" +
              std::to_string(areaId) + "-" + (area != nullptr && area->onNetwork() ? area->topic : std::string()) +
              ")\r");
        return;
    }
    reply("\r-- Call(" + word + ") Not Found on Server\r");
}

void Command::followRemote(const std::string& typed)
{
    const RemoteUser* remote = remoteNamed(typed);
    const Area* area = nullptr;
    for (int32_t channel : remote != nullptr ? remote->channels : std::vector<int32_t>()) {
        const Area* each = server_.directory.findArea(channel);
        if (each != nullptr && each->onNetwork()) {
            area = each;
            break;
        }
    }
    if (remote == nullptr) {
        reply("\r-- Call(" + upperStr(typed) + ") Not Found on Server\r");
        return;
    }
    if (area == nullptr) {
        reply("\r-- Area to Follow Not Found\r");
        return;
    }
    reply("\r-- Followed User (" + remote->name + "@" + remote->host + ") into Area(" + std::to_string(area->id) + "-" +
          area->topic + ")\r");
    server_.delivery.joinArea(port_, call_, user_, area->id);
}

void Command::links()
{
    recognized("Links");
    const std::vector<LinkStatus> links = server_.network.links();
    if (links.empty()) {
        reply("\r-- No Links Configured\r");
        return;
    }
    const NetworkConfig& node = server_.network.config();
    std::string text = "\rNode(" + node.hostName + ") Listen(" + node.listenText() + ")\rLinks:\r";
    for (const LinkStatus& link : links)
        text += linkLine(link) + "\r";
    reply(text);
}

} // namespace

void CommandInterpreter::notSaved(int32_t port, const std::string& call)
{
    if (parts_.directory.findStation(port, call) != nullptr)
        parts_.delivery.sendTo(port, call, NOT_SAVED);
}

std::string linkLine(const LinkStatus& link)
{
    return "Link(" + link.name + ") Address(" + link.address + ") Dir(" + link.direction + ") State(" + link.state +
           (link.lastError.empty() ? "" : ", last: " + link.lastError) + ") Software(" + link.software + ") Since(" +
           (link.since > 0 ? isoTime(link.since) : std::string()) + ") Rtt(" +
           (link.rttMs >= 0 ? std::to_string((link.rttMs + 500) / 1000) + "s" : std::string()) + ") Users(" +
           std::to_string(link.users) + ")";
}

void CommandInterpreter::execute(int32_t port, const std::string& call, Station& user, const std::string& text)
{
    try {
        std::string args = text;
        nextField(args, '/');
        std::string token = nextWord(args);
        if (!args.empty() && args.back() == '\r')
            args.pop_back();
        parts_.log.writeLog(3, "{PALAVORO} <ExecuteCommand> Token (" + token + ") Args(" + args + ")");
        if (token.empty()) {
            parts_.delivery.sendTo(port, call, "\r-- Invalid Command\r");
            return;
        }
        Command(parts_, port, call, user, std::move(args)).dispatch(upperStr(token));
    } catch (...) {
        parts_.log.writeLog(1, "{PALAVORO} Exception on Module ExecuteCommand");
    }
}
