// The single-instance guard on an abstract Unix socket.
#include "InstanceGuard.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace {

struct Address {
    sockaddr_un address{};
    socklen_t size = 0;
};

Address abstractAddress(const std::string& name)
{
    Address result;
    result.address.sun_family = AF_UNIX;
    // A leading NUL puts the name in the abstract namespace: no file, and it
    // vanishes with the last descriptor.
    size_t length = std::min(name.size(), sizeof(result.address.sun_path) - 1);
    std::memcpy(result.address.sun_path + 1, name.data(), length);
    result.size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    return result;
}

} // namespace

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
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "single-instance guard");
    Address address = abstractAddress(name_);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address.address), address.size) != 0 || ::listen(fd, 16) != 0) {
        int error = errno;
        ::close(fd);
        if (error == EADDRINUSE) {
            holder_ = describeHolder();
            return false;
        }
        throw std::system_error(error, std::generic_category(), "single-instance guard");
    }
    fd_ = fd;
    return true;
}

void InstanceGuard::turnAway()
{
    for (int caller; fd_ >= 0 && (caller = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        ::close(caller);
}

std::string InstanceGuard::describeHolder() const
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    // The kernel gives a connection the credentials of whoever listens.
    Address address = abstractAddress(name_);
    ucred credentials{};
    socklen_t size = sizeof credentials;
    bool known = ::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.size) == 0 &&
                 ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.pid > 0;
    ::close(fd);
    if (!known)
        return "";
    std::string text = "PID " + std::to_string(credentials.pid);
    std::array<char, 4096> directory{};
    std::string link = "/proc/" + std::to_string(credentials.pid) + "/cwd";
    ssize_t length = ::readlink(link.c_str(), directory.data(), directory.size());
    if (length > 0 && static_cast<size_t>(length) < directory.size())
        text += " in " + std::string(directory.data(), static_cast<size_t>(length));
    return text;
}

std::string InstanceGuard::defaultName()
{
    const char* name = std::getenv("PALAVORO_INSTANCE");
    if (name != nullptr && *name != '\0')
        return name;
    return "Palavoro";
}
