// The host protocol on one link.
#include "convers/HostLink.h"

#include "support/HexStr.h"

#include <vector>

namespace {

// The next blank-separated field, taken off the front of `rest`.
std::string field(std::string_view& rest)
{
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    const size_t blank = rest.find(' ');
    std::string word(rest.substr(0, blank));
    rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
    return word;
}

std::optional<int32_t> channelField(std::string_view& rest)
{
    const std::optional<int64_t> value = parseNumber(field(rest));
    if (!value || *value < -1 || *value > 32767)
        return std::nullopt;
    return static_cast<int32_t>(*value);
}

} // namespace

HostLink::HostLink(Side side, std::string ourName, std::function<void(std::string_view)> write)
    : side_(side), ourName_(std::move(ourName)), write_(std::move(write))
{
}

void HostLink::send(std::string_view command)
{
    // CR LF is read as one line end by both families (W skips the empty line).
    std::string line;
    line.reserve(command.size() + 5);
    line.append(HOST_PREFIX).append(command).append("\r\n");
    write_(line);
}

void HostLink::open(const std::string& firstLine)
{
    if (firstLine.empty()) {
        sendHost();
        return;
    }
    write_(firstLine + "\r\n");
    hostPending_ = true;
}

void HostLink::sendHost()
{
    hostPending_ = false;
    send("HOST " + ourName_ + " " + SOFTWARE + " " + CAPABILITIES);
}

bool HostLink::receive(std::string_view bytes)
{
    // The node's banner: our login as a permlink was taken.
    if (hostPending_ && !bytes.empty())
        sendHost();
    if (next_ == lines_.size()) {
        lines_.clear();
        next_ = 0;
    }
    if (!splitter_.feed(bytes, lines_)) {
        problem_ = "a line longer than " + std::to_string(LineSplitter::MAX_LINE) + " bytes";
        return false;
    }
    return true;
}

void HostLink::handle(size_t most, const std::function<bool()>& more)
{
    for (size_t done = 0; done < most && next_ < lines_.size() && !stopped_ && more(); ++done)
        handleLine(lines_[next_++]);
}

void HostLink::handleLine(const std::string& line)
{
    const std::optional<HostLine> parsed = parseHostLine(line);
    if (!parsed)
        return;
    if (parsed->command == HostCommand::Host) {
        handleHost(parsed->args);
        return;
    }
    // Before the HOST nothing a neighbour says counts.
    if (!up_)
        return;
    std::string_view rest = parsed->args;
    switch (parsed->command) {
    case HostCommand::User: {
        UserLine user;
        user.name = field(rest);
        user.host = field(rest);
        const std::optional<int64_t> number = parseNumber(field(rest));
        const std::optional<int32_t> oldChannel = channelField(rest);
        const std::optional<int32_t> newChannel = channelField(rest);
        if (user.name.empty() || user.host.empty() || !number || !oldChannel || !newChannel)
            return;
        user.number = *number;
        user.oldChannel = *oldChannel;
        user.newChannel = *newChannel;
        user.note = rest == "@" ? std::string() : std::string(rest);
        if (onUser)
            onUser(*this, user);
        break;
    }
    case HostCommand::Cmsg: {
        ChatLine chat;
        chat.name = field(rest);
        // A PP name may carry a nickname: "name:nick".
        if (const size_t colon = chat.name.find(':'); colon != std::string::npos) {
            chat.nick = chat.name.substr(colon + 1);
            chat.name.erase(colon);
        }
        const std::optional<int32_t> channel = channelField(rest);
        if (chat.name.empty() || !channel || *channel < 0)
            return;
        chat.channel = *channel;
        chat.text = rest;
        if (onCmsg)
            onCmsg(*this, chat);
        break;
    }
    case HostCommand::Umsg: {
        const std::string from = field(rest);
        const std::string to = field(rest);
        if (from.empty() || to.empty())
            return;
        if (onUmsg)
            onUmsg(*this, from, to, std::string(rest));
        break;
    }
    case HostCommand::Ping:
        send("PONG " + std::to_string(roundTrip_));
        break;
    case HostCommand::Pong:
        if (onPong)
            onPong(*this);
        break;
    case HostCommand::Topi: {
        TopicLine topic;
        topic.name = field(rest);
        topic.host = field(rest);
        const std::optional<int64_t> time = parseNumber(field(rest));
        const std::optional<int32_t> channel = channelField(rest);
        if (topic.name.empty() || topic.host.empty() || !time || !channel || *channel < 0)
            return;
        topic.time = *time;
        topic.channel = *channel;
        topic.text = rest;
        if (onTopic)
            onTopic(*this, topic);
        break;
    }
    case HostCommand::Invi: {
        const std::string from = field(rest);
        const std::string to = field(rest);
        const std::optional<int32_t> channel = channelField(rest);
        if (from.empty() || to.empty() || !channel || *channel < 0)
            return;
        if (onInvite)
            onInvite(*this, from, to, *channel);
        break;
    }
    case HostCommand::Away: {
        AwayLine away;
        away.name = field(rest);
        away.host = field(rest);
        const std::optional<int64_t> time = parseNumber(field(rest));
        if (away.name.empty() || away.host.empty() || !time)
            return;
        away.time = *time;
        away.text = rest;
        if (onAway)
            onAway(*this, away);
        break;
    }
    case HostCommand::Dest:
        if (onDest)
            onDest(*this, parsed->args);
        break;
    default:
        // Routes and the other PP extras: not built here.
        break;
    }
}

