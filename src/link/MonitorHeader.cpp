// The header text of a monitored frame ("1:Fm N0A To N0B <I R0 S1 pid=F0 Len=5>") cut into its fields.
#include "link/AgwLink.h"

#include "support/HexStr.h"

#include <string>

namespace {

bool isOneOf(const std::string& value, std::initializer_list<const char*> choices)
{
    for (const char* choice : choices)
        if (value == choice)
            return true;
    return false;
}

// A decimal word as a number, 0 when it is not plain digits. Digits that do not
// fit 32 bits throw, which sends the whole header down the failure path.
int32_t numberOrZero(const std::string& word)
{
    return isNumeric(word) ? strToInt(word) : 0;
}

} // namespace

MonitorHeader AgwLink::getHeader(const std::string& data)
{
    MonitorHeader h;
    try {
        writeLog(4, "{L2} GetHeader ->" + data);
        writeHex(5, data);
        std::string w = data;

        nextField(w, ':');
        nextWord(w);
        h.from = nextWord(w);
        nextWord(w);
        h.to = nextWord(w);

        std::string v = nextField(w, '<');
        if (upperStr(v).find("VIA ") != std::string::npos) {
            nextWord(v);
            h.via = v;
            if (!h.via.empty())
                h.via = replaceChar(removeChar(h.via, ' '), ',', " ");
        }

        h.frameType = nextWord(w);
        const std::string& type = h.frameType;
        if (isOneOf(type, {"UA", "FRMR", "DISC", "DM", "SABM"}))
            return h;

        if (isOneOf(type, {"RR", "RNR", "REJ"})) {
            std::string t = nextWord(w);
            if (!t.empty() && t[0] == 'P')
                t = nextWord(w);
            if (t.size() >= 2 && t[0] == 'R' && t[1] >= '0' && t[1] <= '9')
                h.nr = t[1] - '0';
            return h;
        }

        if (type == "UI") {
            nextField(w, '=');
            h.pid = nextField(w, '>');
            std::string lengthText = "0";
            if (h.pid.find("Len=") != std::string::npos) {
                std::string rest = h.pid;
                h.pid = nextWord(rest);
                nextField(rest, '=');
                lengthText = nextWord(rest);
            }
            h.len = numberOrZero(lengthText);
        }

        if (type == "I") {
            // AGWPE writes "R<n> S<n>", Dire Wolf "S<n> R<n>"; reading in a fixed order would
            // run past the header into the information field and lose it.
            if (!w.empty() && w[0] == 'S') {
                nextField(w, 'S');
                h.ns = numberOrZero(nextWord(w));
                nextField(w, 'R');
                h.nr = numberOrZero(nextWord(w));
            } else {
                nextField(w, 'R');
                h.nr = numberOrZero(nextWord(w));
                nextField(w, 'S');
                h.ns = numberOrZero(nextWord(w));
            }
            nextField(w, '=');
            h.pid = nextWord(w);
            nextField(w, '=');
            h.len = numberOrZero(nextWord(w));
        }

        if (!w.empty()) {
            nextField(w, '\r');
            h.info = w;
        }
        if (h.info.size() > 256)
            h.info.resize(256);
        if (type != "UI" && type != "I")
            h.info.clear();

        if (h.pid == "CD" || h.pid == "CC") {
            std::string line = nextField(h.info, '\r');
            std::string head = nextField(line, '\n');
            h.info = head + "\r" + nextField(line, '\n');
        } else if (h.pid == "CF") {
            std::string line = nextField(h.info, '\r');
            h.info = nextField(line, '\n');
        }

        if (!h.info.empty() && h.info.back() == '\0')
            h.info.pop_back();
        if ((type == "I" || type == "UI") && h.info.empty()) {
            h.info.assign(1, '\r');
            h.len = 1;
        }
    } catch (...) {
        writeLog(1, " Exception on module GetHeader");
        h.info.assign(1, '\r');
        h.len = 1;
    }
    return h;
}
