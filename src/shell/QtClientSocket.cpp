// The client socket: the system's own non-blocking TCP socket, watched by
// Qt's socket notifiers. A turn of the event loop costs one poll, one recv and
// one send, nothing copied twice.
#include "QtClientSocket.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QMetaObject>
#include <QPointer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Gathered bytes beyond this go to the system at once, so that the gathering
// buffer stays this small and a burst waits in one place only.
constexpr size_t GATHER_LIMIT = 1 << 20;
// What one notification reads at most; the rest comes with the next turn.
constexpr size_t READ_CHUNK = 1 << 16;
constexpr int READ_CHUNKS_PER_TURN = 64;
// An address that neither accepts nor refuses within this gives way to the next.
constexpr int CONNECT_TIMEOUT_MS = 30000;
// The code of errors that have no system number; a handler zeroes the code to
// say it has dealt with the error, so none may be 0.
constexpr int OTHER_ERROR = 1 << 16;

std::string systemText(int code)
{
    return std::strerror(code);
}

} // namespace

void QtClientSocket::LaterDeleter::operator()(QSocketNotifier* notifier) const
{
    notifier->setEnabled(false);
    notifier->disconnect();
    notifier->deleteLater();
}

QtClientSocket::QtClientSocket()
{
    connectTimer_.setSingleShot(true);
    QObject::connect(&connectTimer_, &QTimer::timeout, &turn_, [this] {
        error_ = "Connection timed out";
        closeDescriptor();
        tryNextAddress();
    });
    // A handler that runs an event loop of its own (a dialog) does not hold
    // back what it sent before.
    if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance())
        QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, &turn_, [this] {
            writeGathered();
            reportWritten();
        });
}

QtClientSocket::QtClientSocket(int connectedDescriptor) : QtClientSocket()
{
    fd_ = connectedDescriptor;
    state_ = State::Open;
    watch();
    watchWrites(false);
}

QtClientSocket::~QtClientSocket()
{
    if (lookup_ >= 0)
        QHostInfo::abortHostLookup(lookup_);
    closeDescriptor();
}

bool QtClientSocket::notify(const std::function<void()>& handler)
{
    if (!handler)
        return true;
    // The handler may destroy this object.
    const QPointer<QObject> alive(&turn_);
    ++notifying_;
    try {
        handler();
    } catch (...) {
        if (alive)
            --notifying_;
        throw;
    }
    if (!alive)
        return false;
    if (--notifying_ == 0)
        writeGathered();
    return true;
}

void QtClientSocket::raiseError(int code)
{
    notify([this, code] {
        int handled = code;
        if (onError)
            onError(handled);
    });
}

void QtClientSocket::connectTo(const std::string& host, uint32_t port)
{
    close();
    error_.clear();
    reading_ = true;
    state_ = State::LookingUp;
    if (port > 65535) {
        error_ = "Port " + std::to_string(port) + " is out of range";
        addresses_.clear();
    } else {
        port_ = static_cast<quint16>(port);
        QHostAddress address;
        if (!address.setAddress(QString::fromStdString(host))) {
            lookup_ = QHostInfo::lookupHost(QString::fromStdString(host), &turn_,
                                            [this](const QHostInfo& info) { looked(info); });
            return;
        }
        addresses_ = {address};
    }
    // Reported from the event loop, like every other outcome of a connect.
    QMetaObject::invokeMethod(
        &turn_,
        [this] {
            if (state_ == State::LookingUp && lookup_ < 0)
                tryNextAddress();
        },
        Qt::QueuedConnection);
}

void QtClientSocket::looked(const QHostInfo& info)
{
    if (info.lookupId() != lookup_ || state_ != State::LookingUp)
        return;
    lookup_ = -1;
    addresses_ = info.addresses();
    if (info.error() != QHostInfo::NoError)
        error_ = info.errorString().toStdString();
    tryNextAddress();
}

void QtClientSocket::tryNextAddress()
{
    while (!addresses_.isEmpty()) {
        const QHostAddress address = addresses_.takeFirst();
        sockaddr_storage storage{};
        socklen_t size = 0;
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            auto* in = reinterpret_cast<sockaddr_in*>(&storage);
            in->sin_family = AF_INET;
            in->sin_port = htons(port_);
            in->sin_addr.s_addr = htonl(address.toIPv4Address());
            size = sizeof *in;
        } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port_);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
            in6->sin6_scope_id = address.scopeId().toUInt();
            size = sizeof *in6;
        } else {
            continue;
        }
        fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error_ = systemText(errno);
            continue;
        }
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&storage), size) != 0 && errno != EINPROGRESS) {
            error_ = systemText(errno);
            closeDescriptor();
            continue;
        }
        // Connected or on the way: the socket turns writable when it is decided.
        state_ = State::Connecting;
        watch();
        reader_->setEnabled(false);
        connectTimer_.start(CONNECT_TIMEOUT_MS);
        return;
    }
    fail(OTHER_ERROR, error_.empty() ? std::string("Host not found") : error_);
}

void QtClientSocket::watch()
{
    reader_.reset(new QSocketNotifier(fd_, QSocketNotifier::Read));
    QObject::connect(reader_.get(), &QSocketNotifier::activated, reader_.get(), [this] { readable(); });
    writer_.reset(new QSocketNotifier(fd_, QSocketNotifier::Write));
    QObject::connect(writer_.get(), &QSocketNotifier::activated, writer_.get(), [this] { writable(); });
}

