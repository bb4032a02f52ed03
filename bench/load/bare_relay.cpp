// The bare relay: the least work that turns an area's lines into the
// server's deliveries, as the yardstick for the server in the load benchmark.
// It connects to the engine like the server, registers its callsign, keeps
// the connected stations in one area (0) and answers each line with the same
// frames the server sends: the area line to every other station, then the
// prompt to the speaker. One non-blocking socket, one poll loop, one output
// buffer; each line is formatted once and each header copied from a
// per-station template.
//
//     bare_relay PORT CALLSIGN
#include "AgwWire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Station {
    std::string call;
    char header[agw::HeaderSize]; // a "D" frame to it, length to be filled in
};

class Relay : public agw::Writer {
public:
    explicit Relay(std::string call) : call_(std::move(call)) {}

    void frame(const char* header, std::string_view data)
    {
        const std::string_view from = agw::callText(header + 8);
        switch (header[4]) {
        case 'C':
            stations_.push_back({std::string(from), {}});
            agw::putHeader(stations_.back().header, 0, 'D', agw::TextPid, call_, from, 0);
            break;
        case 'd':
            std::erase_if(stations_, [&](const Station& s) { return s.call == from; });
            break;
        case 'D':
            relay(from, data);
            break;
        }
    }

private:
    void relay(std::string_view from, std::string_view text)
    {
        line_.assign("[0]<").append(from).append("@").append(call_).append("> ").append(text).append("\r");
        const Station* speaker = nullptr;
        for (const Station& station : stations_) {
            if (station.call != from)
                deliver(station.header, line_);
            else if (speaker == nullptr)
                speaker = &station;
        }
        if (speaker != nullptr) {
            prompt_.assign("\r[0]{").append(from).append(" de ").append(call_).append("}:\r");
            deliver(speaker->header, prompt_);
        }
    }

    void deliver(const char* header, std::string_view data)
    {
        do {
            const size_t part = std::min(data.size(), agw::MaxData);
            const size_t at = out.size();
            out.append(header, agw::HeaderSize).append(data.substr(0, part));
            agw::putLength(out.data() + at, part);
            data.remove_prefix(part);
        } while (!data.empty());
    }

    std::string call_;
    std::vector<Station> stations_;
    std::string line_;
    std::string prompt_;
};

int connectLocal(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT CALLSIGN\n", argv[0]);
        return 2;
    }
    const int fd = connectLocal(std::atoi(argv[1]));
    if (fd < 0) {
        std::perror("bare_relay: connect");
        return 1;
    }
    Relay relay(argv[2]);
    agw::appendFrame(relay.out, 0, 'X', 0, argv[2], "", "");
    agw::Reader reader;
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (relay.pending() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return 1;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = reader.readFrom(fd);
            if (n == 0)
                return 0;
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return 1;
            reader.frames([&](const char* header, std::string_view data) { relay.frame(header, data); });
        }
        if (!relay.flush(fd))
            return 1;
    }
}
