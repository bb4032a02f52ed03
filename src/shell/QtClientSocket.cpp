// The client socket on QTcpSocket.
#include "QtClientSocket.h"

#include <QElapsedTimer>
#include <QMetaObject>

namespace {

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
    QObject::connect(socket, &QTcpSocket::connected, socket, [this] {
        if (onConnected)
            onConnected();
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this] {
        if (onClosed)
            onClosed();
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] {
        if (onDataAvailable)
            onDataAvailable();
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [this](QAbstractSocket::SocketError error) {
        // Qt reports the peer's orderly close as an error too, then emits
        // disconnected(); that close is reported once, as a close.
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        raiseError(errorCode(error));
    });
}

QtClientSocket::~QtClientSocket() = default;

void QtClientSocket::raiseError(int code)
{
    if (onError)
        onError(code);
}

void QtClientSocket::connectTo(const std::string& host, uint32_t port)
{
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
    socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
}

std::string QtClientSocket::readAll()
{
    const QByteArray bytes = socket_->readAll();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void QtClientSocket::close()
{
    socket_->close();
}

size_t QtClientSocket::bytesToWrite() const
{
    return static_cast<size_t>(socket_->bytesToWrite());
}

void QtClientSocket::flush(int milliseconds)
{
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
