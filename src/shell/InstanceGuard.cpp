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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A leading NUL puts the name in the abstract namespace: no file, and it
    // vanishes with the last descriptor.
    size_t length = std::min(name_.size(), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, name_.data(), length);
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        int error = errno;
        ::close(fd);
        if (error == EADDRINUSE)
            return false;
        throw std::system_error(error, std::generic_category(), "single-instance guard");
    }
    fd_ = fd;
    return true;
}

std::string InstanceGuard::defaultName()
{
    const char* name = std::getenv("PALAVORO_INSTANCE");
    if (name != nullptr && *name != '\0')
        return name;
    return "Palavoro";
}
