// The AGWPE application-interface frame: a 36-byte header (port, kind, PID,
// two 10-byte callsigns, little-endian data length) followed by the data.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t AGW_HEADER_SIZE = 36;
constexpr uint32_t MAXFRAME = 256;
// The longest data part a received frame may announce. Engines send far less;
// a longer one means the stream is out of step and cannot be read as frames.
constexpr uint32_t MAX_RECEIVED_DATA = 65536;

// One frame as it travels on the wire; wirePort is the 0-based header byte.
struct AgwFrame {
    uint8_t wirePort = 0;
    char kind = 0;
    uint8_t pid = 0;
    std::string callFrom;
    std::string callTo;
    std::string data;
    uint32_t dataLen = 0; // as read from bytes 28 to 31
};

// The callsign field: the text padded with NUL to 10 bytes, cut to 10.
std::string callField(std::string_view call);
// A callsign field read back: the characters up to the first NUL, at most 10.
std::string readCallField(std::string_view field);

// A radio port as the server numbers it: the header's byte + 1, so 1 to 256
// (0 means the same as 1 when sending).
using RadioPort = uint16_t;

// The 36-byte header. `port` is 1-based: port 0 and port 1 both give byte 0.
// Bytes 28 and 29 carry `lengthLow` and `lengthHigh` as the caller computed them.
std::string buildHeader(uint32_t port, char kind, uint8_t pid, std::string_view callFrom, std::string_view callTo,
                        uint8_t lengthLow, uint8_t lengthHigh);
// The same header written over the AGW_HEADER_SIZE bytes at `header`; inline,
// as the send path writes one for every frame.
inline void writeHeader(char* header, uint32_t port, char kind, uint8_t pid, std::string_view callFrom,
                        std::string_view callTo, uint8_t lengthLow, uint8_t lengthHigh)
{
    auto writeCall = [](char* field, std::string_view call) {
        const size_t n = call.size() < 10 ? call.size() : 10;
        if (n > 0)
            std::memcpy(field, call.data(), n);
        std::memset(field + n, 0, 10 - n);
    };
    std::memset(header, 0, AGW_HEADER_SIZE);
    header[0] = static_cast<char>(port == 0 ? 0 : static_cast<uint8_t>(port - 1));
    header[4] = kind;
    header[6] = static_cast<char>(pid);
    writeCall(header + 8, callFrom);
    writeCall(header + 18, callTo);
    header[28] = static_cast<char>(lengthLow);
    header[29] = static_cast<char>(lengthHigh);
}

// Reads the fields of a 36-byte header (Data stays empty).
AgwFrame parseHeader(std::string_view header);

// For peers and tests: a whole frame with its exact length, and a stream of
// frames cut apart again (an incomplete tail is ignored).
std::string encodeFrame(const AgwFrame& frame);
std::vector<AgwFrame> decodeFrames(std::string_view stream);
