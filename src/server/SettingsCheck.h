// The operator's check of Palavoro.INI before a start: every problem the file
// has, each as one line, where start-up would stop at the first bad number
// and take the rest as written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// An AX.25 callsign: 1 to 6 letters or digits, then optionally "-" and an SSID 0 to 15.
bool isValidCallSign(std::string_view call);

// The problems of the INI file at `iniPath`, in file order within each kind;
// none when the server would start with it as meant.
std::vector<std::string> checkSettings(const std::string& iniPath);
