// The send path: frames to the engine, long data split into frames of at most
// 255 bytes, disconnects, registration and the via list of a beacon.
#include "AgwLink.h"

#include "support/HexStr.h"

#include <cstring>

namespace {

constexpr uint32_t MAX_DATA = MAXFRAME - 1;
constexpr size_t MAX_VIAS = 25;

bool neverSplit(char kind)
{
    return kind == 'K' || kind == 'P';
}

std::string num(uint32_t value)
{
    return std::to_string(value);
}

} // namespace

std::string AgwLink::dataForTrace(char kind, std::string_view data)
{
    std::string shown(data);
    if (kind == 'P')
        for (size_t i = MAX_DATA; i < shown.size(); ++i)
            if (shown[i] != '\0')
                shown[i] = '*';
    return shown;
}

void AgwLink::sendData(uint32_t radioPort, uint8_t pid, const std::string& callFrom, const std::string& callTo,
                       const std::string& text)
{
    try {
        if (log_.enabled(4))
            writeLog(4, "{L2} SendData Received Port(" + num(radioPort) + ") Pid(" + num(pid) + ") To(" + callTo + ")");
        writeHex(5, text);
        writeFrames({static_cast<RadioPort>(radioPort), pid, 'D', callFrom, callTo}, text);
    } catch (...) {
        writeLog(1, "{L2} Exception on module SendData");
    }
}

bool AgwLink::sendDataToEach(uint8_t pid, const std::string& callFrom, const std::vector<Addressee>& to,
                             std::string_view text)
{
    const size_t each = AGW_HEADER_SIZE + text.size();
    if (log_.enabled(4) || text.empty() || text.size() > MAX_DATA || !socket_ || !socket_->isOpen())
        return false;
    frame_.resize(each * to.size());
    char* at = frame_.data();
    for (const Addressee& station : to) {
        writeHeader(at, station.radioPort, 'D', pid, callFrom, *station.call, static_cast<uint8_t>(text.size()), 0);
        std::memcpy(at + AGW_HEADER_SIZE, text.data(), text.size());
        at += each;
    }
    sendAgw(frame_);
    return true;
}

void AgwLink::disconnect(RadioPort radioPort, const std::string& callFrom, const std::string& callTo)
{
    try {
        write(radioPort, 0, 'd', callFrom, callTo, "");
    } catch (...) {
        writeLog(1, "{L2} Exception on module Disconnect Ext");
    }
}

bool AgwLink::agwRegister(const std::string& call, RadioPort radioPort)
{
    if (call.empty())
        return false;
    try {
        write(radioPort, 0, 'X', call, "", "");
        return true;
    } catch (...) {
        writeLog(1, "{L2} Exception on module AGWRegister");
        return false;
    }
}

bool AgwLink::agwUnRegister(const std::string& call)
{
    if (call.empty())
        return false;
    try {
        write(0, 0, 'x', call, "", "");
        return true;
    } catch (...) {
        writeLog(1, "{L2} Exception on module AGWUnRegister");
        return false;
    }
}

bool AgwLink::askOutstanding(RadioPort radioPort, const std::string& callFrom, const std::string& callTo)
{
    try {
        return write(radioPort, 0, 'Y', callFrom, callTo, "");
    } catch (...) {
        writeLog(1, "{L2} Exception on module AskOutstanding");
        return false;
    }
}

bool AgwLink::write(RadioPort radioPort, uint8_t pid, char kind, std::string_view callFrom, std::string_view callTo,
                    std::string_view data)
{
    return writeFrames({radioPort, pid, kind, callFrom, callTo}, data);
}

bool AgwLink::writeFrames(const FrameAddress& address, std::string_view data)
{
    try {
        if (!socket_ || !socket_->isOpen()) {
            writeLog(2, "{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE");
            return false;
        }
        if (log_.enabled(4)) {
            const std::string kindText(1, address.kind);
            writeLog(4, "{L2} <L2 Send> Port(" + num(address.radioPort) + ") DK[" + kindText + "] Pid(" +
                            num(address.pid) + ") From(" + std::string(address.callFrom) + ") To(" +
                            std::string(address.callTo) + ") DK[" + kindText + "] Len(" +
                            num(static_cast<uint32_t>(data.size())) + ") using object(" + callSign_ + ")");
        }
        if (log_.enabled(5))
            writeHex(5, dataForTrace(address.kind, data));
        sendFrames(socket_.get(), address, data);
        return true;
    } catch (...) {
        writeLog(1, "{L2} Exception on module Write");
        return false;
    }
}

bool AgwLink::send(ClientSocket* socket, RadioPort radioPort, uint8_t pid, char kind, std::string_view callFrom,
                   std::string_view callTo, uint32_t dataLen, std::string_view data)
{
    // A length beyond the data would make AGWPE read the next frame as data.
    return sendFrames(socket, {radioPort, pid, kind, callFrom, callTo}, data.substr(0, dataLen));
}

bool AgwLink::sendFrames(ClientSocket* socket, const FrameAddress& address, std::string_view data)
{
    try {
        const char kind = address.kind;
        // One pass per frame; a long text is cut into frames of MAX_DATA bytes, in order.
        for (;;) {
            if (socket == nullptr)
                return false;
            const uint32_t length = static_cast<uint32_t>(data.size());
            uint8_t low = static_cast<uint8_t>(length);
            uint8_t high = 0;
            if (neverSplit(kind))
                high = static_cast<uint8_t>(length >> 8);
            else if (length > MAX_DATA)
                low = static_cast<uint8_t>(MAX_DATA);
            // Header and data go out of one buffer that every frame reuses.
            frame_.resize(AGW_HEADER_SIZE);
            writeHeader(frame_.data(), address.radioPort, kind, address.pid, address.callFrom, address.callTo, low,
                        high);

            if (log_.enabled(4))
                writeLog(4, "{L2} Send Frame Header iLen(" + num(length) + ")");
            if (log_.enabled(5))
                writeHex(5, frame_ + dataForTrace(kind, data));

            if (length == 0) {
                writeLog(4, "{L2} Sent NUL length frame");
                sendAgw(frame_);
            } else if (length <= MAX_DATA || neverSplit(kind)) {
                writeLog(4, "{L2} Entered condition iLen<=DWORD(MAXFRAME-1) <SENT> or Frame <K>/<P>");
                sendAgw(frame_.append(data));
            } else {
                writeLog(4, "{L2} Frame Split <SENT>");
                sendAgw(frame_.append(data.substr(0, MAX_DATA)));
                data.remove_prefix(MAX_DATA);
                continue;
            }
            return true;
        }
    } catch (...) {
        writeLog(1, "{L2} Exception on module Send");
        return false;
    }
}

void AgwLink::sendAgw(std::string_view frame)
{
    try {
        if (socket_ && socket_->isOpen()) {
            socket_->sendBytes(frame);
            noteOutput();
        } else
            writeLog(1, "{L2} ERROR attempt to send to AGWPE with no active connection");
    } catch (...) {
        writeLog(1, "{L2} Exception on module SendAGW");
    }
}

std::string AgwLink::viaList(std::string_view vias)
{
    // The block has room for 25 slots of 10 bytes: longer calls are cut to
    // their slot and calls beyond the 25th are left out.
    std::string rest(vias);
    std::string slots;
    size_t count = 0;
    while (!rest.empty() && count < MAX_VIAS) {
        const std::string word = nextWord(rest);
        if (word.empty())
            continue;
        slots += callField(word);
        ++count;
    }
    if (count == 0)
        return {};
    return std::string(1, static_cast<char>(count)) + slots;
}
