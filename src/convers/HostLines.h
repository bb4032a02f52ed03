// The host protocol's lines: splitting a byte stream into lines, finding the
// command in a line, and making a neighbour's words fit to show a station.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Splits what a neighbour sends into lines. CR, LF, CR LF and LF CR all end a
// line (the two families send different ends); empty lines are skipped.
class LineSplitter {
public:
    static constexpr size_t MAX_LINE = 2048;

    // The lines the bytes complete; false when a line grew past MAX_LINE
    // without an end (the stream is then not to be trusted any further).
    bool feed(std::string_view bytes, std::vector<std::string>& lines);

private:
    std::string held_;
};

enum class HostCommand { Host, User, Cmsg, Umsg, Ping, Pong, Topi, Dest, Invi, Away, Rout, Other };

struct HostLine {
    HostCommand command = HostCommand::Other;
    std::string word; // the full command word, lower case
    std::string args; // everything after the word and its blank
};

// The command of a line: "/" 0xFF 0x80, the word and its arguments; junk before
// the prefix is skipped. The word is lower-cased and may be any prefix unique
// in the table. None for a line without the prefix or with an unknown word.
std::optional<HostLine> parseHostLine(std::string_view line);

// The prefix every host command starts with.
inline constexpr std::string_view HOST_PREFIX{"/\xff\x80", 3};

// The text without CR, LF or any other control byte, for stations' eyes and
// for the lines we pass on to other neighbours.
std::string printable(std::string_view text);

// A station's text as one host line: without its CR and LF.
std::string oneLine(std::string_view text);

// Lower-cases ASCII letters only: names on the network are compared this way.
std::string lowerAscii(std::string_view text);

// A host name as the network allows it: 4 to 10 characters from [0-9A-Za-z.-],
// at least one of them a letter.
bool isValidHostName(std::string_view name);

// A number field, none when the field is not a whole number that fits.
std::optional<int64_t> parseNumber(std::string_view text);
