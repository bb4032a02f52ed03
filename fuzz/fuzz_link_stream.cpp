// The byte stream from the AGW engine, cut into reads of sizes the input
// chooses, through the link's reassembly and decoding with every event
// handled and monitoring on.
//
// Input: a flags byte (bit 1: poll the ports; the others unused, and the
// trace off, so no time goes to writing it), a byte that seeds the read sizes
// (0: one read), then the stream.
#include "FuzzSupport.h"
#include "fakes/AgwLinkProbe.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "link/AgwLink.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>

namespace {

// Every argument is read in full, so that a dangling or short one shows up.
struct Sink {
    uint64_t sum = 0;
    void touch(const std::string& text)
    {
        for (char c : text)
            sum += static_cast<uint8_t>(c);
    }
    template <typename T> std::enable_if_t<std::is_arithmetic_v<T>> touch(T value)
    {
        sum += static_cast<uint64_t>(value);
    }
};

void handleEverything(AgwLink& l2, Sink& sink)
{
    auto record = [&sink](AgwLink&, const auto&... args) { (sink.touch(args), ...); };
    l2.onDestroy = record;
    l2.onMyConnect = record;
    l2.onHisConnect = record;
    l2.onAnyConnect = record;
    l2.onRetryOut = record;
    l2.onMyDisconnect = record;
    l2.onHisDisconnect = record;
    l2.onDisconnect = record;
    l2.onConnectEx = record;
    l2.onDisconnectEx = record;
    l2.onFrame = record;
    l2.onAgwUp = record;
    l2.onAgwDown = record;
    l2.onAgwError = record;
    l2.onRegister = record;
    l2.onUnRegister = record;
    l2.onIFrame = record;
    l2.onUIFrame = record;
    l2.onSFrame = record;
    l2.onMonitor = record;
    l2.onRawFrame = record;
    l2.onVersion = record;
    l2.onPort = record;
    l2.onParameter = record;
    l2.onPortFrames = record;
    l2.onDataUI = record;
    l2.onConnFrames = record;
    // A server answers inside the data event, as the chat does: the send path
    // runs on what was just received.
    l2.onData = [&sink](AgwLink& link, uint8_t port, const std::string& from, const std::string& to, uint8_t pid,
                        const std::string& data) {
        sink.touch(data);
        link.sendData(port, pid, to, from, data);
    };
}

// Read sizes from 1 to `seed`, from a small generator seeded by the input.
class ReadSizes {
public:
    explicit ReadSizes(uint8_t seed) : limit_(seed), state_(seed * 2654435761u + 1) {}
    size_t next(size_t left)
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
    const uint8_t flags = input.byte();
    ReadSizes sizes(input.byte());

    ManualClock clock;
    Sink sink;
    auto owned = std::make_unique<FakeSocket>();
    FakeSocket& socket = *owned;
    {
        AgwLink l2(std::move(owned), clock);
        l2.setCallSign("N0SRV");
        l2.setAddress("127.0.0.1");
        l2.setMonitor("IUSC");
        l2.setPortPolling((flags & 2) != 0);
        handleEverything(l2, sink);
        socket.connect();
        fuzz::checkSentFrames(socket.takeSent());

        while (!input.empty()) {
            socket.deliver(input.take(sizes.next(input.rest().size())));
            fuzz::checkSentFrames(socket.takeSent());
        }
        // What is left over is less than one frame: a header, or a header and part of its data.
        if (AgwLinkProbe::consumedOffset(l2) != 0 || AgwLinkProbe::unconsumed(l2).size() >= AGW_HEADER_SIZE + 65536)
            std::abort();
        clock.advance(60000);
        fuzz::checkSentFrames(socket.takeSent());
        socket.peerClose();
    }
    return 0;
}
