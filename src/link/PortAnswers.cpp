#include "link/AGWL2.h"

#include "support/HexStr.h"

#include <string>

namespace {

constexpr uint32_t PORT_POLL_INTERVAL = 60000;
constexpr size_t PARAM_ANSWER_SIZE = 11;

bool IsPortRecord(uint8_t port)
{
    return port >= 1 && port <= MAX_PORTS;
}

} // namespace

void TL2::ParsePort(const std::string& Data)
{
    try {
        std::string rest = Data;
        const std::string count = NextField(rest, ';');
        if (!IsNumeric(count))
            return;
        PortCount = StrToInt(count);

        // Only 16 port records exist: ports announced beyond them are neither stored nor asked about.
        const int32_t listed = PortCount < MAX_PORTS ? PortCount : MAX_PORTS;
        for (int32_t p = 1; p <= listed; ++p) {
            TPortRecord& record = Ports[p];
            const std::string number = std::to_string(p);
            record.PortName = CutAtNul(NextField(rest, ';'));
            WriteLog(5, "{L2} <ParsePort> Port(" + number + ") " + record.PortName);
            if (UpperStr(record.PortName).find("LOOPBACK") != std::string::npos) {
                LoopBack = 1;
                LoopBackPort = p;
                WriteLog(5, "{L2} <ParsePort> Port " + number + " detected as a LoopBack");
            }
            record.Listed = 1;
            record.Heard.fill(std::string());
            const auto port = static_cast<uint8_t>(p);
            Write(port, 0, 'H', "", "", "");
            Write(port, 0, 'g', "", "", "");
            Write(port, 0, 'y', "", "", "");
        }

        if (PortPolling) {
            if (!PortTimer) {
                PortTimer = timers_.CreateTimer();
                PortTimer->OnTimer = [this] { PortTimerTick(); };
            }
            PortTimer->SetEnabled(false);
            PortTimer->SetInterval(PORT_POLL_INTERVAL);
            PortTimer->SetEnabled(true);
        }
    } catch (...) {
        WriteLog(1, "{L2} Exception on module ParsePort");
    }
}

void TL2::ParseParam(uint8_t Port_, const std::string& Data)
{
    try {
        // Too short to hold the parameters and their value: ignored like the other short fixed-layout answers.
        if (!IsPortRecord(Port_) || Data.size() < PARAM_ANSWER_SIZE)
            return;
        TPortRecord& record = Ports[Port_];
        for (size_t i = 0; i < record.Params.size(); ++i)
            record.Params[i] = static_cast<uint8_t>(Data[i]);
        auto byte = [&Data](size_t i) { return static_cast<int32_t>(static_cast<uint8_t>(Data[i])); };
        record.ParamValue = byte(8) + 256 * byte(9) + 65536 * byte(10);
    } catch (...) {
        WriteLog(1, "{L2} Exception on module ParseParam");
    }
}

void TL2::ParseHeard(uint8_t Port_, const std::string& Data)
{
    try {
        if (!IsPortRecord(Port_))
            return;
        std::string rest = Data;
        const std::string entry = NextField(rest, '\0');
        for (std::string& slot : Ports[Port_].Heard) {
            if (slot.empty()) {
                slot = entry;
                return;
            }
        }
    } catch (...) {
        WriteLog(1, "{L2} Exception on module ParseHeard");
    }
}
