// Line splitting and command words of the host protocol.
#include "convers/HostLines.h"

#include <array>
#include <charconv>
#include <utility>

namespace {

struct CommandName {
    const char* word;
    HostCommand command;
};

// Every word a neighbour may send; the words we do not act on are here so that
// their prefixes do not make a word we know look unique.
constexpr std::array COMMANDS = {
    CommandName{"away", HostCommand::Away}, CommandName{"cmsg", HostCommand::Cmsg},
    CommandName{"dest", HostCommand::Dest},  CommandName{"host", HostCommand::Host},
    CommandName{"invi", HostCommand::Invi},  CommandName{"link", HostCommand::Other},
    CommandName{"mode", HostCommand::Other}, CommandName{"oper", HostCommand::Other},
    CommandName{"ping", HostCommand::Ping},  CommandName{"pong", HostCommand::Pong},
    CommandName{"rout", HostCommand::Rout},  CommandName{"topi", HostCommand::Topi},
    CommandName{"uadd", HostCommand::Other}, CommandName{"udat", HostCommand::Other},
    CommandName{"umsg", HostCommand::Umsg},  CommandName{"user", HostCommand::User},
};

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

bool LineSplitter::feed(std::string_view bytes, std::vector<std::string>& lines)
{
    for (char c : bytes) {
        if (c == '\r' || c == '\n') {
            if (!held_.empty())
                lines.push_back(std::exchange(held_, {}));
            continue;
        }
        if (held_.size() >= MAX_LINE)
            return false;
        held_ += c;
    }
    return true;
}

std::optional<HostLine> parseHostLine(std::string_view line)
{
    const size_t prefix = line.find(HOST_PREFIX);
    if (prefix == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = line.substr(prefix + HOST_PREFIX.size());
    const size_t blank = rest.find(' ');
    const std::string typed = lowerAscii(rest.substr(0, blank));
    if (typed.empty())
        return std::nullopt;
    const CommandName* match = nullptr;
    for (const CommandName& name : COMMANDS) {
        if (std::string_view(name.word).starts_with(typed)) {
            if (match != nullptr)
                return std::nullopt; // not unique
            match = &name;
        }
    }
    if (match == nullptr)
        return std::nullopt;
    HostLine parsed;
    parsed.command = match->command;
    parsed.word = match->word;
    if (blank != std::string_view::npos)
        parsed.args = rest.substr(blank + 1);
    return parsed;
}

std::string printable(std::string_view text)
{
    // Bytes 0x80-0x9F stay: they are part of UTF-8 characters and of the
    // code pages packet users type in.
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
            out += c;
    return out;
}

std::string oneLine(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n')
            out += c;
    return out;
}

std::string lowerAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool isValidHostName(std::string_view name)
{
    if (name.size() < 4 || name.size() > 10)
        return false;
    bool letter = false;
    for (char c : name) {
        if (!isLetter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '-')
            return false;
        letter = letter || isLetter(c);
    }
    return letter;
}

std::optional<int64_t> parseNumber(std::string_view text)
{
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || ptr != end || text.empty())
        return std::nullopt;
    return value;
}
