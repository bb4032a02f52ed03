// Reassembly cost: one read holding N frames of 100 data bytes goes through
// Store. The time per frame must not grow with N.
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "link/AgwLink.h"

#include <benchmark/benchmark.h>

namespace {

std::string makeStream(size_t frames)
{
    AgwFrame frame;
    frame.wirePort = 0;
    frame.kind = 'D';
    frame.pid = 0xF0;
    frame.callFrom = "W1AW-7";
    frame.callTo = "N0CALL";
    frame.data = std::string(100, 'x');
    const std::string one = encodeFrame(frame);
    std::string stream;
    stream.reserve(one.size() * frames);
    for (size_t i = 0; i < frames; ++i)
        stream += one;
    return stream;
}

void storeOneRead(benchmark::State& state)
{
    const size_t frames = static_cast<size_t>(state.range(0));
    const std::string stream = makeStream(frames);
    ManualClock clock;
    AgwLink l2(std::make_unique<FakeSocket>(), clock);
    size_t decoded = 0;
    l2.onFrame = [&](AgwLink&, uint8_t, uint8_t, char, const std::string&, const std::string&,
                     const std::string& data) { decoded += data.size() == 100; };
    for (auto _ : state)
        l2.store(stream);
    if (decoded != frames * static_cast<size_t>(state.iterations()))
        state.SkipWithError("frames lost");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

} // namespace

BENCHMARK(storeOneRead)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
