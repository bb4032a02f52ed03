// The engine's frame format, as small as the load tools need it: a 36-byte
// header (port at 0, kind at 4, PID at 6, callsigns at 8 and 18, NUL-padded
// to 10 bytes, data length little-endian at 28) followed by the data.
// Kept apart from the server's own link code so that the tools measure the
// server from outside and stay put while its internals change.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace agw {

constexpr size_t HeaderSize = 36;
constexpr size_t CallSize = 10;
// Data beyond this go out as several frames, as the server sends them.
constexpr size_t MaxData = 255;
constexpr uint8_t TextPid = 0xF0;

inline void putCall(char* field, std::string_view call)
{
    std::memset(field, 0, CallSize);
    std::memcpy(field, call.data(), std::min(call.size(), CallSize));
}

inline void putLength(char* header, size_t length)
{
    for (int i = 0; i < 4; ++i)
        header[28 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

inline void putHeader(char* header, uint8_t port, char kind, uint8_t pid, std::string_view from, std::string_view to,
                      size_t length)
{
    std::memset(header, 0, HeaderSize);
    header[0] = static_cast<char>(port);
    header[4] = kind;
    header[6] = static_cast<char>(pid);
    putCall(header + 8, from);
    putCall(header + 18, to);
    putLength(header, length);
}

inline void appendFrame(std::string& out, uint8_t port, char kind, uint8_t pid, std::string_view from,
                        std::string_view to, std::string_view data)
{
    char header[HeaderSize];
    putHeader(header, port, kind, pid, from, to, data.size());
    out.append(header, HeaderSize).append(data);
}

inline std::string_view callText(const char* field)
{
    return {field, strnlen(field, CallSize)};
}

inline size_t dataLength(const char* header)
{
    size_t length = 0;
    for (int i = 3; i >= 0; --i)
        length = length << 8 | static_cast<uint8_t>(header[28 + i]);
    return length;
}

// Cuts the whole frames off the front of buf, handing each to onFrame(header,
// data); returns how many bytes they took.
template <typename OnFrame> size_t forEachFrame(std::string_view buf, OnFrame&& onFrame)
{
    size_t at = 0;
    while (buf.size() - at >= HeaderSize) {
        const size_t length = dataLength(buf.data() + at);
        if (buf.size() - at - HeaderSize < length)
            break;
        onFrame(buf.data() + at, buf.substr(at + HeaderSize, length));
        at += HeaderSize + length;
    }
    return at;
}

// The receiving end of a stream socket: reads what has arrived and cuts the
// frames out of it, keeping a partial frame for the next read.
class Reader {
public:
    // What recv() returned: the byte count, 0 at the end of the stream, or -1.
    ssize_t readFrom(int fd)
    {
        if (buf_.size() - have_ < ReadSize)
            buf_.resize(have_ + ReadSize);
        const ssize_t n = recv(fd, buf_.data() + have_, buf_.size() - have_, 0);
        if (n > 0)
            have_ += static_cast<size_t>(n);
        return n;
    }

    template <typename OnFrame> void frames(OnFrame&& onFrame)
    {
        const size_t used = forEachFrame(std::string_view(buf_.data(), have_), onFrame);
        std::memmove(buf_.data(), buf_.data() + used, have_ - used);
        have_ -= used;
    }

private:
    static constexpr size_t ReadSize = 1 << 20;
    std::vector<char> buf_;
    size_t have_ = 0;
};

// The sending end: frames are appended to `out` and written as far as the
// socket takes them; the rest waits for the next flush.
class Writer {
public:
    std::string out;

    bool pending() const { return sent_ < out.size(); }

    // False on a socket error; a full socket is not one.
    bool flush(int fd)
    {
        while (sent_ < out.size()) {
            const ssize_t n = send(fd, out.data() + sent_, out.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0)
                return errno == EAGAIN || errno == EINTR;
            sent_ += static_cast<size_t>(n);
        }
        out.clear();
        sent_ = 0;
        return true;
    }

private:
    size_t sent_ = 0;
};

} // namespace agw
