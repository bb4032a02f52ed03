// The status page's JSON, written by hand: a handful of fields, no library needed.
#include "server/ServerStatus.h"

#include "server/ChatServer.h"

#include <algorithm>
#include <ctime>

namespace {

// The length of the valid UTF-8 sequence at the start of `bytes`, or 0.
size_t utf8Length(std::string_view bytes)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    uint32_t code = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (bytes.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i) & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not text.
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

std::string seconds(int64_t from, int64_t to)
{
    return std::to_string(std::max<int64_t>(0, (to - from) / 1000));
}

// Milliseconds as seconds with the fraction they have: 1600 is "1.6".
std::string decimalSeconds(int64_t milliseconds)
{
    std::string text = std::to_string(milliseconds / 1000);
    if (const int64_t rest = milliseconds % 1000; rest != 0) {
        std::string fraction = std::to_string(1000 + rest).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text += "." + fraction;
    }
    return text;
}

const char* stateName(uint8_t state)
{
    switch (state) {
    case NONAME:
        return "no name";
    case ONLINE:
        return "online";
    case EXPIRED:
        return "expired";
    default:
        return "leaving";
    }
}

// Appends `"key":value` items with commas between them.
class JsonObject {
public:
    explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
    ~JsonObject() { out_ += '}'; }
    JsonObject(const JsonObject&) = delete;
    JsonObject& operator=(const JsonObject&) = delete;

