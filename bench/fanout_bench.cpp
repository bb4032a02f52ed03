// Fan-out cost: one station's line relayed to the rest of its area, and the
// prompt back to the speaker, as the link hands the line to the server; and a
// line of a neighbour node's user, as its host link hands it over. A fake
// socket, tracing off. "per_recipient" is the time per station reached; it
// must stay small, must not grow with the area, and must be no larger for a
// neighbour's line than for a station's.
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "link/AgwFrame.h"
#include "server/ChatServer.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

// A server with `stations` stations in Root, on a fake engine socket, tracing off.
struct FanOut {
    explicit FanOut(size_t stations)
        : server(
              shell, clock, [] { return std::make_unique<FakeSocket>(); }, dir.str() + "/")
    {
        auto socket = std::make_unique<FakeSocket>();
        fake = socket.get();
        server.replaceLink(std::make_unique<AgwLink>(std::move(socket), clock));
        AgwLink& link = *server.link();
        server.traceLog().debug = "NO";
        link.traceLog().debug = "NO";
        link.setCallSign("N0SRV");
        link.setAddress("127.0.0.1");
        server.settings().callSign = "N0SRV";
        server.settings().timeout = 0;
        fake->connect();
        server.directory().addArea(0, "Root", true, "N0SRV");
        server.connections().setRegistered(true);
        char call[24];
        for (size_t i = 0; i < stations; ++i) {
            std::snprintf(call, sizeof call, "ST%04zu", i);
            server.directory().newStation(1, call)->state = ONLINE;
        }
    }

    TempDir dir{"palavoro-fanout"};
    RecordingShell shell;
    ManualClock clock;
    ChatServer server;
    FakeSocket* fake = nullptr;
};

void relayOneLine(benchmark::State& state)
{
    const size_t stations = static_cast<size_t>(state.range(0));
    FanOut f(stations);
    AgwLink& link = *f.server.link();
    FakeSocket* fake = f.fake;
    const std::string speaker = "ST0000";
    const std::string text = "Good evening to everyone in the area, this is a line of ordinary length\r";
    fake->takeSent();

    // Once untimed: every other station gets the line, the speaker its prompt.
    f.server.connections().handleData(link, 1, speaker, "N0SRV", 0xF0, text);
    const std::vector<AgwFrame> frames = decodeFrames(fake->takeSent());
    const std::string line = "[0]<ST0000@N0SRV> " + text + "\r";
    size_t delivered = 0;
    for (const AgwFrame& frame : frames)
        delivered += frame.kind == 'D' && frame.callTo != speaker && frame.data == line;
    if (delivered != stations - 1 || frames.size() != stations) {
        state.SkipWithError("the line did not reach every station once");
        return;
    }

    for (auto _ : state) {
        f.server.connections().handleData(link, 1, speaker, "N0SRV", 0xF0, text);
        fake->clearSent();
    }
    const double recipients = static_cast<double>(stations - 1);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stations - 1));
    state.counters["per_recipient"] =
        benchmark::Counter(recipients, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void relayOneNetworkLine(benchmark::State& state)
{
    const size_t stations = static_cast<size_t>(state.range(0));
    FanOut f(stations);
    FakeSocket* fake = f.fake;
    NetworkConfig config;
    config.hostName = "n0srv";
    config.neighbours = {{"wam1", "", 0, "", true}};
    f.server.network().start(config);
    auto peerSocket = std::make_unique<FakeSocket>();
    FakeSocket* peer = peerSocket.get();
    peer->open = true;
    f.server.network().accept(std::move(peerSocket), "127.0.0.1");
    const std::string prefix = "/\xff\x80";
    peer->deliver(prefix + "HOST wam1 W-2.81 dpu\n" + prefix + "USER alice wam1 1 -1 0 @\n");
    const std::string text = "Good evening to everyone in the area, this is a line of ordinary length";
    const std::string cmsg = prefix + "CMSG alice 0 " + text + "\n";
    fake->takeSent();
    peer->takeSent();

    // Once untimed: every station gets the line.
    peer->deliver(cmsg);
    const std::string line = "[0]<alice@wam1> " + text + "\r\r";
    size_t delivered = 0;
    for (const AgwFrame& frame : decodeFrames(fake->takeSent()))
        delivered += frame.kind == 'D' && frame.data == line;
    if (delivered != stations) {
        state.SkipWithError("the line did not reach every station once");
        return;
    }

    for (auto _ : state) {
        peer->deliver(cmsg);
        fake->clearSent();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stations));
    state.counters["per_recipient"] = benchmark::Counter(
        static_cast<double>(stations), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(relayOneLine)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(relayOneNetworkLine)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
