// A network of host links on fake sockets and a manual clock, with a peer's
// lines written as PROTOCOL.md's transcripts show them.
#pragma once

#include "convers/Network.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// A host command as it goes on the wire: "/" 0xFF 0x80, the command, `end`.
inline std::string hostCmd(const std::string& command, const std::string& end = "\r\n")
{
    return "/\xff\x80" + command + end;
}

class NetworkTest : public ::testing::Test {
protected:
    NetworkTest()
        : network(
              clock,
              [this] {
                  auto socket = std::make_unique<FakeSocket>();
                  dialled.push_back(socket.get());
                  return socket;
              },
              log, [this] { return static_cast<int64_t>(clock.now()); })
    {
        traceInto(log, 5, dir.str() + "/trace.log");
        network.onLog = [this](const std::string& line) { logLines.push_back(line); };
        network.onJoined = [this](const RemoteUser& u, int32_t ch) { seen("join " + who(u) + " " + n(ch)); };
        network.onLeft = [this](const RemoteUser& u, int32_t ch) { seen("leave " + who(u) + " " + n(ch)); };
        network.onMoved = [this](const RemoteUser& u, int32_t from, int32_t to) {
            seen("move " + who(u) + " " + n(from) + " " + n(to));
        };
        network.onNote = [this](const RemoteUser& u) { seen("note " + who(u) + " " + u.note); };
        network.onSaid = [this](const RemoteUser& u, int32_t ch, const std::string& text) {
            seen("said " + who(u) + " " + n(ch) + " " + text);
        };
        network.onPrivate = [this](const std::string& from, const std::string& host, const std::string& to,
                                   const std::string& text) {
            seen("private " + from + "@" + host + " " + to + " " + text);
        };
        network.onTopic = [this](int32_t ch, const std::string& text) { seen("topic " + n(ch) + " " + text); };
        network.onInvited = [this](const std::string& from, const std::string& host, const std::string& to,
                                   int32_t ch) { seen("invite " + from + "@" + host + " " + to + " " + n(ch)); };
    }

    // This node, "pvnode", with the neighbours given as [LINKS] would.
    void start(std::vector<Neighbour> neighbours)
    {
        NetworkConfig config;
        config.hostName = "pvnode";
        config.callSign = "N0SRV-1";
        config.neighbours = std::move(neighbours);
        config.maxRemoteUsers = maxUsers;
        network.start(config);
        // The node's own line at start ("links: this node is ...") is no link's.
        logLines.clear();
    }
    static Neighbour dialling(const std::string& name, const std::string& firstLine = "")
    {
        return {name, "127.0.0.1", 3600, firstLine, false};
    }
    static Neighbour anywhere(const std::string& name) { return {name, "", 0, "", true}; }

    // A connection from `peer` is accepted.
    FakeSocket* arrive(const std::string& peer = "127.0.0.1")
    {
        auto socket = std::make_unique<FakeSocket>();
        socket->open = true;
        FakeSocket* raw = socket.get();
        network.accept(std::move(socket), peer);
        accepted.push_back(raw);
        return raw;
    }
    // A neighbour dials us and its HOST is answered; what we sent is taken.
    FakeSocket* linkedFrom(const std::string& name, const std::string& software = "W-2.81",
                           const std::string& caps = "dpu")
    {
        FakeSocket* socket = arrive();
        socket->deliver(hostCmd("HOST " + name + " " + software + " " + caps, "\n"));
        socket->takeSent();
        return socket;
    }
    // Two W neighbours, wam1 and wam2, linked from anywhere: `one` and `two`.
    void linkTwo()
    {
        start({anywhere("wam1"), anywhere("wam2")});
        one = linkedFrom("wam1");
        two = linkedFrom("wam2");
    }
    void user(FakeSocket* socket, const std::string& fields) { socket->deliver(hostCmd("USER " + fields, "\n")); }

    std::vector<std::string> takeEvents() { return std::exchange(events, {}); }
    bool traced(const std::string& text)
    {
        for (const std::string& line : readTraceText(log.logFile))
            if (line == text)
                return true;
        return false;
    }

    TempDir dir{"palavoro-convers"};
    ManualClock clock;
    TraceLog log{"YES", 5, "trace.log", true};
    size_t maxUsers = 1000;
    std::vector<FakeSocket*> dialled;
    std::vector<FakeSocket*> accepted;
    FakeSocket* one = nullptr;
    FakeSocket* two = nullptr;
    std::vector<std::string> logLines;
    std::vector<std::string> events;
    Network network;

private:
    static std::string who(const RemoteUser& u) { return u.name + "@" + u.host; }
    static std::string n(int32_t value) { return std::to_string(value); }
    void seen(const std::string& event) { events.push_back(event); }
};

using Lines = std::vector<std::string>;
