// Decoding of every frame kind the engine sends into the link's events.
// The trace texts name the handlers and modules by the names operators' log
// tools know ("FOnData", "TL2.Decode"): they are fixed texts, kept byte for byte.
#include "link/AgwLink.h"

#include "support/HexStr.h"

#include <string>

namespace {

using CallEvent = decltype(AgwLink::onHisConnect);

// The other station named by a "C" or "d" notice: what follows its fourth word, up to the CR.
std::string noticeCall(const std::string& data)
{
    std::string rest = data;
    for (int i = 0; i < 4; ++i)
        nextWord(rest);
    return nextField(rest, '\r');
}

// The first line of a notice; every event of one notice gets this same text.
std::string noticeText(const std::string& data)
{
    return data.substr(0, data.find('\r'));
}

bool contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

bool isOneOf(const std::string& value, std::initializer_list<const char*> choices)
{
    for (const char* choice : choices)
        if (value == choice)
            return true;
    return false;
}

} // namespace

// The handlers of each frame kind; they set the link's state that the engine reports.
struct AgwDecoder {
    static void decodeRaw(AgwLink& l2, RadioPort radioPort, const std::string& data)
    {
        try {
            l2.writeLog(5, "AGW Message <K>");
            l2.writeHex(5, data);
            if (l2.onRawFrame)
                l2.onRawFrame(l2, radioPort, data);
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameK)");
        }
    }

    static void decodeHeard(AgwLink& l2, RadioPort radioPort, const std::string& callFrom, const std::string& data)
    {
        try {
            std::string call = callFrom;
            if (!nextWord(call).empty())
                l2.parseHeard(radioPort, data);
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameH)");
        }
    }

    static void decodeParam(AgwLink& l2, RadioPort radioPort, const std::string& data)
    {
        try {
            l2.parseParam(radioPort, data);
            l2.fireEvent(l2.onParameter, "FOnParameter");
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (Frameg)");
        }
    }

    static void decodePortList(AgwLink& l2, const std::string& data)
    {
        try {
            l2.writeLog(3, "{L2} Frame <G>");
            l2.writeHex(4, data);
            l2.parsePortList(data);
            l2.writeLog(4, "{L2} Port Information Parsed");
            l2.fireEvent(l2.onPort, "FOnPort");
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameG)");
        }
    }

    static void decodeVersion(AgwLink& l2, const std::string& data)
    {
        try {
            if (data.size() < 8)
                return;
            auto byte = [&data](size_t i) { return static_cast<int32_t>(static_cast<uint8_t>(data[i])); };
            l2.versionMajor_ = byte(0) + 256 * byte(1);
            l2.versionMinor_ = byte(4) + 256 * byte(5);
            l2.fireEvent(l2.onVersion, "FOnVersion", l2.versionMajor_, l2.versionMinor_);
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameR)");
        }
    }

    static void decodePortFrames(AgwLink& l2, RadioPort radioPort, const std::string& data)
    {
        try {
            if (data.size() < 4)
                return;
            const uint8_t low = static_cast<uint8_t>(data[0]);
            const int32_t frames = low + 256 * static_cast<uint8_t>(data[1]);
            if (radioPort >= 1 && radioPort <= MAX_PORTS)
                l2.ports_[radioPort].waiting = low;
            l2.fireEvent(l2.onPortFrames, "FOnPortFrames", radioPort, frames);
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (Framey)");
        }
    }

    static void decodeConnFrames(AgwLink& l2, RadioPort radioPort, const std::string& callFrom,
                                 const std::string& callTo, const std::string& data)
    {
        try {
            if (data.size() < 4)
                return;
            uint32_t frames = 0;
            for (size_t i = 4; i-- > 0;)
                frames = frames << 8 | static_cast<uint8_t>(data[i]);
            l2.fireEvent(l2.onConnFrames, "FOnConnFrames", radioPort, callFrom, callTo, static_cast<int32_t>(frames));
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameY)");
        }
    }

    static void decodeRegistration(AgwLink& l2, RadioPort radioPort, char kind, const std::string& callFrom,
                                   const std::string& data)
    {
        const bool registering = kind == 'X';
        try {
            const auto& event = registering ? l2.onRegister : l2.onUnRegister;
            if (event)
                event(l2, radioPort, callFrom, data);
            if (data.empty())
                return;
            const bool success = data[0] == 1;
            l2.registered_ = registering ? success : !success;
        } catch (...) {
            l2.writeLog(1, registering ? "{L2} Exception on Module TL2.Decode (FrameX)"
                                       : "{L2} Exception on Module TL2.Decode (Framex)");
        }
    }

    static void decodeConnect(AgwLink& l2, RadioPort radioPort, const std::string& callFrom, const std::string& callTo,
                              const std::string& data)
    {
        try {
            const std::string text = noticeText(data);
            auto announce = [&](const char* line, const CallEvent& event, const char* eventName) {
                const std::string call = noticeCall(data);
                l2.writeLog(4, line + data);
                l2.fireEvent(event, eventName, radioPort, call, text);
                if (l2.onAnyConnect)
                    l2.onAnyConnect(l2, radioPort, call, text);
                if (l2.onConnectEx)
                    l2.onConnectEx(l2, radioPort, callFrom, callTo, text);
            };
            if (contains(data, "CONNECTED To"))
                announce("{L2} Connect (his) String->", l2.onHisConnect, "FOnHisConnect");
            if (contains(data, "CONNECTED With"))
                announce("{L2} Connect (my) String->", l2.onMyConnect, "FOnMyConnect");
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameC)");
        }
    }

    static void decodeDisconnect(AgwLink& l2, RadioPort radioPort, const std::string& callFrom,
                                 const std::string& callTo, const std::string& data)
    {
        try {
            if (!contains(data, "DISCONNECTED"))
                return;
            const std::string text = noticeText(data);
            std::string call;
            const CallEvent* event = nullptr;
            const char* eventName = nullptr;
            // The station is the one the header names (the other end, first);
            // the text is for people and says what the engine chose to say.
            if (contains(data, "RETRYOUT")) {
                l2.writeLog(4, "{L2} Disconnect (retryout) String->" + data);
                call = callFrom;
                event = &l2.onRetryOut;
                eventName = "FOnRetryOut";
            } else if (contains(data, "From")) {
                l2.writeLog(4, "{L2} Disconnect (his) String->" + data);
                call = callFrom;
                l2.writeHex(4, call);
                event = &l2.onHisDisconnect;
                eventName = "FOnHisDisconnect";
            } else if (contains(data, "With")) {
                l2.writeLog(4, "{L2} Disconnect (my) String->" + data);
                call = callTo;
                event = &l2.onMyDisconnect;
                eventName = "FOnMyDisconnect";
            } else {
                return;
            }
            l2.fireEvent(*event, eventName, radioPort, call, text);
            l2.fireEvent(l2.onDisconnect, "FOnDisconnect", radioPort, call, text);
            if (l2.onDisconnectEx)
                l2.onDisconnectEx(l2, radioPort, callFrom, callTo, text);
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (Framed)");
        }
    }

    static void decodeData(AgwLink& l2, RadioPort radioPort, uint8_t pid, const std::string& callFrom,
                           const std::string& callTo, const std::string& data)
    {
        try {
            if (!l2.onData)
                return;
            l2.writeLog(4, "{L2} About to convert cPid <FOnData>");
            l2.writeHex(4, std::string(1, static_cast<char>(pid)));
            l2.fireEvent(l2.onData, "FOnData", radioPort, callFrom, callTo, pid, data);
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameD) L2(" + l2.callSign_ + ")");
            l2.writeLog(1, "{L2} szFrom=" + callFrom + " szTo=" + callTo + " Data=" + data);
        }
    }

    static void decodeUnproto(AgwLink& l2, RadioPort radioPort, const std::string& data)
    {
        try {
            MonitorHeader header;
            try {
                header = l2.getHeader(data);
            } catch (...) {
                l2.writeLog(1, "{L2} Exception on Module TL2.Decode.FrameU(GetHeader)");
                return;
            }
            uint8_t pid = 0;
            try {
                pid = static_cast<uint8_t>(hexToByte(header.pid));
            } catch (...) {
                l2.writeLog(1, "{L2} Exception on Module TL2.Decode.FrameU(bPid<-)");
                return;
            }
            try {
                l2.fireEvent(l2.onDataUI, "FOnDataUI", radioPort, header.from, header.to, pid, header.info);
            } catch (...) {
                l2.writeLog(1, "{L2} Exception on Module TL2.Decode.FrameU(OnDataUI Event)");
            }
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameU)");
        }
    }

    static void decodeMonitored(AgwLink& l2, RadioPort radioPort, uint8_t pid, char kind, const std::string& callFrom,
                                const std::string& callTo, const std::string& data)
    {
        try {
            const MonitorHeader h = l2.getHeader(data);
            const std::string& type = h.frameType;
            auto wants = [&l2](char letter) { return l2.monitor_.find(letter) != std::string::npos; };
            auto monitor = [&] {
                if (l2.onMonitor)
                    l2.onMonitor(l2, radioPort, callFrom, callTo, pid, data);
            };
            auto iframe = [&] {
                monitor();
                l2.fireEvent(l2.onIFrame, "FOnIFrame", radioPort, h.from, h.to, h.via, type, h.pid, h.nr, h.ns, h.len,
                             h.info);
            };
            auto sframe = [&](int32_t nr) {
                monitor();
                l2.fireEvent(l2.onSFrame, "FOnSFrame", radioPort, callFrom, callTo, h.via, type, nr);
            };

            if (kind == 'I') {
                if (type == "I" && wants('I'))
                    iframe();
            } else if (kind == 'S') {
                if (isOneOf(type, {"RR", "UA", "REJ", "DM", "DISC", "SABM"}) && wants('S'))
                    sframe(h.nr);
            } else {
                if (type == "I" && wants('I')) {
                    iframe();
                    return;
                }
                if (type == "UI" && wants('U')) {
                    monitor();
                    l2.fireEvent(l2.onUIFrame, "FOnUIFrame", radioPort, h.from, h.to, h.via, type, h.pid, h.len,
                                 h.info);
                }
                if (isOneOf(type, {"RR", "RNR", "REJ"}) && wants('S')) {
                    sframe(h.nr);
                    return;
                }
                if (isOneOf(type, {"SABM", "UA", "DISC", "DM"}) && wants('C'))
                    sframe(0);
            }
        } catch (...) {
            l2.writeLog(1, "{L2} Exception on Module TL2.Decode (FrameTSI) Kind{" + std::string(1, kind) + "}");
        }
    }
};

