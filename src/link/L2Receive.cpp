#include "AGWL2.h"

// The unconsumed bytes are RxBuffer[RxStart..]. Frames are cut by moving
// RxStart; the consumed prefix is erased once per read, so a read holding many
// frames costs time linear in its size. Everything is re-read from the members
// after each Decode call, because event handlers run inside it.

void TL2::DecodeOne()
{
    Decode(RxPort, RxPid, RxKind, RxFrom, RxTo, RxLen, RxData);
}

void TL2::Store(std::string_view bytes)
{
    try {
        RxBuffer.append(bytes);
        for (;;) {
            if (!Pending) {
                if (RxBuffer.size() - RxStart < AGW_HEADER_SIZE)
                    break;
                const AgwFrame header = ParseHeader(std::string_view(RxBuffer).substr(RxStart, AGW_HEADER_SIZE));
                RxStart += AGW_HEADER_SIZE;
                RxData.clear();
                RxPort = static_cast<uint8_t>(header.WirePort + 1);
                RxKind = header.Kind;
                RxPid = header.PID;
                RxFrom = header.CallFrom;
                RxTo = header.CallTo;
                RxLen = static_cast<int32_t>(header.DataLen);
                if (RxLen == 0) {
                    DecodeOne();
                    continue;
                }
            }
            if (!FragFrame())
                break;
        }
        if (RxStart > 0) {
            RxBuffer.erase(0, RxStart);
            RxStart = 0;
        }
    } catch (...) {
        WriteLog(1, "{L2} Exception on module Store");
    }
}

bool TL2::FragFrame()
{
    try {
        if (RxBuffer.size() - RxStart < static_cast<size_t>(RxLen)) {
            Pending = true;
            return false;
        }
        RxData.assign(RxBuffer, RxStart, static_cast<size_t>(RxLen));
        RxStart += static_cast<size_t>(RxLen);
        Pending = false;
        DecodeOne();
        return true;
    } catch (...) {
        WriteLog(1, "{L2} Exception on module FragFrame");
        return false;
    }
}
