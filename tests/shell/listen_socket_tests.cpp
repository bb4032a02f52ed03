// The host-link listener on real sockets on the loopback: what it accepts,
// what it names the peer, the adopted socket's bytes, and its refusals.
#include "shell/GuardedEvents.h"
#include "shell/QtListenSocket.h"

#include <QAbstractEventDispatcher>
#include <QTest>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace {

constexpr int LONG_WAIT = 20000;

// A plain blocking client socket, so that a test controls when descriptors are made.
struct Client {
    explicit Client(int family = AF_INET) : fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Client() { ::close(fd); }

    bool connectTo(const char* address, uint16_t port)
    {
        sockaddr_storage storage{};
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        socklen_t size = sizeof *in;
        if (::inet_pton(AF_INET, address, &in->sin_addr) == 1) {
            in->sin_family = AF_INET;
            in->sin_port = htons(port);
        } else {
            ::inet_pton(AF_INET6, address, &in6->sin6_addr);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port);
            size = sizeof *in6;
        }
        return ::connect(fd, reinterpret_cast<sockaddr*>(&storage), size) == 0;
    }

    // What has come until `size` bytes are in, or the end of the stream.
    std::string receive(size_t size)
    {
        std::string got;
        (void)QTest::qWaitFor(
            [&] {
                char chunk[256];
                const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0)
                    got.append(chunk, static_cast<size_t>(n));
                ended = ended || n == 0;
                return ended || got.size() >= size;
            },
            LONG_WAIT);
        return got;
    }

    int fd;
    bool ended = false;
};

class ListenSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        listener.onAccept = [this](std::unique_ptr<ClientSocket> socket, const std::string& peer) {
            accepted.push_back(std::move(socket));
            peers.push_back(peer);
        };
    }

    void listenOn(const char* address)
    {
        std::string error;
        ASSERT_TRUE(listener.listen(address, 0, error)) << error;
        ASSERT_NE(listener.port(), 0);
    }

    bool waitForAccepts(size_t count)
    {
        return QTest::qWaitFor([&] { return accepted.size() >= count; }, LONG_WAIT);
    }

    QtListenSocket listener;
    std::vector<std::unique_ptr<ClientSocket>> accepted;
    std::vector<std::string> peers;
};

TEST_F(ListenSocketTest, AcceptsOpenConnectionsNamedByTheirNumericAddress)
{
    listenOn("127.0.0.1");
    Client first, second;
    ASSERT_TRUE(first.connectTo("127.0.0.1", listener.port()));
    ASSERT_TRUE(second.connectTo("127.0.0.1", listener.port()));
    ASSERT_TRUE(waitForAccepts(2));
    EXPECT_TRUE(accepted[0]->isOpen());
    EXPECT_TRUE(accepted[1]->isOpen());
    EXPECT_EQ(peers, (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
}

TEST_F(ListenSocketTest, AnIpv4PeerOnADualStackListenerIsNamedByItsIpv4Address)
{
    listenOn("::");
    Client v4, v6(AF_INET6);
    ASSERT_TRUE(v4.connectTo("127.0.0.1", listener.port()));
    ASSERT_TRUE(waitForAccepts(1));
    ASSERT_TRUE(v6.connectTo("::1", listener.port()));
    ASSERT_TRUE(waitForAccepts(2));
    EXPECT_EQ(peers, (std::vector<std::string>{"127.0.0.1", "::1"}));
}

TEST_F(ListenSocketTest, AnAcceptedSocketCarriesEveryByteBothWaysAndSeesThePeerClose)
{
    listenOn("127.0.0.1");
    Client client;
    ASSERT_TRUE(client.connectTo("127.0.0.1", listener.port()));
    ASSERT_TRUE(waitForAccepts(1));
    ClientSocket& socket = *accepted[0];
    std::string got;
    bool closed = false;
    socket.onDataAvailable = [&] { got += socket.readAll(); };
    socket.onClosed = [&] { closed = true; };

    const std::string in("/\xff\x80HOST wam1 W-2.81 dpu\n\0\r", 26);
    ASSERT_EQ(::send(client.fd, in.data(), in.size(), 0), static_cast<ssize_t>(in.size()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return got.size() >= in.size(); }, LONG_WAIT));
    EXPECT_EQ(got, in);

    const std::string out = "/\xff\x80USER n0abc pvnode 1 -1 0 \xe4\r\n";
    socket.sendBytes(out);
    EXPECT_EQ(client.receive(out.size()), out);

    ::shutdown(client.fd, SHUT_WR);
    EXPECT_TRUE(QTest::qWaitFor([&] { return closed; }, LONG_WAIT));
    EXPECT_FALSE(socket.isOpen());
}

TEST_F(ListenSocketTest, ClosingAnAcceptedSocketEndsThePeersStream)
{
    listenOn("127.0.0.1");
    Client client;
    ASSERT_TRUE(client.connectTo("127.0.0.1", listener.port()));
    ASSERT_TRUE(waitForAccepts(1));
    accepted[0]->sendBytes("bye\r\n");
    accepted[0]->close();
    EXPECT_EQ(client.receive(100), "bye\r\n");
    EXPECT_TRUE(client.ended);
}

TEST_F(ListenSocketTest, ClosedListenerRefusesConnections)
{
    listenOn("127.0.0.1");
    const uint16_t port = listener.port();
    listener.close();
    Client client;
    EXPECT_FALSE(client.connectTo("127.0.0.1", port));
    EXPECT_EQ(listener.port(), 0);
}

TEST_F(ListenSocketTest, ATakenPortOrABadAddressFailsWithTheReason)
{
    listenOn("127.0.0.1");
    QtListenSocket second;
    std::string error;
    EXPECT_FALSE(second.listen("127.0.0.1", listener.port(), error));
    EXPECT_EQ(error, "Address already in use");
    EXPECT_FALSE(second.listen("localhost", 3600, error));
    EXPECT_EQ(error, "'localhost' is not a numeric address");
    EXPECT_FALSE(second.listen("127.0.0.1", 70000, error));
    EXPECT_EQ(error, "Port 70000 is out of range");
}

// Every descriptor below the limit is taken, so accept4 fails with EMFILE.
class DescriptorLimit {
public:
    DescriptorLimit()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(::dup(0)) + 1;
        ::close(static_cast<int>(low.rlim_cur - 1));
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::dup(0)) >= 0;)
            taken_.push_back(fd);
    }
    ~DescriptorLimit()
    {
        for (int fd : taken_)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> taken_;
};

