#include "link/AGWL2.h"

#include "support/HexStr.h"

#include <string>

namespace {

using CallEvent = decltype(TL2::FOnHisConnect);

// The other station named by a "C" or "d" notice: what follows its fourth word, up to the CR.
std::string NoticeCall(const std::string& data)
{
    std::string rest = data;
    for (int i = 0; i < 4; ++i)
        NextWord(rest);
    return NextField(rest, '\r');
}

// The first line of a notice; every event of one notice gets this same text.
std::string NoticeText(const std::string& data)
{
    return data.substr(0, data.find('\r'));
}

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

bool IsOneOf(const std::string& value, std::initializer_list<const char*> choices)
{
    for (const char* choice : choices)
        if (value == choice)
            return true;
    return false;
}

void DecodeRaw(TL2& l2, uint8_t Port_, const std::string& Data)
{
    try {
        l2.WriteLog(5, "AGW Message <K>");
        l2.WriteHex(5, Data);
        if (l2.FOnRawFrame)
            l2.FOnRawFrame(l2, Port_, Data);
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameK)");
    }
}

void DecodeHeard(TL2& l2, uint8_t Port_, const std::string& CallFrom, const std::string& Data)
{
    try {
        std::string call = CallFrom;
        if (!NextWord(call).empty())
            l2.ParseHeard(Port_, Data);
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameH)");
    }
}

void DecodeParam(TL2& l2, uint8_t Port_, const std::string& Data)
{
    try {
        l2.ParseParam(Port_, Data);
        l2.FireEvent(l2.FOnParameter, "FOnParameter");
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (Frameg)");
    }
}

void DecodePortList(TL2& l2, const std::string& Data)
{
    try {
        l2.WriteLog(3, "{L2} Frame <G>");
        l2.WriteHex(4, Data);
        l2.ParsePort(Data);
        l2.WriteLog(4, "{L2} Port Information Parsed");
        l2.FireEvent(l2.FOnPort, "FOnPort");
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameG)");
    }
}

void DecodeVersion(TL2& l2, const std::string& Data)
{
    try {
        if (Data.size() < 8)
            return;
        auto byte = [&Data](size_t i) { return static_cast<int32_t>(static_cast<uint8_t>(Data[i])); };
        l2.VersionMajor = byte(0) + 256 * byte(1);
        l2.VersionMinor = byte(4) + 256 * byte(5);
        l2.FireEvent(l2.FOnVersion, "FOnVersion", l2.VersionMajor, l2.VersionMinor);
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameR)");
    }
}

void DecodePortFrames(TL2& l2, uint8_t Port_, const std::string& Data)
{
    try {
        if (Data.size() < 4)
            return;
        const uint8_t low = static_cast<uint8_t>(Data[0]);
        const int32_t frames = low + 256 * static_cast<uint8_t>(Data[1]);
        if (Port_ >= 1 && Port_ <= MAX_PORTS)
            l2.Ports[Port_].Waiting = low;
        l2.FireEvent(l2.FOnPortFrames, "FOnPortFrames", Port_, frames);
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (Framey)");
    }
}

void DecodeConnFrames(TL2& l2, uint8_t Port_, const std::string& CallFrom, const std::string& CallTo,
                      const std::string& Data)
{
    try {
        if (Data.size() < 4)
            return;
        uint32_t frames = 0;
        for (size_t i = 4; i-- > 0;)
            frames = frames << 8 | static_cast<uint8_t>(Data[i]);
        l2.FireEvent(l2.FOnConnFrames, "FOnConnFrames", Port_, CallFrom, CallTo, static_cast<int32_t>(frames));
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameY)");
    }
}

void DecodeRegistration(TL2& l2, char Kind, const std::string& CallFrom, const std::string& Data)
{
    const bool registering = Kind == 'X';
    try {
        const auto& event = registering ? l2.FOnRegister : l2.FOnUnRegister;
        if (event)
            event(l2, CallFrom, Data);
        if (Data.empty())
            return;
        const bool success = Data[0] == 1;
        l2.Registered = registering ? success : !success;
    } catch (...) {
        l2.WriteLog(1, registering ? "{L2} Exception on Module TL2.Decode (FrameX)"
                                   : "{L2} Exception on Module TL2.Decode (Framex)");
    }
}

