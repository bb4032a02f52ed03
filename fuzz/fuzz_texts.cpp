// Any canned text, sent to stations: at connect, as help, a subject, the
// name reminder, the time limit, goodbye, and to stations refused as busy,
// on a disabled port or twice connected. Every frame must be well-formed, and
// a subject must reach the station line by line as the file has it.
//
// Input: a byte whose bits 0-1 choose how the subject file is spelled (and
// whether another spelling stands beside it), then the text.
#include "FuzzSupport.h"

#include <array>
#include <filesystem>
#include <string>

namespace {

constexpr std::array<const char*, 8> CANNED{"PALAVORO.INF", "HELP.INF", "GOODBYE.INF", "NAME.INF",
                                            "INACTIVE.INF", "BUSY.INF", "BADPORT.INF", "ERROR.INF"};
// The subject's file, and a decoy spelled otherwise (if any).
constexpr std::array<std::array<const char*, 2>, 4> SUBJECT{
    {{"SUBJ.INF", nullptr}, {"subj.inf", nullptr}, {"Subj.Inf", "subj.inf"}, {"SUBJ.INF", "Subj.inf"}}};

const std::string& stationDir(uint8_t variant)
{
    static const std::array<std::string, 4> dirs = [] {
        std::array<std::string, 4> made;
        for (size_t i = 0; i < made.size(); ++i) {
            made[i] = fuzz::workDir().file("texts-" + std::to_string(i)) + "/";
            std::filesystem::create_directories(made[i] + "TEXT");
            writeFile(made[i] + "Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\nDEBUG=NOT\r\nTIMEOUT=60000\r\n"
                                                "DISCWAIT=5000\r\nDISABLE=2\r\nFORCENAME=YES\r\n");
            if (SUBJECT[i][1] != nullptr)
                writeFile(made[i] + "TEXT/" + SUBJECT[i][1], "decoy\r\n");
            // Every canned text is the subject's file under another name:
            // one file written per input instead of nine.
            writeFile(made[i] + "TEXT/" + SUBJECT[i][0], "");
            for (const char* name : CANNED)
                std::filesystem::create_symlink(SUBJECT[i][0], made[i] + "TEXT/" + name);
        }
        return made;
    }();
    return dirs[variant & 3];
}

// The lines a station receives for a text file: each line ends in CR (the
// file's CR LF, lone CR or lone LF), a last line without one gets it, and
// Ctrl-Z ends the text.
std::string linesOf(std::string_view text)
{
    text = text.substr(0, text.find('\x1a'));
    std::string lines;
    size_t start = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\r' && text[at] != '\n')
            continue;
        lines.append(text.substr(start, at - start)).push_back('\r');
        if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n')
            ++at;
        start = at + 1;
    }
    if (start < text.size())
        lines.append(text.substr(start)).push_back('\r');
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t variant = input.byte();
    const std::string& dir = stationDir(variant);
    const std::string text(input.rest());
    writeFile(dir + "TEXT/" + SUBJECT[variant & 3][0], text);

    fuzz::Rig rig(dir);
    fuzz::require(rig.start());
    rig.acceptConnect();
    rig.connectStation(1, "N0BUSY"); // before the callsign is registered
    rig.check();
    rig.engineUp();
    rig.connectStation(1, "N0AA");
    rig.connectStation(2, "N0BB"); // a disabled port
    rig.connectStation(1, "N0AA"); // twice
    rig.check();

    for (const char* line : {"hello\r", "/H\r", "/NA Ann\r"}) {
        rig.line(1, "N0AA", line);
        rig.check();
    }
    rig.line(1, "N0AA", "/I SUBJ\r");
    std::string received;
    for (const fuzz::Frame& frame : rig.takeSent())
        if (frame.kind == 'D' && frame.to == "N0AA")
            received += frame.data;
    const std::string expected = linesOf(text);
    fuzz::require(received.compare(0, expected.size(), expected) == 0);
    // Goodbye; the engine has sent it all, disconnects and reports it.
    rig.line(1, "N0AA", "/B\r");
    rig.send(0, 'Y', 0, "N0SRV", "N0AA", std::string(4, '\0'));
    rig.disconnectStation(1, "N0AA");
    rig.check();
    rig.connectStation(1, "N0CC");
    rig.check();
    rig.clock.advance(60000); // N0CC's time limit
    rig.check();
    rig.checkStatus();
    return 0;
}