TEST_F(ListenSocketTest, AtTheDescriptorLimitAWaitingConnectionIsClosedAndLaterOnesAccepted)
{
    listenOn("127.0.0.1");
    Client refused, later;
    {
        const DescriptorLimit limit;
        ASSERT_TRUE(refused.connectTo("127.0.0.1", listener.port()));
        refused.receive(1);
        EXPECT_TRUE(refused.ended);
        EXPECT_TRUE(accepted.empty());
    }
    ASSERT_TRUE(later.connectTo("127.0.0.1", listener.port()));
    ASSERT_TRUE(waitForAccepts(1));
    EXPECT_EQ(peers, std::vector<std::string>{"127.0.0.1"});
}

// Counts how often the event loop wakes up: a few dozen times in a quiet
// wait, without end when a notifier fires on and on.
struct WakeCounter {
    WakeCounter()
    {
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &receiver,
                         [this] { ++wakes; });
    }
    QObject receiver;
    int wakes = 0;
};

TEST_F(ListenSocketTest, WhenNotEvenTheReserveHelpsTheListenerRestsInsteadOfSpinning)
{
    listenOn("127.0.0.1");
    Client waiting;
    {
        const WakeCounter counter;
        // The listener sees the connection only once the loop runs, below.
        ASSERT_TRUE(waiting.connectTo("127.0.0.1", listener.port()));
        // Below the reserve descriptor itself: closing it frees nothing usable.
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = 3;
        ::setrlimit(RLIMIT_NOFILE, &low);
        QTest::qWait(300);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_LE(counter.wakes, 1000);
    }
    EXPECT_TRUE(accepted.empty());
    ASSERT_TRUE(waitForAccepts(1));
}

TEST(GuardedListenSocket, AnExceptionOfTheHandlerIsReportedAndTheListenerGoesOn)
{
    auto inner = std::make_unique<QtListenSocket>();
    QtListenSocket& qt = *inner;
    std::vector<std::string> reports;
    GuardedListenSocket listener(std::move(inner), [&](const std::string& what) { reports.push_back(what); });
    std::vector<std::unique_ptr<ClientSocket>> kept;
    listener.onAccept = [&](std::unique_ptr<ClientSocket> socket, const std::string&) {
        kept.push_back(std::move(socket));
        if (kept.size() == 1)
            throw std::runtime_error("first one");
        kept.back()->onDataAvailable = [] { throw std::runtime_error("reading"); };
    };
    std::string error;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0, error)) << error;
    Client first, second;
    ASSERT_TRUE(first.connectTo("127.0.0.1", qt.port()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return kept.size() == 1; }, LONG_WAIT));
    ASSERT_TRUE(second.connectTo("127.0.0.1", qt.port()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return kept.size() == 2; }, LONG_WAIT));
    ::send(second.fd, "x", 1, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return reports.size() == 2; }, LONG_WAIT));
    EXPECT_EQ(reports, (std::vector<std::string>{"first one", "reading"}));
}

} // namespace
