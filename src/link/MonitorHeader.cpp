#include "link/AGWL2.h"

#include "support/HexStr.h"

#include <string>

namespace {

bool IsOneOf(const std::string& value, std::initializer_list<const char*> choices)
{
    for (const char* choice : choices)
        if (value == choice)
            return true;
    return false;
}

// A decimal word as a number, 0 when it is not plain digits. Digits that do not
// fit 32 bits throw, which sends the whole header down the failure path.
int32_t NumberOrZero(const std::string& word)
{
    return IsNumeric(word) ? StrToInt(word) : 0;
}

} // namespace

TMonitorHeader TL2::GetHeader(const std::string& Data)
{
    TMonitorHeader h;
    try {
        WriteLog(4, "{L2} GetHeader ->" + Data);
        WriteHex(5, Data);
        std::string w = Data;

        NextField(w, ':');
        NextWord(w);
        h.From = NextWord(w);
        NextWord(w);
        h.To = NextWord(w);

        std::string v = NextField(w, '<');
        if (UpperStr(v).find("VIA ") != std::string::npos) {
            NextWord(v);
            h.Via = v;
            if (!h.Via.empty())
                h.Via = ReplaceChar(RemoveChar(h.Via, ' '), ',', " ");
        }

        h.FrameType = NextWord(w);
        const std::string& type = h.FrameType;
        if (IsOneOf(type, {"UA", "FRMR", "DISC", "DM", "SABM"}))
            return h;

        if (IsOneOf(type, {"RR", "RNR", "REJ"})) {
            std::string t = NextWord(w);
            if (!t.empty() && t[0] == 'P')
                t = NextWord(w);
            if (t.size() >= 2 && t[0] == 'R' && t[1] >= '0' && t[1] <= '9')
                h.NR = t[1] - '0';
            return h;
        }

        if (type == "UI") {
            NextField(w, '=');
            h.Pid = NextField(w, '>');
            std::string lengthText = "0";
            if (h.Pid.find("Len=") != std::string::npos) {
                std::string rest = h.Pid;
                h.Pid = NextWord(rest);
                NextField(rest, '=');
                lengthText = NextWord(rest);
            }
            h.Len = NumberOrZero(lengthText);
        }

        if (type == "I") {
            // AGWPE writes "R<n> S<n>", Dire Wolf "S<n> R<n>"; reading in a fixed order would
            // run past the header into the information field and lose it.
            if (!w.empty() && w[0] == 'S') {
                NextField(w, 'S');
                h.NS = NumberOrZero(NextWord(w));
                NextField(w, 'R');
                h.NR = NumberOrZero(NextWord(w));
            } else {
                NextField(w, 'R');
                h.NR = NumberOrZero(NextWord(w));
                NextField(w, 'S');
                h.NS = NumberOrZero(NextWord(w));
            }
            NextField(w, '=');
            h.Pid = NextWord(w);
            NextField(w, '=');
            h.Len = NumberOrZero(NextWord(w));
        }

        if (!w.empty()) {
            NextField(w, '\r');
            h.Info = w;
        }
        if (h.Info.size() > 256)
            h.Info.resize(256);
        if (type != "UI" && type != "I")
            h.Info.clear();

        if (h.Pid == "CD" || h.Pid == "CC") {
            std::string line = NextField(h.Info, '\r');
            std::string head = NextField(line, '\n');
            h.Info = head + "\r" + NextField(line, '\n');
        } else if (h.Pid == "CF") {
            std::string line = NextField(h.Info, '\r');
            h.Info = NextField(line, '\n');
        }

        if (!h.Info.empty() && h.Info.back() == '\0')
            h.Info.pop_back();
        if ((type == "I" || type == "UI") && h.Info.empty()) {
            h.Info.assign(1, '\r');
            h.Len = 1;
        }
    } catch (...) {
        WriteLog(1, " Exception on module GetHeader");
        h.Info.assign(1, '\r');
        h.Len = 1;
    }
    return h;
}
