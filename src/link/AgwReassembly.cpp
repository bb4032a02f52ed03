// Reassembly of the received byte stream into frames, however TCP split it.
#include "AgwLink.h"

// The unconsumed bytes are rxBuffer_[rxStart_..]. Frames are cut by moving
// rxStart_; the consumed prefix is erased once per read, so a read holding many
// frames costs time linear in its size. Everything is re-read from the members
// after each Decode call, because event handlers run inside it.

void AgwLink::decodeOne()
{
    decode(rxPort_, rxPid_, rxKind_, rxFrom_, rxTo_, rxLen_, rxData_);
}

void AgwLink::store(std::string_view bytes)
{
    storing_ = true;
    try {
        rxBuffer_.append(bytes);
        // While the owner holds too much of what was read, the frames wait here.
        while (!inputHeld_) {
            if (!pending_) {
                if (rxBuffer_.size() - rxStart_ < AGW_HEADER_SIZE)
                    break;
                const AgwFrame header = parseHeader(std::string_view(rxBuffer_).substr(rxStart_, AGW_HEADER_SIZE));
                if (header.dataLen > MAX_RECEIVED_DATA) {
                    breakLink("frame length " + std::to_string(header.dataLen) + " above " +
                              std::to_string(MAX_RECEIVED_DATA));
                    break;
                }
                rxStart_ += AGW_HEADER_SIZE;
                rxData_.clear();
                rxPort_ = static_cast<RadioPort>(header.wirePort + 1);
                rxKind_ = header.kind;
                rxPid_ = header.pid;
                rxFrom_ = header.callFrom;
                rxTo_ = header.callTo;
                rxLen_ = static_cast<int32_t>(header.dataLen);
                if (rxLen_ == 0) {
                    decodeOne();
                    continue;
                }
            }
            if (!fragFrame())
                break;
        }
        if (rxStart_ > 0) {
            rxBuffer_.erase(0, rxStart_);
            rxStart_ = 0;
        }
    } catch (...) {
        writeLog(1, "{L2} Exception on module Store");
    }
    storing_ = false;
}

bool AgwLink::fragFrame()
{
    try {
        if (rxBuffer_.size() - rxStart_ < static_cast<size_t>(rxLen_)) {
            pending_ = true;
            return false;
        }
        rxData_.assign(rxBuffer_, rxStart_, static_cast<size_t>(rxLen_));
        rxStart_ += static_cast<size_t>(rxLen_);
        pending_ = false;
        decodeOne();
        return true;
    } catch (...) {
        writeLog(1, "{L2} Exception on module FragFrame");
        return false;
    }
}
