// The link on the real Qt socket and timers, against a listener on 127.0.0.1
// that plays AGWPE.
#include "fakes/Frames.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AGWL2.h"
#include "shell/QtClientSocket.h"
#include "shell/QtTimerFactory.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

constexpr int LONG_WAIT = 20000;

// Counts what the link reads, so a test can wait for each byte to be taken.
class CountingSocket : public QtClientSocket {
public:
    std::string ReadAll() override
    {
        std::string bytes = QtClientSocket::ReadAll();
        BytesRead += bytes.size();
        ++Reads;
        return bytes;
    }
    size_t BytesRead = 0;
    size_t Reads = 0;
};

class QtLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));

        auto socket = std::make_unique<CountingSocket>();
        counting = socket.get();
        l2 = std::make_unique<TL2>(std::move(socket), timers);
        TraceInto(l2->Log, 1, dir_.File("trace.log"));
        l2->SetAddress("127.0.0.1");
        l2->SetPort(server.serverPort());
        l2->SetCallSign("N0CALL");
        RecordFrames(*l2, seen);
        l2->FOnAGWUp = [this](TL2&) { ++ups; };
        l2->FOnAGWDown = [this](TL2&) { ++downs; };
        l2->FOnAGWError = [this](TL2&) { ++errors; };
    }

    void TearDown() override
    {
        l2.reset();
        delete peer;
        server.close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Opens the link and takes the listener's side of the connection.
    void Accept()
    {
        l2->Open();
        ASSERT_TRUE(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, LONG_WAIT));
        peer = server.nextPendingConnection();
        peer->setParent(nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return l2->Active; }, LONG_WAIT));
    }

    // Everything the listener has received once it holds at least `size` bytes.
    std::string Receive(size_t size)
    {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const QByteArray bytes = peer->readAll();
                received.append(bytes.constData(), static_cast<size_t>(bytes.size()));
                return received.size() >= size;
            },
            LONG_WAIT));
        return received;
    }

    std::string TraceFile() const { return ReadFile(dir_.Path() / "trace.log"); }

    QTcpServer server;
    QTcpSocket* peer = nullptr;
    QtTimerFactory timers;
    CountingSocket* counting = nullptr;
    std::unique_ptr<TL2> l2;
    std::vector<SeenFrame> seen;
    std::string received;
    int ups = 0;
    int downs = 0;
    int errors = 0;

private:
    TempDir dir_{"palavoro-qtlink"};
};

} // namespace

TEST_F(QtLink, ConnectSendsLoginThenRegistrationPortsAndVersion)
{
    l2->LoginUser = "user";
    l2->LoginPassword = "secret";
    l2->FOnAGWUp = [this](TL2& link) {
        ++ups;
        link.SetRegister(true);
    };
    Accept();
    EXPECT_EQ(ups, 1);
    const std::string stream = Receive(4 * 36 + 510);
    const auto frames = DecodeFrames(stream);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].Kind, 'P');
    EXPECT_EQ(frames[0].Data.size(), 510u);
    EXPECT_EQ(frames[0].Data.substr(255, 6), "secret");
    EXPECT_EQ(frames[1].Kind, 'X');
    EXPECT_EQ(frames[1].CallFrom, "N0CALL");
    EXPECT_EQ(frames[2].Kind, 'G');
    EXPECT_EQ(frames[3].Kind, 'R');
    EXPECT_NE(TraceFile().find("{L2} Connected with AGWPE\r\n"), std::string::npos);
}

TEST_F(QtLink, FramesSplitAtEveryByteArriveWholeAndInOrder)
{
    Accept();
    std::string stream;
    stream += Frame(0, 'R', 0, "", "", std::string("\x02\x00\x00\x00\x07\x00\x00\x00", 8));
    stream += Frame(0, 'C', 0, "w1aw", "N0CALL", "*** CONNECTED With Station W1AW\r");
    stream += Frame(1, 'D', 0xF0, "W1AW", "N0CALL", "hello there\r");
    stream += Frame(0, 'y', 0, "", "", "");
    const size_t before = counting->BytesRead;
    for (size_t i = 0; i < stream.size(); ++i) {
        peer->write(stream.data() + i, 1);
        peer->flush();
        ASSERT_TRUE(QTest::qWaitFor([&] { return counting->BytesRead >= before + i + 1; }, LONG_WAIT)) << i;
    }
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].Kind, 'R');
    EXPECT_EQ(seen[1].Kind, 'C');
    EXPECT_EQ(seen[1].CallFrom, "W1AW");
    EXPECT_EQ(seen[2].Kind, 'D');
    EXPECT_EQ(seen[2].Port, 2);
    EXPECT_EQ(seen[2].Data, "hello there\r");
    EXPECT_EQ(seen[3].Kind, 'y');
    EXPECT_EQ(l2->VersionMajor, 2);
    EXPECT_EQ(l2->VersionMinor, 7);
}

