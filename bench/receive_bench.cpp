// Reassembly cost: one read holding N frames of 100 data bytes goes through
// Store. The time per frame must not grow with N.
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "link/AGWL2.h"

#include <benchmark/benchmark.h>

namespace {

std::string Stream(size_t frames)
{
    AgwFrame frame;
    frame.WirePort = 0;
    frame.Kind = 'D';
    frame.PID = 0xF0;
    frame.CallFrom = "W1AW-7";
    frame.CallTo = "N0CALL";
    frame.Data = std::string(100, 'x');
    const std::string one = EncodeFrame(frame);
    std::string stream;
    stream.reserve(one.size() * frames);
    for (size_t i = 0; i < frames; ++i)
        stream += one;
    return stream;
}

void StoreOneRead(benchmark::State& state)
{
    const size_t frames = static_cast<size_t>(state.range(0));
    const std::string stream = Stream(frames);
    ManualClock clock;
    TL2 l2(std::make_unique<FakeSocket>(), clock);
    size_t decoded = 0;
    l2.FOnFrame = [&](TL2&, uint8_t, uint8_t, char, const std::string&, const std::string&, const std::string& data) {
        decoded += data.size() == 100;
    };
    for (auto _ : state)
        l2.Store(stream);
    if (decoded != frames * static_cast<size_t>(state.iterations()))
        state.SkipWithError("frames lost");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

} // namespace

BENCHMARK(StoreOneRead)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
