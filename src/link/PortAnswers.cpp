// The engine's answers about its radio ports: the port list ("G"), a port's
// parameters ("g") and its heard list ("H").
#include "link/AgwLink.h"

#include "support/HexStr.h"

#include <string>

namespace {

constexpr uint32_t PORT_POLL_INTERVAL = 60000;
constexpr size_t PARAM_ANSWER_SIZE = 11;

bool isPortRecord(RadioPort port)
{
    return port >= 1 && port <= MAX_PORTS;
}

} // namespace

void AgwLink::parsePortList(const std::string& data)
{
    try {
        std::string rest = data;
        const std::string count = nextField(rest, ';');
        if (!isNumeric(count))
            return;
        portCount_ = strToInt(count);

        // Only 16 port records exist: ports announced beyond them are neither stored nor asked about.
        const int32_t listed = portCount_ < MAX_PORTS ? portCount_ : MAX_PORTS;
        for (int32_t p = 1; p <= listed; ++p) {
            EnginePort& record = ports_[p];
            const std::string number = std::to_string(p);
            record.portName = cutAtNul(nextField(rest, ';'));
            writeLog(5, "{L2} <ParsePort> Port(" + number + ") " + record.portName);
            if (upperStr(record.portName).find("LOOPBACK") != std::string::npos) {
                loopBack_ = 1;
                loopBackPort_ = p;
                writeLog(5, "{L2} <ParsePort> Port " + number + " detected as a LoopBack");
            }
            record.listed = 1;
            record.heard.fill(std::string());
            const auto port = static_cast<uint8_t>(p);
            write(port, 0, 'H', "", "", "");
            write(port, 0, 'g', "", "", "");
            write(port, 0, 'y', "", "", "");
        }

        if (portPolling_) {
            if (!portTimer_) {
                portTimer_ = timers_.createTimer();
                portTimer_->onTimer = [this] { portTimerTick(); };
            }
            portTimer_->setEnabled(false);
            portTimer_->setInterval(PORT_POLL_INTERVAL);
            portTimer_->setEnabled(true);
        }
    } catch (...) {
        writeLog(1, "{L2} Exception on module ParsePort");
    }
}

void AgwLink::parseParam(RadioPort radioPort, const std::string& data)
{
    try {
        // Too short to hold the parameters and their value: ignored like the other short fixed-layout answers.
        if (!isPortRecord(radioPort) || data.size() < PARAM_ANSWER_SIZE)
            return;
        EnginePort& record = ports_[radioPort];
        for (size_t i = 0; i < record.params.size(); ++i)
            record.params[i] = static_cast<uint8_t>(data[i]);
        auto byte = [&data](size_t i) { return static_cast<int32_t>(static_cast<uint8_t>(data[i])); };
        record.paramValue = byte(8) + 256 * byte(9) + 65536 * byte(10);
    } catch (...) {
        writeLog(1, "{L2} Exception on module ParseParam");
    }
}

void AgwLink::parseHeard(RadioPort radioPort, const std::string& data)
{
    try {
        if (!isPortRecord(radioPort))
            return;
        std::string rest = data;
        const std::string entry = nextField(rest, '\0');
        for (std::string& slot : ports_[radioPort].heard) {
            if (slot.empty()) {
                slot = entry;
                return;
            }
        }
    } catch (...) {
        writeLog(1, "{L2} Exception on module ParseHeard");
    }
}
