#include "AgwLink.h"

// The unconsumed bytes are rxBuffer[rxStart..]. Frames are cut by moving
// rxStart; the consumed prefix is erased once per read, so a read holding many
// frames costs time linear in its size. Everything is re-read from the members
// after each Decode call, because event handlers run inside it.

void AgwLink::decodeOne()
{
    decode(rxPort, rxPid, rxKind, rxFrom, rxTo, rxLen, rxData);
}

void AgwLink::store(std::string_view bytes)
{
    try {
        rxBuffer.append(bytes);
        for (;;) {
            if (!pending) {
                if (rxBuffer.size() - rxStart < AGW_HEADER_SIZE)
                    break;
                const AgwFrame header = parseHeader(std::string_view(rxBuffer).substr(rxStart, AGW_HEADER_SIZE));
                rxStart += AGW_HEADER_SIZE;
                rxData.clear();
                rxPort = static_cast<uint8_t>(header.wirePort + 1);
                rxKind = header.kind;
                rxPid = header.pid;
                rxFrom = header.callFrom;
                rxTo = header.callTo;
                rxLen = static_cast<int32_t>(header.dataLen);
                if (rxLen == 0) {
                    decodeOne();
                    continue;
                }
            }
            if (!fragFrame())
                break;
        }
        if (rxStart > 0) {
            rxBuffer.erase(0, rxStart);
            rxStart = 0;
        }
    } catch (...) {
        writeLog(1, "{L2} Exception on module Store");
    }
}

bool AgwLink::fragFrame()
{
    try {
        if (rxBuffer.size() - rxStart < static_cast<size_t>(rxLen)) {
            pending = true;
            return false;
        }
        rxData.assign(rxBuffer, rxStart, static_cast<size_t>(rxLen));
        rxStart += static_cast<size_t>(rxLen);
        pending = false;
        decodeOne();
        return true;
    } catch (...) {
        writeLog(1, "{L2} Exception on module FragFrame");
        return false;
    }
}
