// One host link as the protocol sees it: the handshake in either direction,
// the lines a neighbour sends turned into events, and the lines we send. It
// has no socket and no timer: the owner feeds it bytes and gives it a writer.
#pragma once

#include "convers/HostLines.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// A USER line: `name` on `host` moves from `oldChannel` to `newChannel`
// (-1 old: joins the network, -1 new: leaves it; equal: a new personal text).
struct UserLine {
    std::string name;
    std::string host;
    int64_t number = 0;
    int32_t oldChannel = -1;
    int32_t newChannel = -1;
    std::string note; // "@" and nothing both mean none
};

// A CMSG line: `name` (with a PP node's nickname, when it gave one) says
// `text` on `channel`.
struct ChatLine {
    std::string name;
    std::string nick;
    int32_t channel = 0;
    std::string text;
};

// A TOPI line: `name` on `host` set the topic of `channel` at `time`.
struct TopicLine {
    std::string name;
    std::string host;
    int64_t time = 0;
    int32_t channel = 0;
    std::string text;
};

// An AWAY line (PP): `name` on `host` is away since `time`; an empty text: back.
struct AwayLine {
    std::string name;
    std::string host;
    int64_t time = 0;
    std::string text;
};

class HostLink {
public:
    // Who opened the TCP connection.
    enum class Side { WeDialled, TheyDialled };

    // Our software string: never "PP-..." (a W node ignores such a host), at
    // most 8 characters. Our capabilities: only ping-pong measurement.
    static constexpr const char* SOFTWARE = "Palav0.1";
    static constexpr const char* CAPABILITIES = "p";

    HostLink(Side side, std::string ourName, std::function<void(std::string_view)> write);

    // We dialled and the connection is open: our HOST; or, with a first line
    // (a PP node's permlink callsign), that line, and our HOST once the node
    // has answered it with its banner (or `sendHost()` says not to wait).
    void open(const std::string& firstLine);
    void sendHost();
    bool hostPending() const { return hostPending_; }
    // Bytes from the neighbour, cut into lines that wait to be handled. False
    // when the stream broke (a line too long); `problem()` says why.
    bool receive(std::string_view bytes);
    size_t waitingLines() const { return lines_.size() - next_; }
    // Handles waiting lines, at most `most`, while `more()` holds; stops
    // early once `stop()` was called by a handler.
    void handle(size_t most, const std::function<bool()>& more);
    void stop() { stopped_ = true; }
    const std::string& problem() const { return problem_; }

    // The neighbour's HOST has come (and, when they dialled, ours has gone).
    bool isUp() const { return up_; }
    Side side() const { return side_; }
    const std::string& peerName() const { return peerName_; }
    const std::string& software() const { return software_; }
    bool hasCapability(char letter) const { return capabilities_.find(letter) != std::string::npos; }
    // A PP node: a user may be on several channels, a move is a leave and a join.
    bool isPp() const { return software_.starts_with("PP-"); }

    void sendUser(const UserLine& user);
    // `name` may carry a nickname, "name:nick", for a node that knows them.
    void sendCmsg(std::string_view name, int32_t channel, std::string_view text);
    void sendUmsg(std::string_view from, std::string_view to, std::string_view text);
    void sendTopic(const TopicLine& topic);
    void sendInvite(std::string_view from, std::string_view to, int32_t channel);
    void sendAway(const AwayLine& away);
    void sendPing();
    // The round trip, in seconds, that our PONG answers carry.
    void setRoundTrip(int64_t seconds) { roundTrip_ = seconds; }
    // A command passed on from another link as it came.
    void relay(std::string_view word, std::string_view args);

    // The neighbour's HOST: the handler checks the name and may stop the link;
    // when it returns with the link not stopped, the link is up.
    std::function<void(HostLink&)> onHost;
    // The link is up and our HOST has gone: the owner sends its dump.
    std::function<void(HostLink&)> onUp;
    std::function<void(HostLink&, const UserLine&)> onUser;
    std::function<void(HostLink&, const ChatLine&)> onCmsg;
    std::function<void(HostLink&, const std::string& from, const std::string& to, const std::string& text)> onUmsg;
    std::function<void(HostLink&, const TopicLine&)> onTopic;
    // `from` invites `to` to `channel` (a W node's INVI).
    std::function<void(HostLink&, const std::string& from, const std::string& to, int32_t channel)> onInvite;
    std::function<void(HostLink&, const AwayLine&)> onAway;
    std::function<void(HostLink&, std::string_view args)> onDest;
    std::function<void(HostLink&)> onPong;

private:
    void handleLine(const std::string& line);
    void handleHost(const std::string& args);
    void send(std::string_view command);

    const Side side_;
    const std::string ourName_;
    std::function<void(std::string_view)> write_;
    LineSplitter splitter_;
    std::vector<std::string> lines_; // received, handled up to next_
    size_t next_ = 0;
    bool up_ = false;
    bool hostPending_ = false;
    bool stopped_ = false;
    std::string problem_;
    std::string peerName_;
    std::string software_;
    std::string capabilities_;
    int64_t roundTrip_ = 0;
};