void HostLink::handleHost(const std::string& args)
{
    // The dialler of a W pair repeats its HOST: once up, a HOST changes nothing.
    if (up_)
        return;
    std::string_view rest = args;
    peerName_ = field(rest);
    software_ = field(rest);
    capabilities_ = field(rest);
    if (peerName_.empty())
        return;
    if (onHost)
        onHost(*this);
    if (stopped_)
        return;
    up_ = true;
    if (side_ == Side::TheyDialled)
        send("HOST " + ourName_ + " " + SOFTWARE + " " + CAPABILITIES);
    if (onUp)
        onUp(*this);
}

void HostLink::sendUser(const UserLine& user)
{
    std::string line = "USER " + user.name + " " + user.host + " " + std::to_string(user.number) + " " +
                       std::to_string(user.oldChannel) + " " + std::to_string(user.newChannel) + " ";
    line += user.note.empty() ? "@" : user.note;
    send(line);
}

void HostLink::sendCmsg(std::string_view name, int32_t channel, std::string_view text)
{
    std::string line = "CMSG ";
    line.append(name).append(" ").append(std::to_string(channel)).append(" ").append(text);
    send(line);
}

void HostLink::sendUmsg(std::string_view from, std::string_view to, std::string_view text)
{
    std::string line = "UMSG ";
    line.append(from).append(" ").append(to).append(" ").append(text);
    send(line);
}

void HostLink::sendTopic(const TopicLine& topic)
{
    send("TOPI " + topic.name + " " + topic.host + " " + std::to_string(topic.time) + " " +
         std::to_string(topic.channel) + " " + topic.text);
}

void HostLink::sendInvite(std::string_view from, std::string_view to, int32_t channel)
{
    std::string line = "INVI ";
    line.append(from).append(" ").append(to).append(" ").append(std::to_string(channel));
    send(line);
}

void HostLink::sendAway(const AwayLine& away)
{
    send("AWAY " + away.name + " " + away.host + " " + std::to_string(away.time) + " " + away.text);
}

void HostLink::sendPing()
{
    send("PING");
}

void HostLink::relay(std::string_view word, std::string_view args)
{
    std::string line = upperStr(word);
    line.append(" ").append(args);
    send(line);
}