void DecodeConnect(TL2& l2, uint8_t Port_, const std::string& CallFrom, const std::string& CallTo,
                   const std::string& Data)
{
    try {
        const std::string text = NoticeText(Data);
        auto announce = [&](const char* line, const CallEvent& event, const char* eventName) {
            const std::string call = NoticeCall(Data);
            l2.WriteLog(4, line + Data);
            l2.FireEvent(event, eventName, Port_, call, text);
            if (l2.FOnAnyConnect)
                l2.FOnAnyConnect(l2, Port_, call, text);
            if (l2.FOnConnectEx)
                l2.FOnConnectEx(l2, Port_, CallFrom, CallTo, text);
        };
        if (Contains(Data, "CONNECTED To"))
            announce("{L2} Connect (his) String->", l2.FOnHisConnect, "FOnHisConnect");
        if (Contains(Data, "CONNECTED With"))
            announce("{L2} Connect (my) String->", l2.FOnMyConnect, "FOnMyConnect");
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameC)");
    }
}

void DecodeDisconnect(TL2& l2, uint8_t Port_, const std::string& CallFrom, const std::string& CallTo,
                      const std::string& Data)
{
    try {
        if (!Contains(Data, "DISCONNECTED"))
            return;
        const std::string text = NoticeText(Data);
        std::string call;
        const CallEvent* event = nullptr;
        const char* eventName = nullptr;
        if (Contains(Data, "RETRYOUT")) {
            l2.WriteLog(4, "{L2} Disconnect (retryout) String->" + Data);
            call = NoticeCall(Data);
            event = &l2.FOnRetryOut;
            eventName = "FOnRetryOut";
        } else if (Contains(Data, "From")) {
            l2.WriteLog(4, "{L2} Disconnect (his) String->" + Data);
            call = NoticeCall(Data);
            l2.WriteHex(4, call);
            event = &l2.FOnHisDisconnect;
            eventName = "FOnHisDisconnect";
        } else if (Contains(Data, "With")) {
            l2.WriteLog(4, "{L2} Disconnect (my) String->" + Data);
            call = CallTo;
            event = &l2.FOnMyDisconnect;
            eventName = "FOnMyDisconnect";
        } else {
            return;
        }
        l2.FireEvent(*event, eventName, Port_, call, text);
        l2.FireEvent(l2.FOnDisconnect, "FOnDisconnect", Port_, call, text);
        if (l2.FOnDisconnectEx)
            l2.FOnDisconnectEx(l2, Port_, CallFrom, CallTo, text);
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (Framed)");
    }
}

void DecodeData(TL2& l2, uint8_t Port_, uint8_t PID, const std::string& CallFrom, const std::string& CallTo,
                const std::string& Data)
{
    try {
        if (!l2.FOnData)
            return;
        l2.WriteLog(4, "{L2} About to convert cPid <FOnData>");
        l2.WriteHex(4, std::string(1, static_cast<char>(PID)));
        l2.FireEvent(l2.FOnData, "FOnData", Port_, CallFrom, CallTo, PID, Data);
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameD) L2(" + l2.CallSign + ")");
        l2.WriteLog(1, "{L2} szFrom=" + CallFrom + " szTo=" + CallTo + " Data=" + Data);
    }
}

void DecodeUnproto(TL2& l2, uint8_t Port_, const std::string& Data)
{
    try {
        TMonitorHeader header;
        try {
            header = l2.GetHeader(Data);
        } catch (...) {
            l2.WriteLog(1, "{L2} Exception on Module TL2.Decode.FrameU(GetHeader)");
            return;
        }
        uint8_t pid = 0;
        try {
            pid = static_cast<uint8_t>(HexToByte(header.Pid));
        } catch (...) {
            l2.WriteLog(1, "{L2} Exception on Module TL2.Decode.FrameU(bPid<-)");
            return;
        }
        try {
            l2.FireEvent(l2.FOnDataUI, "FOnDataUI", Port_, header.From, header.To, pid, header.Info);
        } catch (...) {
            l2.WriteLog(1, "{L2} Exception on Module TL2.Decode.FrameU(OnDataUI Event)");
        }
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameU)");
    }
}

