// The client socket on QTcpSocket.
#include "QtClientSocket.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

// Gathered bytes beyond this go to the system at once, so that a burst is
// held by QTcpSocket only, and the gathering buffer stays this small.
constexpr size_t GATHER_LIMIT = 1 << 20;

// A handler zeroes the code to say it has dealt with the error, so no error
// may arrive as 0.
int errorCode(QAbstractSocket::SocketError error)
{
    return error < 0 ? 1 << 16 : static_cast<int>(error) + 1;
}

} // namespace

void QtClientSocket::LaterDeleter::operator()(QTcpSocket* socket) const
{
    socket->disconnect();
    socket->abort();
    socket->deleteLater();
}

QtClientSocket::QtClientSocket() : socket_(new QTcpSocket)
{
    QTcpSocket* socket = socket_.get();
    QObject::connect(socket, &QTcpSocket::connected, socket, [this] { notify(onConnected); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this] {
        gathered_.clear();
        notify(onClosed);
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] { notify(onDataAvailable); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [this](QAbstractSocket::SocketError error) {
        // Qt reports the peer's orderly close as an error too, then emits
        // disconnected(); that close is reported once, as a close.
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        raiseError(errorCode(error));
    });
    // A handler that runs an event loop of its own (a dialog) does not hold
    // back what it sent before.
    if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance())
        QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, &turn_, [this] { writeGathered(); });
}

QtClientSocket::~QtClientSocket() = default;

void QtClientSocket::notify(const std::function<void()>& handler)
{
    if (!handler)
        return;
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
    if (alive && --notifying_ == 0)
        writeGathered();
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
    // Nothing meant for an earlier connection goes out on the new one.
    gathered_.clear();
    if (port > 65535) {
        // Reported from the event loop, like every other connect failure.
        QMetaObject::invokeMethod(
            socket_.get(), [this] { raiseError(errorCode(QAbstractSocket::UnsupportedSocketOperationError)); },
            Qt::QueuedConnection);
        return;
    }
    socket_->connectToHost(QString::fromStdString(host), static_cast<quint16>(port));
}

bool QtClientSocket::isOpen() const
{
    return socket_->state() == QAbstractSocket::ConnectedState;
}

void QtClientSocket::sendBytes(std::string_view bytes)
{
    gathered_.append(bytes);
    if (gathered_.size() >= GATHER_LIMIT)
        writeGathered();
    else if (notifying_ == 0 && !writePosted_) {
        // Sent from a timer or from outside the event loop: out at the end of the turn.
        writePosted_ = true;
        QMetaObject::invokeMethod(
            &turn_, [this] { writeGathered(); }, Qt::QueuedConnection);
    }
}

void QtClientSocket::writeGathered()
{
    writePosted_ = false;
    if (gathered_.empty())
        return;
    std::string_view rest(gathered_);
    if (socket_->state() == QAbstractSocket::ConnectedState) {
#ifdef Q_OS_UNIX
        // With nothing of QTcpSocket's own waiting, the bytes can go to the
        // system at once, in one call. Whatever it does not take, or an
        // error, is left to QTcpSocket, which reports errors as it always does.
        if (socket_->bytesToWrite() == 0) {
            const ssize_t n = ::send(static_cast<int>(socket_->socketDescriptor()), rest.data(), rest.size(),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                rest.remove_prefix(static_cast<size_t>(n));
        }
#endif
        if (!rest.empty())
            socket_->write(rest.data(), static_cast<qint64>(rest.size()));
    }
    gathered_.clear();
}

std::string QtClientSocket::readAll()
{
    const QByteArray bytes = socket_->readAll();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void QtClientSocket::close()
{
    // What was sent before the close still goes out, as QTcpSocket sends
    // what it holds before it closes.
    writeGathered();
    socket_->close();
}

size_t QtClientSocket::bytesToWrite() const
{
    return gathered_.size() + static_cast<size_t>(socket_->bytesToWrite());
}

void QtClientSocket::flush(int milliseconds)
{
    writeGathered();
    // waitForBytesWritten returns after the first chunk: go on until all is out.
    QElapsedTimer elapsed;
    elapsed.start();
    while (socket_->state() == QAbstractSocket::ConnectedState && socket_->bytesToWrite() > 0) {
        const qint64 left = milliseconds - elapsed.elapsed();
        if (left <= 0 || !socket_->waitForBytesWritten(static_cast<int>(left)))
            break;
    }
}

std::string QtClientSocket::errorString() const
{
    return socket_->errorString().toStdString();
}
