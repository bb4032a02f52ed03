// The single-instance guard on an abstract Unix socket.
#include "InstanceGuard.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

InstanceGuard::InstanceGuard(std::string name) : name_(std::move(name)) {}

InstanceGuard::~InstanceGuard()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool InstanceGuard::acquire()
{
    if (fd_ >= 0)
        return true;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "single-instance guard");
    sockaddr_un where{};
    const socklen_t size = address(where);
    // Listening lets a second copy ask the kernel who holds the name.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), size) != 0 || ::listen(fd, 1) != 0) {
        int error = errno;
        ::close(fd);
        if (error == EADDRINUSE)
            return false;
        throw std::system_error(error, std::generic_category(), "single-instance guard");
    }
    fd_ = fd;
    return true;
}

socklen_t InstanceGuard::address(sockaddr_un& into) const
{
    into = sockaddr_un{};
    into.sun_family = AF_UNIX;
    // A leading NUL puts the name in the abstract namespace: no file, and it
    // vanishes with the last descriptor.
    const size_t length = std::min(name_.size(), sizeof(into.sun_path) - 1);
    std::memcpy(into.sun_path + 1, name_.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

std::string InstanceGuard::holder() const
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return "";
    sockaddr_un where{};
    const socklen_t size = address(where);
    ucred peer{};
    socklen_t length = sizeof peer;
    // The kernel gives the listener's credentials as they were at listen().
    const bool known = ::connect(fd, reinterpret_cast<const sockaddr*>(&where), size) == 0 &&
                       ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid > 0;
    ::close(fd);
    if (!known)
        return "";
    std::string text = "PID " + std::to_string(peer.pid);
    std::error_code error;
    const std::filesystem::path directory =
        std::filesystem::read_symlink("/proc/" + std::to_string(peer.pid) + "/cwd", error);
    if (!error)
        text += " in " + directory.string() + (directory.string().ends_with('/') ? "" : "/");
    return text;
}

std::string InstanceGuard::defaultName()
{
    const char* name = std::getenv("PALAVORO_INSTANCE");
    if (name != nullptr && *name != '\0')
        return name;
    return "Palavoro";
}