    std::string& key(std::string_view name)
    {
        if (!first_)
            out_ += ',';
        first_ = false;
        out_ += jsonString(name);
        out_ += ':';
        return out_;
    }
    void text(std::string_view name, std::string_view value) { key(name) += jsonString(value); }
    void number(std::string_view name, const std::string& value) { key(name) += value; }
    void number(std::string_view name, int64_t value) { number(name, std::to_string(value)); }
    void number(std::string_view name, uint64_t value) { number(name, std::to_string(value)); }
    void number(std::string_view name, int32_t value) { number(name, std::to_string(value)); }
    void flag(std::string_view name, bool value) { key(name) += value ? "true" : "false"; }

private:
    std::string& out_;
    bool first_ = true;
};

void writeLink(std::string& out, ChatServer& server, int64_t now)
{
    JsonObject link(out);
    AgwLink* agw = server.link();
    const bool up = agw != nullptr && agw->isActive();
    const bool registered = up && server.connections().isRegistered();
    link.text("state", registered ? "connected" : up ? "registering" : "waiting");
    link.text("since", isoTime(server.stats().linkSince));
    link.number("forSeconds", seconds(server.stats().linkSince, now));
    if (agw == nullptr)
        return;
    link.text("engine", (agw->host().empty() ? agw->address() : agw->host()) + ":" + std::to_string(agw->tcpPort()));
    link.text("callsign", agw->callSign());
    if (agw->versionMajor() != 0 || agw->versionMinor() != 0)
        link.text("engineVersion", std::to_string(agw->versionMajor()) + "." + std::to_string(agw->versionMinor()));
    std::string& ports = link.key("ports");
    ports += '[';
    const int32_t count = std::min<int32_t>(agw->portCount(), MAX_PORTS);
    bool first = true;
    for (int32_t number = 1; up && number <= count; ++number) {
        const EnginePort& port = agw->enginePort(number);
        if (port.listed == 0)
            continue;
        if (!first)
            ports += ',';
        first = false;
        JsonObject entry(ports);
        entry.number("port", number);
        entry.text("name", port.portName);
        entry.flag("open", server.settings().portAllowed(number));
    }
    ports += ']';
}

// A JSON array of one object per item, each written by `write`.
template <typename Items, typename Write> void writeObjects(std::string& out, const Items& items, Write write)
{
    out += '[';
    bool first = true;
    for (const auto& item : items) {
        if (!first)
            out += ',';
        first = false;
        JsonObject entry(out);
        write(entry, item);
    }
    out += ']';
}

void writeAreas(std::string& out, const Directory& directory)
{
    writeObjects(out, directory.areas(), [&directory](JsonObject& entry, const Area& area) {
        entry.number("id", area.id);
        entry.text("topic", area.topic);
        entry.text("owner", area.owner);
        std::string& users = entry.key("users");
        users += '[';
        bool firstUser = true;
        for (const Station& station : directory.stations()) {
            if (station.areaId != area.id)
                continue;
            if (!firstUser)
                users += ',';
            firstUser = false;
            users += jsonString(station.callSign);
        }
        users += ']';
    });
}

void writeStations(std::string& out, const Directory& directory, int64_t now)
{
    writeObjects(out, directory.stations(), [now](JsonObject& entry, const Station& station) {
        entry.text("call", station.callSign);
        entry.text("name", station.name);
        // Users over TCP are on no radio port: port 0.
        entry.number("port", isTcpUser(station.port) ? 0 : station.port);
        if (isTcpUser(station.port))
            entry.text("via", "tcp");
        entry.number("area", station.areaId);
        entry.text("state", stateName(station.state));
        entry.text("connectedAt", isoTime(station.connectedAt));
        entry.number("connectedSeconds", seconds(station.connectedAt, now));
        entry.number("idleSeconds", seconds(station.lastLineAt, now));
        entry.number("linesSaid", station.linesSaid);
    });
}

void writeNetwork(JsonObject& status, Network& network)
{
    // This node on the network: its name, and where neighbours dial it (empty: nowhere).
    status.text("hostName", network.config().hostName);
    status.text("listen", network.config().listenText());
    writeObjects(status.key("links"), network.links(), [](JsonObject& entry, const LinkStatus& link) {
        entry.text("name", link.name);
        entry.text("address", link.address);
        entry.text("direction", link.direction);
        entry.text("state", link.state);
        entry.text("lastError", link.lastError);
        entry.text("software", link.software);
        entry.text("since", link.since > 0 ? isoTime(link.since) : std::string());
        // Milliseconds, kept for the scripts that read them, and seconds like
        // every other duration; null before a round trip has been measured.
        entry.number("rtt", link.rttMs >= 0 ? std::to_string(link.rttMs) : "null");
        entry.number("rttSeconds", link.rttMs >= 0 ? decimalSeconds(link.rttMs) : "null");
        entry.number("users", static_cast<uint64_t>(link.users));
        entry.number("waiting", static_cast<uint64_t>(link.waiting));
    });
    writeObjects(status.key("remoteUsers"), network.remoteUsers(), [](JsonObject& entry, const RemoteUser* user) {
        entry.text("name", user->name);
        entry.text("host", user->host);
        entry.number("area", user->channels.empty() ? -1 : user->channels.front());
        entry.text("note", user->note);
        entry.text("link", user->link);
        entry.text("away", user->away);
    });
}

} // namespace

std::string jsonString(std::string_view bytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&') {
            // Control bytes, and what an HTML page could mistake for markup.
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t length = utf8Length(bytes.substr(i)); length > 0) {
            out.append(bytes.substr(i, length));
            i += length;
            continue;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string isoTime(int64_t milliseconds)
{
    const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm parts{};
    char text[32] = "";
    if (gmtime_r(&seconds, &parts) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return "";
    return text;
}

std::string statusJson(ChatServer& server)
{
    const ServerStats& stats = server.stats();
    const int64_t now = stats.now();
    std::string out;
    {
        JsonObject status(out);
        status.text("callsign", server.settings().callSign);
        status.text("now", isoTime(now));
        status.text("startedAt", isoTime(stats.startedAt));
        writeLink(status.key("link"), server, now);
        writeAreas(status.key("areas"), server.directory());
        writeStations(status.key("stations"), server.directory(), now);
        writeNetwork(status, server.network());
        JsonObject counters(status.key("counters"));
        counters.number("linesRelayed", stats.linesRelayed);
        counters.number("bytesSent", stats.bytesSent);
        counters.number("connects", stats.connects);
        counters.number("refusals", stats.refusals);
    }
    return out;
}
