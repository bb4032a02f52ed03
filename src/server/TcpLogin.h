// One user's connection over TCP as a byte stream: telnet's commands taken
// out, line ends made a packet terminal's (CR), the login (callsign, then
// password, with the client's echo off for the password), and the server's
// text made a TCP terminal's (CR LF). It does no I/O: bytes in, events and
// bytes to send out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class TcpLogin {
public:
    enum class Stage : uint8_t { Callsign, Password, In, Out };

    static constexpr int TRIES = 3;
    // A longer callsign or password line is cut here.
    static constexpr size_t MAX_LOGIN_LINE = 256;
    static constexpr const char* CALLSIGN_PROMPT = "Callsign: ";
    static constexpr const char* PASSWORD_PROMPT = "Password: ";
    static constexpr const char* INCORRECT = "Login incorrect\r\n";
    // IAC WILL ECHO: the client stops echoing (the password); IAC WONT ECHO: it echoes again.
    static constexpr std::string_view ECHO_OFF{"\xFF\xFB\x01", 3};
    static constexpr std::string_view ECHO_ON{"\xFF\xFC\x01", 3};

    // Sends the first prompt.
    void start();
    // Bytes from the user.
    void receive(std::string_view bytes);
    // The connection is going: nothing more is taken.
    void stop() { stage_ = Stage::Out; }
    Stage stage() const { return stage_; }
    int failures() const { return failures_; }

    // The server's text for the user: every CR followed by LF, and a 0xFF
    // byte doubled so that a telnet client does not take it for a command.
    static std::string forTerminal(std::string_view text);

    // Bytes to send to the user.
    std::function<void(std::string_view bytes)> onSend;
    // A callsign (upper-cased) and password were given: true lets the user in.
    std::function<bool(const std::string& call, const std::string& password)> onLogin;
    // A wrong login; `last` when it used the last try (the stage is then Out).
    std::function<void(const std::string& call, bool last)> onFailed;
    // The user's text once in, lines ending in CR.
    std::function<void(std::string_view text)> onText;

private:
    // Telnet's commands out, IAC IAC as 0xFF, and CR LF, CR NUL or LF as CR.
    std::string clean(std::string_view bytes);
    void loginLine(std::string line);
    void send(std::string_view bytes)
    {
        if (onSend)
            onSend(bytes);
    }

    enum class Telnet : uint8_t { Data, Iac, Option, Sub, SubIac };
    Telnet telnet_ = Telnet::Data;
    bool afterCr_ = false;
    Stage stage_ = Stage::Callsign;
    int failures_ = 0;
    std::string line_;
    std::string call_;
};
