// The sysop's verbs.
#include "server/SysopControl.h"

#include "server/Commands.h"
#include "convers/HostLines.h"
#include "support/HexStr.h"

namespace {

ControlReply refuse(const std::string& why)
{
    return {false, why + "\n"};
}

// The words after the verb (and its first argument, with `skip` 2) as one text.
std::string rest(const std::vector<std::string>& arguments, size_t skip)
{
    std::string text;
    for (size_t i = skip; i < arguments.size(); ++i)
        text += (text.empty() ? "" : " ") + arguments[i];
    return text;
}

} // namespace

ControlReply SysopControl::handle(const std::vector<std::string>& arguments)
{
    const std::string& verb = arguments.front();
    if (verb == "status" && arguments.size() == 1)
        return status();
    if (verb == "links" && arguments.size() == 1)
        return links();
    if (verb == "link")
        return link(arguments);
    if (verb == "kick")
        return kick(arguments);
    if (verb == "notice")
        return notice(arguments);
    if (verb == "passwd")
        return passwd(arguments);
    return refuse("unknown verb or wrong arguments: " + rest(arguments, 0) +
                  " (palavoro --help lists the verbs)");
}

ControlReply SysopControl::status()
{
    const NetworkConfig& node = p_.network.config();
    size_t up = 0;
    const std::vector<LinkStatus> all = p_.network.links();
    for (const LinkStatus& l : all)
        up += l.state == "up" ? 1 : 0;
    std::string text = p_.stateLine() + "\n";
    if (!node.neighbours.empty() || node.listen)
        text += "network: " + node.hostName + ", " +
                (node.listen ? "listening on " + node.listenText() : std::string("not listening")) + "; " +
                std::to_string(up) + " of " + std::to_string(all.size()) + " links up, " +
                std::to_string(p_.network.remoteCount()) + " users on other nodes\n";
    return {true, text};
}

ControlReply SysopControl::links()
{
    const NetworkConfig& node = p_.network.config();
    std::string text = "Node(" + node.hostName + ") Listen(" + node.listenText() + ")\n";
    for (const LinkStatus& l : p_.network.links())
        text += linkLine(l) + "\n";
    return {true, text};
}

ControlReply SysopControl::link(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 3 || (arguments[1] != "up" && arguments[1] != "down"))
        return refuse("link needs up or down and a neighbour's name");
    const bool down = arguments[1] == "down";
    if (!p_.network.setLinkDown(arguments[2], down))
        return refuse("no neighbour " + arguments[2] + " in [LINKS]");
    return {true, arguments[2] + (down ? " is down: closed, not dialled, refused until link up\n"
                                       : " is up: dialled or accepted again\n")};
}

ControlReply SysopControl::kick(const std::vector<std::string>& arguments)
{
    if (arguments.size() < 2)
        return refuse("kick needs a callsign");
    const std::string call = upperStr(arguments[1]);
    const size_t kicked = p_.connections.sendAway(call, rest(arguments, 2));
    if (kicked == 0)
        return refuse(call + " is not connected");
    return {true, call + ": " + std::to_string(kicked) + (kicked == 1 ? " station" : " stations") +
                      " disconnected\n"};
}

ControlReply SysopControl::notice(const std::vector<std::string>& arguments)
{
    const std::string text = oneLine(rest(arguments, 1));
    if (text.empty())
        return refuse("notice needs a text");
    size_t told = 0;
    for (const Station& station : p_.directory.stations()) {
        p_.delivery.sendTo(station.port, station.callSign, "\r-- Sysop: " + text + "\r");
        ++told;
    }
    return {true, "told " + std::to_string(told) + (told == 1 ? " station\n" : " stations\n")};
}

ControlReply SysopControl::passwd(const std::vector<std::string>& arguments)
{
    if (arguments.size() == 2 && arguments[1] == "-l") {
        std::string text;
        for (const std::string& call : p_.passwords.calls())
            text += call + "\n";
        return {true, text};
    }
    const bool remove = arguments.size() == 3 && arguments[1] == "-d";
    if (!remove && (arguments.size() != 3 || arguments[1].starts_with("-")))
        return refuse("passwd needs a callsign (and reads the password), -d and a callsign, or -l");
    const std::string call = upperStr(arguments[remove ? 2 : 1]);
    if (!isValidCallSign(call))
        return refuse(call + " is not an AX.25 callsign");
    const std::string base = UserFile::baseCall(call);
    std::string error;
    if (remove) {
        if (p_.passwords.remove(base, error))
            return {true, base + " has no password now: it cannot log in over TCP\n"};
        return refuse(error.empty() ? base + " has no password" : error);
    }
    if (!p_.passwords.set(base, arguments[2], error))
        return refuse(error);
    return {true, base + " may log in over TCP with that password, any SSID\n"};
}