void AgwLink::decode(RadioPort radioPort, uint8_t pid, char kind, std::string callFrom, std::string callTo,
                     int32_t dataLen, std::string data)
{
    try {
        // The frame's trace line, built only when it will be written.
        const uint8_t argsLevel = kind == 'H' || kind == 'G' || kind == 'g' ? 5 : 4;
        if (log_.enabled(argsLevel)) {
            const std::string kindText(1, kind);
            const std::string port = std::to_string(radioPort);
            const std::string rest = "] {" + hexByte(pid) + "} <" + callFrom + "> <" + callTo + "> Len(" +
                                     std::to_string(dataLen) + ") + DATA";
            switch (kind) {
            case 'H':
            case 'G':
            case 'g':
            case 'I':
            case 'U':
            case 'S':
            case 'T':
                writeLog(argsLevel,
                         "{L2} Obj(" + callSign_ + ") Decode Args Port(" + port + ") Kind[" + kindText + rest);
                break;
            case 'K':
                writeLog(4, "{L2} Decode KISS Obj(" + callSign_ + ") Port(" + port + ") Kind[" + kindText + "] Len(" +
                                std::to_string(dataLen) + ") + RAW AX.25 Frame");
                break;
            default:
                writeLog(4, "{L2} Decode Args Obj(" + callSign_ + ") Port(" + port + ") Kind[" + kindText + rest);
                break;
            }
        }
        if (kind == 'I' || kind == 'S' || kind == 'T') {
            writeLog(4, "AGWMessage <" + std::string(1, kind) + ">");
            writeHex(5, data);
        }
        callTo = upperStr(callTo);
        callFrom = upperStr(callFrom);
        if (onFrame)
            onFrame(*this, radioPort, pid, kind, callFrom, callTo, data);
    } catch (...) {
        writeLog(1, "{L2} Exception on Module TL2.Decode (Initial)");
        return;
    }

    switch (kind) {
    case 'K':
        AgwDecoder::decodeRaw(*this, radioPort, data);
        break;
    case 'H':
        AgwDecoder::decodeHeard(*this, radioPort, callFrom, data);
        break;
    case 'g':
        AgwDecoder::decodeParam(*this, radioPort, data);
        break;
    case 'G':
        AgwDecoder::decodePortList(*this, data);
        break;
    case 'R':
        AgwDecoder::decodeVersion(*this, data);
        break;
    case 'y':
        AgwDecoder::decodePortFrames(*this, radioPort, data);
        break;
    case 'Y':
        AgwDecoder::decodeConnFrames(*this, radioPort, callFrom, callTo, data);
        break;
    case 'X':
    case 'x':
        AgwDecoder::decodeRegistration(*this, radioPort, kind, callFrom, data);
        break;
    case 'C':
        AgwDecoder::decodeConnect(*this, radioPort, callFrom, callTo, data);
        break;
    case 'd':
        AgwDecoder::decodeDisconnect(*this, radioPort, callFrom, callTo, data);
        break;
    case 'D':
        AgwDecoder::decodeData(*this, radioPort, pid, callFrom, callTo, data);
        break;
    case 'U':
        AgwDecoder::decodeUnproto(*this, radioPort, data);
        break;
    case 'I':
    case 'S':
    case 'T':
        AgwDecoder::decodeMonitored(*this, radioPort, pid, kind, callFrom, callTo, data);
        break;
    default:
        break;
    }
}