void QtClientSocket::connectFinished()
{
    int code = 0;
    socklen_t size = sizeof code;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &code, &size) != 0)
        code = errno;
    if (code != 0) {
        error_ = systemText(code);
        closeDescriptor();
        tryNextAddress();
        return;
    }
    connectTimer_.stop();
    addresses_.clear();
    state_ = State::Open;
    watchWrites(false);
    reader_->setEnabled(reading_);
    notify(onConnected);
}

void QtClientSocket::readable()
{
    // An activation queued before reading was stopped.
    if (!reading_)
        return;
    char chunk[READ_CHUNK];
    bool ended = false;
    int code = 0;
    for (int i = 0; i < READ_CHUNKS_PER_TURN; ++i) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            inbox_.append(chunk, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof chunk)
                break;
        } else if (n == 0) {
            ended = true;
            break;
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                code = errno;
            break;
        }
    }
    // What arrived before the end is read first.
    if (!inbox_.empty() && (!notify(onDataAvailable) || state_ != State::Open))
        return;
    // Only an orderly close (FIN) is a close; a reset is an error, also one
    // that a send saw first.
    if (ended && sendError_ != 0)
        code = sendError_;
    if (ended && code == 0) {
        error_ = "The remote host closed the connection";
        closeDescriptor();
        gathered_.clear();
        kept_.clear();
        keptAt_ = 0;
        notify(onClosed);
    } else if (code != 0) {
        fail(code, systemText(code));
    }
}

void QtClientSocket::writable()
{
    if (state_ == State::Connecting) {
        connectFinished();
        return;
    }
    if (state_ != State::Open)
        return;
    if (sendKept()) {
        watchWrites(keptAt_ < kept_.size());
        reportWritten();
        return;
    }
    fail(sendError_, systemText(sendError_));
}

void QtClientSocket::reportWritten()
{
    if (std::exchange(took_, false) && state_ == State::Open)
        notify(onWritten);
}

uint16_t QtClientSocket::peerPort() const
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return 0;
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
    return 0;
}

void QtClientSocket::setReading(bool on)
{
    reading_ = on;
    if (state_ == State::Open && reader_)
        reader_->setEnabled(on);
}

void QtClientSocket::fail(int code, const std::string& text)
{
    error_ = text;
    closeDescriptor();
    addresses_.clear();
    gathered_.clear();
    kept_.clear();
    keptAt_ = 0;
    raiseError(code == 0 ? OTHER_ERROR : code);
}

void QtClientSocket::closeDescriptor()
{
    connectTimer_.stop();
    reader_.reset();
    writer_.reset();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    sendError_ = 0;
    state_ = State::Closed;
}

bool QtClientSocket::isOpen() const
{
    return state_ == State::Open;
}

void QtClientSocket::sendBytes(std::string_view bytes)
{
    if (state_ != State::Open)
        return;
    gathered_.append(bytes);
    if (gathered_.size() >= GATHER_LIMIT)
        writeGathered();
    else if (notifying_ == 0 && !writePosted_) {
        // Sent from a timer or from outside the event loop: out at the end of the turn.
        writePosted_ = true;
        QMetaObject::invokeMethod(
            &turn_,
            [this] {
                writeGathered();
                reportWritten();
            },
            Qt::QueuedConnection);
    }
}

void QtClientSocket::writeGathered()
{
    writePosted_ = false;
    if (gathered_.empty())
        return;
    if (state_ != State::Open) {
        gathered_.clear();
        return;
    }
    if (keptAt_ == kept_.size()) {
        // The two buffers swap roles, so neither is allocated again.
        kept_.swap(gathered_);
        keptAt_ = 0;
    } else {
        kept_.append(gathered_);
    }
    gathered_.clear();
    // A failure is left to the write notification, which reports it from the
    // event loop rather than from the middle of a send.
    if (!sendKept() || keptAt_ < kept_.size())
        watchWrites(true);
}

bool QtClientSocket::sendKept()
{
    while (keptAt_ < kept_.size()) {
        const ssize_t n = ::send(fd_, kept_.data() + keptAt_, kept_.size() - keptAt_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            keptAt_ += static_cast<size_t>(n);
            took_ = true;
        } else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        else {
            // The system reports an error once: a later read would see only the end.
            sendError_ = n < 0 ? errno : OTHER_ERROR;
            return false;
        }
    }
    if (keptAt_ == kept_.size()) {
        kept_.clear();
        keptAt_ = 0;
    } else if (keptAt_ > kept_.size() / 2) {
        kept_.erase(0, keptAt_);
        keptAt_ = 0;
    }
    return true;
}

void QtClientSocket::watchWrites(bool on)
{
    if (writer_ && writer_->isEnabled() != on)
        writer_->setEnabled(on);
}

std::string QtClientSocket::readAll()
{
    return std::exchange(inbox_, std::string());
}

void QtClientSocket::close()
{
    if (state_ == State::Open)
        writeGathered();
    if (lookup_ >= 0)
        QHostInfo::abortHostLookup(lookup_);
    lookup_ = -1;
    closeDescriptor();
    addresses_.clear();
    inbox_.clear();
    gathered_.clear();
    kept_.clear();
    keptAt_ = 0;
}

size_t QtClientSocket::bytesToWrite() const
{
    return gathered_.size() + kept_.size() - keptAt_;
}

void QtClientSocket::flush(int milliseconds)
{
    writeGathered();
    QElapsedTimer elapsed;
    elapsed.start();
    while (state_ == State::Open && keptAt_ < kept_.size()) {
        const qint64 left = milliseconds - elapsed.elapsed();
        if (left <= 0)
            break;
        pollfd writable{fd_, POLLOUT, 0};
        if (::poll(&writable, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        if (!sendKept())
            break;
    }
}

std::string QtClientSocket::errorString() const
{
    return error_;
}
