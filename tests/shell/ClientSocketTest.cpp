// The Qt client socket's send path against a peer that stops reading: what the
// system does not take at once is kept, counted and sent later, in order.
#include "shell/QtClientSocket.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int LONG_WAIT = 20000;

// Bytes numbered by their offset, so that a byte lost, repeated or moved shows.
std::string numbered(size_t from, size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(((from + i) / 4 >> (8 * ((from + i) % 4))) & 0xFF);
    return bytes;
}

class StalledPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener_, 0);
        // A small receive buffer, inherited by the accepted socket: the peer's
        // side fills after a few kB once it stops reading.
        const int small = 16384;
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
        ASSERT_EQ(::listen(listener_, 1), 0);
        ASSERT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size), 0);

        bool connected = false;
        socket.onConnected = [&] { connected = true; };
        socket.connectTo("127.0.0.1", ntohs(address.sin_port));
        ASSERT_TRUE(QTest::qWaitFor([&] { return connected; }, LONG_WAIT));
        peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        ASSERT_GE(peer_, 0);
    }

    void TearDown() override
    {
        socket.close();
        ::close(peer_);
        ::close(listener_);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Reads what has arrived, without a turn of the event loop (so the
    // socket sends nothing meanwhile), until nothing more comes for half a second.
    void readArrived()
    {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(peer_, chunk, sizeof chunk, 0);
            if (n > 0) {
                received.append(chunk, static_cast<size_t>(n));
                continue;
            }
            pollfd readable{peer_, POLLIN, 0};
            if (n == 0 || ::poll(&readable, 1, 500) <= 0)
                return;
        }
    }

    // The peer reads again, and the event loop runs, until `size` bytes came.
    bool readUntil(size_t size)
    {
        return QTest::qWaitFor(
            [&] {
                char chunk[65536];
                ssize_t n;
                while ((n = ::recv(peer_, chunk, sizeof chunk, 0)) > 0)
                    received.append(chunk, static_cast<size_t>(n));
                return received.size() >= size;
            },
            LONG_WAIT);
    }

    QtClientSocket socket;
    std::string received;

private:
    int listener_ = -1;
    int peer_ = -1;
};

} // namespace

TEST_F(StalledPeer, EverythingSentWhileItStallsArrivesInOrderOnceItReads)
{
    // Sends of several sizes over several turns: each partly taken, the rest kept.
    std::string sent;
    // More than the system's buffers hold, so that the rest goes in several
    // rounds of the socket turning writable.
    for (size_t size : {300000u, 1500000u, 70000u, 2000000u, 5000u, 12000000u}) {
        const std::string bytes = numbered(sent.size(), size);
        socket.sendBytes(bytes);
        sent += bytes;
        QCoreApplication::processEvents();
    }
    ASSERT_GT(socket.bytesToWrite(), 0u) << "the peer's stall holds bytes back";

    // Nothing more is sent: the kept bytes go as the peer makes room.
    ASSERT_TRUE(readUntil(sent.size())) << received.size() << " of " << sent.size();
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent) << "bytes lost, repeated or out of order";
    EXPECT_EQ(socket.bytesToWrite(), 0u);
}

TEST_F(StalledPeer, BytesToWriteCountsOnlyWhatTheSystemHasNotTaken)
{
    // Over twice what the system's buffers hold: the bytes taken are not
    // the most of the bytes sent.
    const std::string bytes = numbered(0, 12000000);
    socket.sendBytes(bytes); // past the gathering limit: handed to the system at once
    const size_t waiting = socket.bytesToWrite();
    ASSERT_GT(waiting, 0u);

    readArrived();
    ASSERT_GT(received.size(), 0u);
    EXPECT_EQ(received.size() + waiting, bytes.size());
}