TEST_F(QtLink, ManyFramesInOneBurstAllArrive)
{
    Accept();
    std::string stream;
    for (int i = 0; i < 500; ++i)
        stream += Frame(0, 'D', 0xF0, "W1AW", "N0CALL", "line " + std::to_string(i) + "\r");
    peer->write(stream.data(), static_cast<qint64>(stream.size()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() >= 500; }, LONG_WAIT));
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(seen[static_cast<size_t>(i)].Data, "line " + std::to_string(i) + "\r");
}

TEST_F(QtLink, LargeWriteArrivesCompleteAndInOrder)
{
    Accept();
    Receive(2 * 36);
    received.clear();
    std::string text;
    for (size_t i = 0; i < 200000; ++i)
        text += static_cast<char>('a' + i % 23);
    l2->SendData(1, 0xF0, "N0CALL", "W1AW", text);
    const size_t frameCount = (text.size() + 254) / 255;
    const auto frames = DecodeFrames(Receive(text.size() + 36 * frameCount));
    ASSERT_EQ(frames.size(), frameCount);
    std::string joined;
    for (auto& f : frames) {
        EXPECT_EQ(f.Kind, 'D');
        joined += f.Data;
    }
    EXPECT_TRUE(joined == text);
}

TEST_F(QtLink, RefusedConnectionIsASocketError)
{
    QTcpServer unused;
    ASSERT_TRUE(unused.listen(QHostAddress::LocalHost, 0));
    const quint16 port = unused.serverPort();
    unused.close();
    l2->SetPort(port);
    l2->Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors > 0; }, LONG_WAIT));
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(ups, 0);
    EXPECT_FALSE(l2->Active);
    EXPECT_NE(TraceFile().find(" {L2} <AGWError> Socket Error from AGWPE\r\n"), std::string::npos);
}

TEST_F(QtLink, PortAbove65535IsASocketError)
{
    l2->SetPort(70000);
    l2->Open();
    EXPECT_EQ(errors, 0) << "reported from the event loop, not from inside Open";
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors > 0; }, LONG_WAIT));
    EXPECT_FALSE(l2->Active);
}

TEST_F(QtLink, PeerCloseIsADisconnectNotAnError)
{
    Accept();
    peer->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return downs > 0; }, LONG_WAIT));
    EXPECT_EQ(errors, 0);
    EXPECT_FALSE(l2->Active);
    EXPECT_FALSE(l2->Write(0, 0, 'G', "", "", ""));
}

TEST_F(QtLink, DestroyingTheLinkClosesTheConnection)
{
    Accept();
    l2.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->state() == QAbstractSocket::UnconnectedState; }, LONG_WAIT));
}

TEST(QtTimers, EnabledTimerFiresRepeatedly)
{
    QtTimerFactory factory;
    auto timer = factory.CreateTimer();
    int ticks = 0;
    timer->OnTimer = [&] { ++ticks; };
    timer->SetInterval(5);
    EXPECT_FALSE(timer->Enabled());
    timer->SetEnabled(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, LONG_WAIT));
    timer->SetEnabled(false);
    const int stopped = ticks;
    QTest::qWait(50);
    EXPECT_EQ(ticks, stopped);
}

TEST(QtTimers, IntervalZeroNeverFires)
{
    QtTimerFactory factory;
    auto timer = factory.CreateTimer();
    int ticks = 0;
    timer->OnTimer = [&] { ++ticks; };
    timer->SetEnabled(true);
    EXPECT_EQ(timer->Interval(), 0u);
    QTest::qWait(50);
    EXPECT_EQ(ticks, 0);
    timer->SetInterval(5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 1; }, LONG_WAIT));
    timer->SetInterval(0);
    const int stopped = ticks;
    QTest::qWait(50);
    EXPECT_EQ(ticks, stopped);
}

TEST(QtTimers, HandlerMayDestroyItsOwnTimer)
{
    QtTimerFactory factory;
    std::unique_ptr<Timer> timer = factory.CreateTimer();
    int ticks = 0;
    timer->OnTimer = [&] {
        ++ticks;
        timer.reset();
    };
    timer->SetInterval(5);
    timer->SetEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return timer == nullptr; }, LONG_WAIT));
    QTest::qWait(50);
    EXPECT_EQ(ticks, 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
