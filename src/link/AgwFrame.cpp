#include "AgwFrame.h"

std::string CallField(std::string_view call)
{
    std::string field(call.substr(0, 10));
    field.resize(10, '\0');
    return field;
}

std::string ReadCallField(std::string_view field)
{
    field = field.substr(0, 10);
    return std::string(field.substr(0, field.find('\0')));
}

std::string BuildHeader(uint32_t port, char kind, uint8_t pid, std::string_view callFrom, std::string_view callTo,
                        uint8_t lengthLow, uint8_t lengthHigh)
{
    std::string header(AGW_HEADER_SIZE, '\0');
    uint8_t wirePort = static_cast<uint8_t>(port - 1);
    header[0] = static_cast<char>(wirePort == 255 ? 0 : wirePort);
    header[4] = kind;
    header[6] = static_cast<char>(pid);
    header.replace(8, 10, CallField(callFrom));
    header.replace(18, 10, CallField(callTo));
    header[28] = static_cast<char>(lengthLow);
    header[29] = static_cast<char>(lengthHigh);
    return header;
}

AgwFrame ParseHeader(std::string_view header)
{
    AgwFrame frame;
    frame.WirePort = static_cast<uint8_t>(header[0]);
    frame.Kind = header[4];
    frame.PID = static_cast<uint8_t>(header[6]);
    frame.CallFrom = ReadCallField(header.substr(8, 10));
    frame.CallTo = ReadCallField(header.substr(18, 10));
    frame.DataLen = static_cast<uint8_t>(header[28]) + 256u * static_cast<uint8_t>(header[29]);
    return frame;
}

std::string EncodeFrame(const AgwFrame& frame)
{
    std::string bytes(AGW_HEADER_SIZE, '\0');
    bytes[0] = static_cast<char>(frame.WirePort);
    bytes[4] = frame.Kind;
    bytes[6] = static_cast<char>(frame.PID);
    bytes.replace(8, 10, CallField(frame.CallFrom));
    bytes.replace(18, 10, CallField(frame.CallTo));
    uint32_t length = static_cast<uint32_t>(frame.Data.size());
    for (int i = 0; i < 4; ++i)
        bytes[28 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    bytes += frame.Data;
    return bytes;
}

std::vector<AgwFrame> DecodeFrames(std::string_view stream)
{
    std::vector<AgwFrame> frames;
    size_t at = 0;
    while (stream.size() - at >= AGW_HEADER_SIZE) {
        AgwFrame frame = ParseHeader(stream.substr(at, AGW_HEADER_SIZE));
        if (stream.size() - at - AGW_HEADER_SIZE < frame.DataLen)
            break;
        frame.Data = std::string(stream.substr(at + AGW_HEADER_SIZE, frame.DataLen));
        at += AGW_HEADER_SIZE + frame.DataLen;
        frames.push_back(std::move(frame));
    }
    return frames;
}
