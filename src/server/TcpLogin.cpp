// The login and the byte stream of a user over TCP.
#include "server/TcpLogin.h"

#include "support/HexStr.h"

#include <algorithm>
#include <utility>

namespace {

constexpr unsigned char IAC = 255;
constexpr unsigned char SB = 250;
constexpr unsigned char SE = 240;
constexpr unsigned char WILL = 251;
constexpr unsigned char DONT = 254;

} // namespace

void TcpLogin::start()
{
    send(CALLSIGN_PROMPT);
}

std::string TcpLogin::clean(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (telnet_) {
        case Telnet::Data:
            if (byte == IAC) {
                telnet_ = Telnet::Iac;
                continue;
            }
            break;
        case Telnet::Iac:
            telnet_ = byte >= WILL && byte <= DONT ? Telnet::Option : byte == SB ? Telnet::Sub : Telnet::Data;
            if (byte != IAC)
                continue;
            break; // IAC IAC: one 0xFF of text
        case Telnet::Option:
            telnet_ = Telnet::Data;
            continue;
        case Telnet::Sub:
            if (byte == IAC)
                telnet_ = Telnet::SubIac;
            continue;
        case Telnet::SubIac:
            telnet_ = byte == SE ? Telnet::Data : Telnet::Sub;
            continue;
        }
        telnet_ = Telnet::Data;
        // A telnet client ends lines in CR LF or CR NUL, nc in LF: each is one CR.
        const bool follows = afterCr_;
        afterCr_ = c == '\r';
        if (follows && (c == '\n' || c == '\0'))
            continue;
        text += c == '\n' ? '\r' : c;
    }
    return text;
}

void TcpLogin::receive(std::string_view bytes)
{
    std::string text = clean(bytes);
    std::string_view rest = text;
    while (!rest.empty() && (stage_ == Stage::Callsign || stage_ == Stage::Password)) {
        const size_t end = rest.find('\r');
        const std::string_view part = rest.substr(0, end);
        line_.append(part.substr(0, MAX_LOGIN_LINE - std::min(line_.size(), MAX_LOGIN_LINE)));
        if (end == std::string_view::npos)
            return;
        rest.remove_prefix(end + 1);
        loginLine(std::exchange(line_, {}));
    }
    if (stage_ == Stage::In && !rest.empty() && onText)
        onText(rest);
}

void TcpLogin::loginLine(std::string line)
{
    if (stage_ == Stage::Callsign) {
        // An empty line asks again.
        if (line.empty()) {
            send(CALLSIGN_PROMPT);
            return;
        }
        call_ = upperStr(line);
        stage_ = Stage::Password;
        std::string prompt(ECHO_OFF);
        prompt += PASSWORD_PROMPT;
        send(prompt);
        return;
    }
    // The user's line end was not echoed.
    std::string after(ECHO_ON);
    after += "\r\n";
    send(after);
    if (onLogin && onLogin(call_, line)) {
        stage_ = Stage::In;
        return;
    }
    const bool last = ++failures_ >= TRIES;
    stage_ = last ? Stage::Out : Stage::Callsign;
    send(last ? std::string(INCORRECT) : std::string(INCORRECT) + CALLSIGN_PROMPT);
    if (onFailed)
        onFailed(call_, last);
}

std::string TcpLogin::forTerminal(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 16 + 2);
    for (char c : text) {
        out += c;
        if (c == '\r')
            out += '\n';
        else if (static_cast<unsigned char>(c) == IAC)
            out += c;
    }
    return out;
}
