// The listener on a plain non-blocking socket: accept4 in a loop until the
// backlog is empty, each connection adopted by a QtClientSocket.
#include "QtListenSocket.h"

#include "QtClientSocket.h"

#include <QPointer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int BACKLOG = 64;
// Connections taken per notification; the rest wait for the next turn, so
// that a crowd of dialers cannot hold the loop.
constexpr int ACCEPTS_PER_TURN = 64;
// When not even the reserve descriptor helps, the listener rests this long.
constexpr int PAUSE_MS = 1000;

int openSpare()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// A v4-mapped IPv6 peer is named by its IPv4 address, as the link table writes it.
std::string numericAddress(const sockaddr_storage& peer)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr))
            ::inet_ntop(AF_INET, in6.sin6_addr.s6_addr + 12, text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    return text;
}

} // namespace

void QtListenSocket::LaterDeleter::operator()(QSocketNotifier* notifier) const
{
    notifier->setEnabled(false);
    notifier->disconnect();
    notifier->deleteLater();
}

QtListenSocket::QtListenSocket()
{
    resume_.setSingleShot(true);
    QObject::connect(&resume_, &QTimer::timeout, &turn_, [this] {
        if (spare_ < 0)
            spare_ = openSpare();
        if (notifier_)
            notifier_->setEnabled(true);
    });
}

QtListenSocket::~QtListenSocket()
{
    close();
}

bool QtListenSocket::listen(const std::string& address, uint32_t port, std::string& error)
{
    close();
    if (port > 65535) {
        error = "Port " + std::to_string(port) + " is out of range";
        return false;
    }
    sockaddr_storage storage{};
    socklen_t size = 0;
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        size = sizeof *in;
    } else if (::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        size = sizeof *in6;
    } else {
        error = "'" + address + "' is not a numeric address";
        return false;
    }
    fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&storage), size) != 0 || ::listen(fd_, BACKLOG) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &size) != 0) {
        error = std::strerror(errno);
        close();
        return false;
    }
    port_ = ntohs(storage.ss_family == AF_INET ? in->sin_port : in6->sin6_port);
    spare_ = openSpare();
    notifier_.reset(new QSocketNotifier(fd_, QSocketNotifier::Read));
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { acceptAll(); });
    return true;
}

void QtListenSocket::acceptAll()
{
    for (int i = 0; i < ACCEPTS_PER_TURN && fd_ >= 0; ++i) {
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            auto socket = std::make_unique<QtClientSocket>(fd);
            // The handler may close or destroy this listener.
            const QPointer<QObject> alive(&turn_);
            if (onAccept)
                onAccept(std::move(socket), numericAddress(peer));
            if (!alive)
                return;
        } else if (errno == EMFILE || errno == ENFILE) {
            if (!refuseOne())
                return;
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            pause();
            return;
        } else if (errno != EINTR && errno != ECONNABORTED) {
            return;
        }
    }
}

bool QtListenSocket::refuseOne()
{
    if (spare_ >= 0) {
        ::close(spare_);
        spare_ = -1;
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        // At the limit the system says EMFILE before it looks at the backlog.
        const bool drained = fd < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (fd >= 0)
            ::close(fd);
        spare_ = openSpare();
        if (spare_ >= 0 && (fd >= 0 || drained))
            return fd >= 0;
    }
    pause();
    return false;
}

// Reached when the process has no descriptor left: the sanitizer's check of
// the objects' types would itself need descriptors and report them all as bad.
__attribute__((no_sanitize("vptr"))) void QtListenSocket::pause()
{
    if (notifier_)
        notifier_->setEnabled(false);
    resume_.start(PAUSE_MS);
}

void QtListenSocket::close()
{
    resume_.stop();
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    port_ = 0;
    if (spare_ >= 0)
        ::close(spare_);
    spare_ = -1;
}
