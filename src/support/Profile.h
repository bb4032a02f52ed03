// INI-style ("private profile") files: sections in brackets and key=value
// lines; section and key names match without regard to case; CR LF and LF line
// ends are both read. Every call opens and closes the file.
#pragma once

#include <string>
#include <vector>

namespace Profile {

// The value of a key, or `defaultValue` when the file, section or key is missing.
// Blanks around key and value are dropped, and one pair of matching quotes
// around the value; of repeated keys the first counts. Bytes come as they are.
std::string readString(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& defaultValue);

// The key=value lines of a section in file order ("key=value", as written).
std::vector<std::string> readSection(const std::string& path, const std::string& section);

// Writes one key, keeping every other line, comment and section as it was.
// Creates the section (and the file) when missing. False when it cannot write,
// and, leaving the file untouched, when the value holds CR, LF or NUL or the
// section or key could not be read back as that one name.
bool writeString(const std::string& path, const std::string& section, const std::string& key, const std::string& value);

bool fileExists(const std::string& path);

} // namespace Profile
