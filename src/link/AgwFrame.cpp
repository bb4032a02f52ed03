// The 36-byte AGW frame header: building and reading it.
#include "AgwFrame.h"

std::string callField(std::string_view call)
{
    std::string field(call.substr(0, 10));
    field.resize(10, '\0');
    return field;
}

std::string readCallField(std::string_view field)
{
    field = field.substr(0, 10);
    return std::string(field.substr(0, field.find('\0')));
}

std::string buildHeader(uint32_t port, char kind, uint8_t pid, std::string_view callFrom, std::string_view callTo,
                        uint8_t lengthLow, uint8_t lengthHigh)
{
    std::string header(AGW_HEADER_SIZE, '\0');
    writeHeader(header.data(), port, kind, pid, callFrom, callTo, lengthLow, lengthHigh);
    return header;
}

AgwFrame parseHeader(std::string_view header)
{
    AgwFrame frame;
    frame.wirePort = static_cast<uint8_t>(header[0]);
    frame.kind = header[4];
    frame.pid = static_cast<uint8_t>(header[6]);
    frame.callFrom = readCallField(header.substr(8, 10));
    frame.callTo = readCallField(header.substr(18, 10));
    // All four length bytes count: reading two would take the rest of a long
    // frame's data for frames of its own.
    frame.dataLen = 0;
    for (int i = 3; i >= 0; --i)
        frame.dataLen = (frame.dataLen << 8) | static_cast<uint8_t>(header[28 + static_cast<size_t>(i)]);
    return frame;
}

std::string encodeFrame(const AgwFrame& frame)
{
    std::string bytes(AGW_HEADER_SIZE, '\0');
    bytes[0] = static_cast<char>(frame.wirePort);
    bytes[4] = frame.kind;
    bytes[6] = static_cast<char>(frame.pid);
    bytes.replace(8, 10, callField(frame.callFrom));
    bytes.replace(18, 10, callField(frame.callTo));
    uint32_t length = static_cast<uint32_t>(frame.data.size());
    for (int i = 0; i < 4; ++i)
        bytes[28 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    bytes += frame.data;
    return bytes;
}

std::vector<AgwFrame> decodeFrames(std::string_view stream)
{
    std::vector<AgwFrame> frames;
    size_t at = 0;
    while (stream.size() - at >= AGW_HEADER_SIZE) {
        AgwFrame frame = parseHeader(stream.substr(at, AGW_HEADER_SIZE));
        if (stream.size() - at - AGW_HEADER_SIZE < frame.dataLen)
            break;
        frame.data = std::string(stream.substr(at + AGW_HEADER_SIZE, frame.dataLen));
        at += AGW_HEADER_SIZE + frame.dataLen;
        frames.push_back(std::move(frame));
    }
    return frames;
}
