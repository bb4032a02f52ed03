// Names and personal data on any Palavoro.USR: a station connects (its entry
// is loaded), sets its name and personal data (both saved within a second);
// then the file still reads, with the new values, and every other entry as it was.
//
// Input: the file's contents.
#include "FuzzSupport.h"
#include "support/Profile.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr const char* KEY = "N0AA";

// A section's entries other than the station's own.
std::vector<std::string> others(const std::string& file, const char* section)
{
    std::vector<std::string> lines = Profile::readSection(file, section);
    std::erase_if(lines, [](const std::string& line) {
        std::string key = line.substr(0, line.find('='));
        return upperStr(key) == KEY;
    });
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string dir = [] {
        const std::string made = fuzz::workDir().file("userfile") + "/";
        std::filesystem::create_directories(made);
        writeFile(made + "Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\nDEBUG=NOT\r\nTIMEOUT=0\r\n");
        return made;
    }();
    const std::string file = dir + "Palavoro.USR";
    const std::string contents(reinterpret_cast<const char*>(data), size);
    writeFile(file, contents);
    const std::vector<std::string> users = others(file, "USERS");
    const std::vector<std::string> infos = others(file, "INFO");

    fuzz::Rig rig(dir);
    fuzz::require(rig.start());
    rig.engineUp();
    rig.connectStation(1, "N0AA-3");
    rig.check();
    for (const char* line : {"/W\r", "/NA Fuzzy Name\r", "/P Somewhere 42\r", "/W\r"}) {
        rig.line(1, "N0AA-3", line);
        rig.check();
    }
    rig.checkStatus(); // the names the file had, and the new one
    rig.clock.advance(UserFile::WRITE_DELAY);

    // Nothing after a NUL can be read back, so such a file is left alone.
    if (contents.find('\0') != std::string::npos) {
        fuzz::require(readFile(file) == contents);
        return 0;
    }
    fuzz::require(Profile::readString(file, "USERS", KEY, "") == "Fuzzy Name");
    fuzz::require(Profile::readString(file, "INFO", KEY, "") == "Somewhere 42");
    fuzz::require(others(file, "USERS") == users);
    fuzz::require(others(file, "INFO") == infos);
    return 0;
}