void DecodeMonitored(TL2& l2, uint8_t Port_, uint8_t PID, char Kind, const std::string& CallFrom,
                     const std::string& CallTo, const std::string& Data)
{
    try {
        const TMonitorHeader h = l2.GetHeader(Data);
        const std::string& type = h.FrameType;
        auto wants = [&l2](char letter) { return l2.Monitor.find(letter) != std::string::npos; };
        auto monitor = [&] {
            if (l2.FOnMonitor)
                l2.FOnMonitor(l2, Port_, CallFrom, CallTo, PID, Data);
        };
        auto iframe = [&] {
            monitor();
            l2.FireEvent(l2.FOnIFrame, "FOnIFrame", Port_, h.From, h.To, h.Via, type, h.Pid, h.NR, h.NS, h.Len, h.Info);
        };
        auto sframe = [&](int32_t nr) {
            monitor();
            l2.FireEvent(l2.FOnSFrame, "FOnSFrame", Port_, CallFrom, CallTo, h.Via, type, nr);
        };

        if (Kind == 'I') {
            if (type == "I" && wants('I'))
                iframe();
        } else if (Kind == 'S') {
            if (IsOneOf(type, {"RR", "UA", "REJ", "DM", "DISC", "SABM"}) && wants('S'))
                sframe(h.NR);
        } else {
            if (type == "I" && wants('I')) {
                iframe();
                return;
            }
            if (type == "UI" && wants('U')) {
                monitor();
                l2.FireEvent(l2.FOnUIFrame, "FOnUIFrame", Port_, h.From, h.To, h.Via, type, h.Pid, h.Len, h.Info);
            }
            if (IsOneOf(type, {"RR", "RNR", "REJ"}) && wants('S')) {
                sframe(h.NR);
                return;
            }
            if (IsOneOf(type, {"SABM", "UA", "DISC", "DM"}) && wants('C'))
                sframe(0);
        }
    } catch (...) {
        l2.WriteLog(1, "{L2} Exception on Module TL2.Decode (FrameTSI) Kind{" + std::string(1, Kind) + "}");
    }
}

} // namespace

void TL2::Decode(uint8_t Port_, uint8_t PID, char Kind, std::string CallFrom, std::string CallTo, int32_t DataLen,
                 std::string Data)
{
    const std::string kind(1, Kind);
    const std::string port = std::to_string(Port_);

    try {
        const std::string rest =
            "] {" + HexByte(PID) + "} <" + CallFrom + "> <" + CallTo + "> Len(" + std::to_string(DataLen) + ") + DATA";
        switch (Kind) {
        case 'H':
        case 'G':
        case 'g':
            WriteLog(5, "{L2} Obj(" + CallSign + ") Decode Args Port(" + port + ") Kind[" + kind + rest);
            break;
        case 'I':
        case 'U':
        case 'S':
        case 'T':
            WriteLog(4, "{L2} Obj(" + CallSign + ") Decode Args Port(" + port + ") Kind[" + kind + rest);
            break;
        case 'K':
            WriteLog(4, "{L2} Decode KISS Obj(" + CallSign + ") Port(" + port + ") Kind[" + kind + "] Len(" +
                            std::to_string(DataLen) + ") + RAW AX.25 Frame");
            break;
        default:
            WriteLog(4, "{L2} Decode Args Obj(" + CallSign + ") Port(" + port + ") Kind[" + kind + rest);
            break;
        }
        if (Kind == 'I' || Kind == 'S' || Kind == 'T') {
            WriteLog(4, "AGWMessage <" + kind + ">");
            WriteHex(5, Data);
        }
        CallTo = UpperStr(CallTo);
        CallFrom = UpperStr(CallFrom);
        if (FOnFrame)
            FOnFrame(*this, Port_, PID, Kind, CallFrom, CallTo, Data);
    } catch (...) {
        WriteLog(1, "{L2} Exception on Module TL2.Decode (Initial)");
        return;
    }

    switch (Kind) {
    case 'K':
        DecodeRaw(*this, Port_, Data);
        break;
    case 'H':
        DecodeHeard(*this, Port_, CallFrom, Data);
        break;
    case 'g':
        DecodeParam(*this, Port_, Data);
        break;
    case 'G':
        DecodePortList(*this, Data);
        break;
    case 'R':
        DecodeVersion(*this, Data);
        break;
    case 'y':
        DecodePortFrames(*this, Port_, Data);
        break;
    case 'Y':
        DecodeConnFrames(*this, Port_, CallFrom, CallTo, Data);
        break;
    case 'X':
    case 'x':
        DecodeRegistration(*this, Kind, CallFrom, Data);
        break;
    case 'C':
        DecodeConnect(*this, Port_, CallFrom, CallTo, Data);
        break;
    case 'd':
        DecodeDisconnect(*this, Port_, CallFrom, CallTo, Data);
        break;
    case 'D':
        DecodeData(*this, Port_, PID, CallFrom, CallTo, Data);
        break;
    case 'U':
        DecodeUnproto(*this, Port_, Data);
        break;
    case 'I':
    case 'S':
    case 'T':
        DecodeMonitored(*this, Port_, PID, Kind, CallFrom, CallTo, Data);
        break;
    default:
        break;
    }
}
