#include "AGWL2.h"

#include "support/HexStr.h"

namespace {

constexpr uint32_t MAX_DATA = MAXFRAME - 1;
constexpr size_t MAX_VIAS = 25;

bool NeverSplit(char kind)
{
    return kind == 'K' || kind == 'P';
}

std::string Num(uint32_t value)
{
    return std::to_string(value);
}

} // namespace

std::string TL2::DataForTrace(char Kind, std::string_view Data)
{
    std::string shown(Data);
    if (Kind == 'P')
        for (size_t i = MAX_DATA; i < shown.size(); ++i)
            if (shown[i] != '\0')
                shown[i] = '*';
    return shown;
}

void TL2::SendData(uint32_t Port_, uint8_t PID, const std::string& CallFrom, const std::string& CallTo,
                   const std::string& Text_)
{
    try {
        WriteLog(4, "{L2} SendData Received Port(" + Num(Port_) + ") Pid(" + Num(PID) + ") To(" + CallTo + ")");
        WriteHex(5, Text_);
        Write(static_cast<uint8_t>(Port_), PID, 'D', CallFrom, CallTo, Text_);
    } catch (...) {
        WriteLog(1, "{L2} Exception on module SendData");
    }
}

void TL2::Disconnect(uint8_t Port_, const std::string& CallFrom, const std::string& CallTo)
{
    try {
        Write(Port_, 0, 'd', CallFrom, CallTo, "");
    } catch (...) {
        WriteLog(1, "{L2} Exception on module Disconnect Ext");
    }
}

bool TL2::AGWRegister(const std::string& Call)
{
    if (Call.empty())
        return false;
    try {
        Write(0, 0, 'X', Call, "", "");
        return true;
    } catch (...) {
        WriteLog(1, "{L2} Exception on module AGWRegister");
        return false;
    }
}

bool TL2::AGWUnRegister(const std::string& Call)
{
    if (Call.empty())
        return false;
    try {
        Write(0, 0, 'x', Call, "", "");
        return true;
    } catch (...) {
        WriteLog(1, "{L2} Exception on module AGWUnRegister");
        return false;
    }
}

bool TL2::AskOutstanding(uint8_t Port_, const std::string& CallFrom, const std::string& CallTo)
{
    try {
        return Write(Port_, 0, 'Y', CallFrom, CallTo, "");
    } catch (...) {
        WriteLog(1, "{L2} Exception on module AskOutstanding");
        return false;
    }
}

bool TL2::Write(uint8_t Port_, uint8_t PID, char Kind, std::string_view CallFrom, std::string_view CallTo,
                std::string_view Data)
{
    try {
        if (!socket_ || !socket_->IsOpen()) {
            WriteLog(2, "{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE");
            return false;
        }
        const std::string kind(1, Kind);
        WriteLog(4, "{L2} <L2 Send> Port(" + Num(Port_) + ") DK[" + kind + "] Pid(" + Num(PID) + ") From(" +
                        std::string(CallFrom) + ") To(" + std::string(CallTo) + ") DK[" + kind + "] Len(" +
                        Num(static_cast<uint32_t>(Data.size())) + ") using object(" + CallSign + ")");
        if (Log.Enabled(5))
            WriteHex(5, DataForTrace(Kind, Data));
        Send(socket_.get(), Port_, PID, Kind, CallFrom, CallTo, static_cast<uint32_t>(Data.size()), Data);
        return true;
    } catch (...) {
        WriteLog(1, "{L2} Exception on module Write");
        return false;
    }
}

bool TL2::Send(ClientSocket* socket, uint8_t Port_, uint8_t PID, char Kind, std::string_view CallFrom,
               std::string_view CallTo, uint32_t DataLen, std::string_view Data)
{
    try {
        // A length beyond the data would make AGWPE read the next frame as data.
        Data = Data.substr(0, DataLen);
        // One pass per frame; a long text is cut into frames of MAX_DATA bytes, in order.
        for (;;) {
            if (socket == nullptr)
                return false;
            const uint32_t length = static_cast<uint32_t>(Data.size());
            uint8_t low = static_cast<uint8_t>(length);
            uint8_t high = 0;
            if (NeverSplit(Kind))
                high = static_cast<uint8_t>(length >> 8);
            else if (length > MAX_DATA)
                low = static_cast<uint8_t>(MAX_DATA);
            const std::string header = BuildHeader(Port_, Kind, PID, CallFrom, CallTo, low, high);

            WriteLog(4, "{L2} Send Frame Header iLen(" + Num(length) + ")");
            if (Log.Enabled(5))
                WriteHex(5, header + DataForTrace(Kind, Data));

            if (length == 0) {
                WriteLog(4, "{L2} Sent NUL length frame");
                SendAGW(header);
            } else if (length <= MAX_DATA || NeverSplit(Kind)) {
                WriteLog(4, "{L2} Entered condition iLen<=DWORD(MAXFRAME-1) <SENT> or Frame <K>/<P>");
                SendAGW(header + std::string(Data));
            } else {
                WriteLog(4, "{L2} Frame Split <SENT>");
                SendAGW(header + std::string(Data.substr(0, MAX_DATA)));
                Data.remove_prefix(MAX_DATA);
                continue;
            }
            return true;
        }
    } catch (...) {
        WriteLog(1, "{L2} Exception on module Send");
        return false;
    }
}

void TL2::SendAGW(std::string_view frame)
{
    try {
        if (socket_ && socket_->IsOpen())
            socket_->SendBytes(frame);
        else
            WriteLog(1, "{L2} ERROR attempt to send to AGWPE with no active connection");
    } catch (...) {
        WriteLog(1, "{L2} Exception on module SendAGW");
    }
}

std::string TL2::ViaList(std::string_view vias)
{
    // The block has room for 25 slots of 10 bytes: longer calls are cut to
    // their slot and calls beyond the 25th are left out.
    std::string rest(vias);
    std::string slots;
    size_t count = 0;
    while (!rest.empty() && count < MAX_VIAS) {
        const std::string word = NextWord(rest);
        if (word.empty())
            continue;
        slots += CallField(word);
        ++count;
    }
    if (count == 0)
        return {};
    return std::string(1, static_cast<char>(count)) + slots;
}
