// The control socket, both sides.
#include "ControlSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace {

// The socket is named relative to the station directory, which is the
// current one: a long directory path cannot overflow sun_path that way.
sockaddr_un socketAddress()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, CONTROL_SOCKET, sizeof address.sun_path - 1);
    return address;
}

std::string systemText(int code)
{
    return std::strerror(code);
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// One line from the terminal with its echo off, or from standard input
// when that is no terminal (a script); false at its end.
bool readSecret(const char* prompt, std::string& line)
{
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal) {
        std::cerr << prompt << std::flush;
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return read;
}

// `passwd CALL` takes the password from the terminal, never from the command
// line, where every user of the machine could read it.
bool addPassword(std::vector<std::string>& arguments)
{
    if (arguments.size() != 2 || arguments[0] != "passwd" || arguments[1].starts_with("-"))
        return true;
    std::string password;
    if (!readSecret("Password: ", password) || password.empty()) {
        std::cerr << "palavoro: no password given, nothing changed" << std::endl;
        return false;
    }
    if (::isatty(STDIN_FILENO) != 0) {
        std::string again;
        if (!readSecret("Again: ", again) || again != password) {
            std::cerr << "palavoro: the two passwords differ, nothing changed" << std::endl;
            return false;
        }
    }
    arguments.push_back(std::move(password));
    return true;
}

} // namespace

int runControl(std::vector<std::string> arguments)
{
    if (!arguments.empty() && arguments[0] == "passwd" && arguments.size() == 3 && !arguments[1].starts_with("-")) {
        std::cerr << "palavoro: ctl passwd CALL reads the password; it is never given on the command line" << std::endl;
        return 1;
    }
    if (!addPassword(arguments))
        return 1;
    const std::string where = (std::filesystem::current_path() / CONTROL_SOCKET).string();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = socketAddress();
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = errno;
        if (fd >= 0)
            ::close(fd);
        // Permission denied is a refusal by the file's owner, not an absent server.
        if (code == EACCES || code == EPERM) {
            std::cerr << "palavoro: " << where << ": " << systemText(code) << std::endl;
            return 1;
        }
        std::cerr << "palavoro: no server answers at " << where << " (" << systemText(code) << ")" << std::endl;
        return 2;
    }
    std::string request;
    for (const std::string& argument : arguments)
        request.append(argument).append(1, '\0');
    std::string answer;
    if (writeAll(fd, request) && ::shutdown(fd, SHUT_WR) == 0) {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                answer.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    if (answer.empty() || (answer[0] != '0' && answer[0] != '1')) {
        std::cerr << "palavoro: the server at " << where << " gave no answer" << std::endl;
        return 2;
    }
    const bool done = answer[0] == '0';
    (done ? std::cout : std::cerr) << answer.substr(1) << std::flush;
    return done ? 0 : 1;
}

ControlServer::ControlServer(Handler handler) : handler_(std::move(handler)) {}

ControlServer::~ControlServer()
{
    while (!clients_.empty())
        drop(clients_.front());
    if (fd_ >= 0) {
        acceptor_.reset();
        ::close(fd_);
        ::unlink(CONTROL_SOCKET);
    }
}

bool ControlServer::listen(std::string& error)
{
    // One server per machine holds the instance guard: a socket file here
    // is what a server that died left behind.
    struct stat info {};
    if (::lstat(CONTROL_SOCKET, &info) == 0 && S_ISSOCK(info.st_mode))
        ::unlink(CONTROL_SOCKET);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un address = socketAddress();
    // Mode 0660 once bound: the group may ask, nobody else (the unit's umask
    // would otherwise leave the group out).
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(CONTROL_SOCKET, 0660) != 0 || ::listen(fd_, MAX_CLIENTS) != 0) {
        error = systemText(errno);
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        return false;
    }
    acceptor_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(acceptor_.get(), &QSocketNotifier::activated, this, [this] { acceptOne(); });
    return true;
}

void ControlServer::acceptOne()
{
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (static_cast<int>(clients_.size()) >= MAX_CLIENTS ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        ::close(fd);
        return;
    }
    Client& client = clients_.emplace_back();
    client.fd = fd;
    client.uid = credentials.uid;
    client.reader = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    Client* c = &client;
    QObject::connect(client.reader.get(), &QSocketNotifier::activated, this, [this, c] { readFrom(*c); });
    client.deadline.setSingleShot(true);
    QObject::connect(&client.deadline, &QTimer::timeout, this, [this, c] { drop(*c); });
    client.deadline.start(REQUEST_WAIT_MS);
}

void ControlServer::readFrom(Client& client)
{
    char chunk[4096];
    const ssize_t n = ::read(client.fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n < 0 || client.request.size() + static_cast<size_t>(std::max<ssize_t>(n, 0)) > MAX_REQUEST) {
        drop(client);
        return;
    }
    if (n > 0) {
        client.request.append(chunk, static_cast<size_t>(n));
        return;
    }
    finish(client);
}

void ControlServer::finish(Client& client)
{
    client.reader->setEnabled(false);
    std::vector<std::string> arguments;
    std::string_view rest = client.request;
    while (!rest.empty()) {
        const size_t end = rest.find('\0');
        arguments.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    ControlReply reply;
    if (arguments.empty())
        reply = {false, "no verb\n"};
    else
        reply = handler_(arguments, client.uid);
    // The answer is small; a caller that does not read it loses it.
    writeAll(client.fd, std::string(1, reply.done ? '0' : '1') + reply.text);
    drop(client);
}

void ControlServer::drop(Client& client)
{
    client.reader.reset();
    client.deadline.stop();
    ::close(client.fd);
    for (auto it = clients_.begin(); it != clients_.end(); ++it)
        if (&*it == &client) {
            clients_.erase(it);
            return;
        }
}
