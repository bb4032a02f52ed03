// The byte stream from the AGW engine, cut into reads of sizes the input
// chooses, through the link's reassembly and decoding with every event
// handled and monitoring on.
//
// Input: a flags byte (bits 0 and 7 both set: trace everything into a file,
// which costs most of the time, so only some inputs do; bit 1: poll the
// ports), a byte that seeds the read sizes (0: one read), then the stream.
#include "FuzzSupport.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/TraceFile.h"
#include "link/AGWL2.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <type_traits>

namespace {

// Every argument is read in full, so that a dangling or short one shows up.
struct Sink {
    uint64_t sum = 0;
    void Touch(const std::string& text)
    {
        for (char c : text)
            sum += static_cast<uint8_t>(c);
    }
    template <typename T> std::enable_if_t<std::is_arithmetic_v<T>> Touch(T value)
    {
        sum += static_cast<uint64_t>(value);
    }
};

void HandleEverything(TL2& l2, Sink& sink)
{
    auto record = [&sink](TL2&, const auto&... args) { (sink.Touch(args), ...); };
    l2.FOnDestroy = record;
    l2.FOnMyConnect = record;
    l2.FOnHisConnect = record;
    l2.FOnAnyConnect = record;
    l2.FOnRetryOut = record;
    l2.FOnMyDisconnect = record;
    l2.FOnHisDisconnect = record;
    l2.FOnDisconnect = record;
    l2.FOnConnectEx = record;
    l2.FOnDisconnectEx = record;
    l2.FOnFrame = record;
    l2.FOnAGWUp = record;
    l2.FOnAGWDown = record;
    l2.FOnAGWError = record;
    l2.FOnRegister = record;
    l2.FOnUnRegister = record;
    l2.FOnIFrame = record;
    l2.FOnUIFrame = record;
    l2.FOnSFrame = record;
    l2.FOnMonitor = record;
    l2.FOnRawFrame = record;
    l2.FOnVersion = record;
    l2.FOnPort = record;
    l2.FOnParameter = record;
    l2.FOnPortFrames = record;
    l2.FOnDataUI = record;
    l2.FOnConnFrames = record;
    // A server answers inside the data event, as the chat does: the send path
    // runs on what was just received.
    l2.FOnData = [&sink](TL2& link, uint8_t port, const std::string& from, const std::string& to, uint8_t pid,
                         const std::string& data) {
        sink.Touch(data);
        link.SendData(port, pid, to, from, data);
    };
}

// Read sizes from 1 to `seed`, from a small generator seeded by the input.
class ReadSizes {
public:
    explicit ReadSizes(uint8_t seed) : limit_(seed), state_(seed * 2654435761u + 1) {}
    size_t Next(size_t left)
    {
        if (limit_ == 0)
            return left;
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return 1 + state_ % limit_;
    }

private:
    uint32_t limit_;
    uint32_t state_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t flags = input.Byte();
    ReadSizes sizes(input.Byte());
    const bool trace = (flags & 0x81) == 0x81;
    const std::string traceFile = fuzz::WorkDir().File("link.log");

    ManualClock clock;
    Sink sink;
    auto owned = std::make_unique<FakeSocket>();
    FakeSocket& socket = *owned;
    {
        TL2 l2(std::move(owned), clock);
        if (trace)
            TraceInto(l2.Log, 5, traceFile);
        l2.SetCallSign("N0SRV");
        l2.SetAddress("127.0.0.1");
        l2.SetMonitor("IUSC");
        l2.PortPolling = (flags & 2) != 0;
        HandleEverything(l2, sink);
        socket.Connect();
        fuzz::CheckSentFrames(socket.TakeSent());

        while (!input.Empty()) {
            socket.Deliver(input.Take(sizes.Next(input.Rest().size())));
            fuzz::CheckSentFrames(socket.TakeSent());
        }
        // What is left over is less than one frame: a header, or a header and part of its data.
        if (l2.RxStart != 0 || l2.RxBuffer.size() >= AGW_HEADER_SIZE + 65536)
            std::abort();
        clock.Advance(60000);
        fuzz::CheckSentFrames(socket.TakeSent());
        socket.PeerClose();
    }
    if (trace)
        std::filesystem::remove(traceFile);
    return 0;
}
