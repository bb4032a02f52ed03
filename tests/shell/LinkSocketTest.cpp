// The link on the real Qt socket and timers, against a listener on 127.0.0.1
// that plays AGWPE.
#include "fakes/Frames.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AgwLink.h"
#include "shell/QtClientSocket.h"
#include "shell/QtTimerFactory.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/socket.h>

namespace {

constexpr int LONG_WAIT = 20000;

// Counts what the link reads, so a test can wait for each byte to be taken.
class CountingSocket : public QtClientSocket {
public:
    std::string readAll() override
    {
        std::string bytes = QtClientSocket::readAll();
        bytesRead += bytes.size();
        ++reads;
        return bytes;
    }
    size_t bytesRead = 0;
    size_t reads = 0;
};

class QtLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));

        auto socket = std::make_unique<CountingSocket>();
        counting = socket.get();
        l2 = std::make_unique<AgwLink>(std::move(socket), timers);
        traceInto(l2->traceLog(), 1, dir_.file("trace.log"));
        l2->setAddress("127.0.0.1");
        l2->setPort(server.serverPort());
        l2->setCallSign("N0CALL");
        recordFrames(*l2, seen);
        l2->onAgwUp = [this](AgwLink&) { ++ups; };
        l2->onAgwDown = [this](AgwLink&) { ++downs; };
        l2->onAgwError = [this](AgwLink&) { ++errors; };
    }

    void TearDown() override
    {
        l2.reset();
        delete peer;
        server.close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Opens the link and takes the listener's side of the connection.
    void accept()
    {
        l2->open();
        ASSERT_TRUE(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, LONG_WAIT));
        peer = server.nextPendingConnection();
        peer->setParent(nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return l2->isActive(); }, LONG_WAIT));
    }

    // The peer takes 4 kB and no more; data goes out until the link holds back.
    void fillUntilBacklogged()
    {
        peer->setReadBufferSize(4096);
        const std::string text(65536, 't');
        for (int i = 0; i < 2000 && !l2->outputBacklogged(); ++i) {
            l2->sendData(1, 0xF0, "N0CALL", "W1AW", text);
            QCoreApplication::processEvents();
        }
    }

    // Everything the listener has received once it holds at least `size` bytes.
    std::string receive(size_t size)
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

    std::string traceFile() const { return readFile(dir_.path() / "trace.log"); }

    QTcpServer server;
    QTcpSocket* peer = nullptr;
    QtTimerFactory timers;
    CountingSocket* counting = nullptr;
    std::unique_ptr<AgwLink> l2;
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
    l2->setLogin("user", "secret");
    l2->onAgwUp = [this](AgwLink& link) {
        ++ups;
        link.setRegister(true);
    };
    accept();
    EXPECT_EQ(ups, 1);
    const std::string stream = receive(4 * 36 + 510);
    const auto frames = decodeFrames(stream);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].kind, 'P');
    EXPECT_EQ(frames[0].data.size(), 510u);
    EXPECT_EQ(frames[0].data.substr(255, 6), "secret");
    EXPECT_EQ(frames[1].kind, 'X');
    EXPECT_EQ(frames[1].callFrom, "N0CALL");
    EXPECT_EQ(frames[2].kind, 'G');
    EXPECT_EQ(frames[3].kind, 'R');
    EXPECT_NE(traceFile().find("{L2} Connected with AGWPE\r\n"), std::string::npos);
}

TEST_F(QtLink, AHostNameIsLookedUp)
{
    // Where "localhost" gives ::1 first, nobody listens there: 127.0.0.1 then answers.
    l2->setHost("localhost");
    accept();
    EXPECT_EQ(ups, 1);
    EXPECT_EQ(errors, 0);
}

TEST_F(QtLink, FramesSplitAtEveryByteArriveWholeAndInOrder)
{
    accept();
    std::string stream;
    stream += agwFrame(0, 'R', 0, "", "", std::string("\x02\x00\x00\x00\x07\x00\x00\x00", 8));
    stream += agwFrame(0, 'C', 0, "w1aw", "N0CALL", "*** CONNECTED With Station W1AW\r");
    stream += agwFrame(1, 'D', 0xF0, "W1AW", "N0CALL", "hello there\r");
    stream += agwFrame(0, 'y', 0, "", "", "");
    const size_t before = counting->bytesRead;
    for (size_t i = 0; i < stream.size(); ++i) {
        peer->write(stream.data() + i, 1);
        peer->flush();
        ASSERT_TRUE(QTest::qWaitFor([&] { return counting->bytesRead >= before + i + 1; }, LONG_WAIT)) << i;
    }
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].kind, 'R');
    EXPECT_EQ(seen[1].kind, 'C');
    EXPECT_EQ(seen[1].callFrom, "W1AW");
    EXPECT_EQ(seen[2].kind, 'D');
    EXPECT_EQ(seen[2].port, 2);
    EXPECT_EQ(seen[2].data, "hello there\r");
    EXPECT_EQ(seen[3].kind, 'y');
    EXPECT_EQ(l2->versionMajor(), 2);
    EXPECT_EQ(l2->versionMinor(), 7);
}

TEST_F(QtLink, ManyFramesInOneBurstAllArrive)
{
    accept();
    std::string stream;
    for (int i = 0; i < 500; ++i)
        stream += agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "line " + std::to_string(i) + "\r");
    peer->write(stream.data(), static_cast<qint64>(stream.size()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() >= 500; }, LONG_WAIT));
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(seen[static_cast<size_t>(i)].data, "line " + std::to_string(i) + "\r");
}

TEST_F(QtLink, LargeWriteArrivesCompleteAndInOrder)
{
    accept();
    receive(2 * 36);
    received.clear();
    std::string text;
    for (size_t i = 0; i < 200000; ++i)
        text += static_cast<char>('a' + i % 23);
    l2->sendData(1, 0xF0, "N0CALL", "W1AW", text);
    const size_t frameCount = (text.size() + 254) / 255;
    const auto frames = decodeFrames(receive(text.size() + 36 * frameCount));
    ASSERT_EQ(frames.size(), frameCount);
    std::string joined;
    for (auto& f : frames) {
        EXPECT_EQ(f.kind, 'D');
        joined += f.data;
    }
    EXPECT_TRUE(joined == text);
}

TEST_F(QtLink, AnswersSentWhileReadingLeaveInOrderPastTheGatheringLimit)
{
    accept();
    receive(2 * 36);
    received.clear();
    // Each line read is answered with 40 kB: 1.6 MB sent inside one read's
    // handler, more than is gathered before it goes to the system.
    const std::string answer(40000, 'a');
    l2->onData = [&](AgwLink& link, uint8_t, const std::string& from, const std::string&, uint8_t,
                     const std::string& data) { link.sendData(1, 0xF0, "N0CALL", from, data + answer); };
    std::string stream;
    for (int i = 0; i < 40; ++i)
        stream += agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "line " + std::to_string(i) + "\r");
    peer->write(stream.data(), static_cast<qint64>(stream.size()));
    const size_t framesEach = (answer.size() + 8 + 254) / 255;
    std::string expected;
    for (int i = 0; i < 40; ++i)
        expected += "line " + std::to_string(i) + "\r" + answer;
    std::string joined;
    for (const AgwFrame& frame : decodeFrames(receive(expected.size() + 40 * framesEach * 36)))
        joined += frame.data;
    EXPECT_TRUE(joined == expected);
}

TEST_F(QtLink, AnEngineThatStopsReadingPausesTheLinkThenBreaksItAfterTheWait)
{
    std::string reason;
    l2->onBroken = [&](AgwLink&, const std::string& why) { reason = why; };
    l2->setOutputMarks(1 << 20, 1 << 18);
    l2->setEngineWait(AgwLink::OUTPUT_TICK);
    accept();
    // The system's buffers fill, then the socket's.
    fillUntilBacklogged();
    EXPECT_TRUE(l2->outputBacklogged());
    EXPECT_TRUE(l2->isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reason.empty(); }, LONG_WAIT));
    EXPECT_NE(reason.find(" took nothing of "), std::string::npos) << reason;
}

TEST_F(QtLink, AnEngineIsReadWhileBackloggedAndNotWhileItsInputIsHeld)
{
    int frames = 0;
    l2->onFrame = [&](AgwLink&, RadioPort, uint8_t, char, const std::string&, const std::string&, const std::string&) {
        ++frames;
    };
    l2->setOutputMarks(1 << 20, 1 << 18);
    accept();
    fillUntilBacklogged();
    ASSERT_TRUE(l2->outputBacklogged());
    const std::string frame = agwFrame(0, 'D', 0xF0, "W1AW", "N0CALL", "hi\r");
    peer->write(frame.data(), static_cast<qint64>(frame.size()));
    peer->flush();
    EXPECT_TRUE(QTest::qWaitFor([&] { return frames == 1; }, LONG_WAIT)) << "read while backlogged";

    l2->holdInput(true);
    peer->write(frame.data(), static_cast<qint64>(frame.size()));
    peer->flush();
    QTest::qWait(200);
    EXPECT_EQ(frames, 1) << "not read while held";
    l2->holdInput(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return frames == 2; }, LONG_WAIT));
}

TEST_F(QtLink, RefusedConnectionIsASocketError)
{
    QTcpServer unused;
    ASSERT_TRUE(unused.listen(QHostAddress::LocalHost, 0));
    const quint16 port = unused.serverPort();
    unused.close();
    l2->setPort(port);
    l2->open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors > 0; }, LONG_WAIT));
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(ups, 0);
    EXPECT_FALSE(l2->isActive());
    EXPECT_NE(traceFile().find(" {L2} <AGWError> Socket Error from AGWPE\r\n"), std::string::npos);
}

TEST_F(QtLink, PortAbove65535IsASocketError)
{
    l2->setPort(70000);
    l2->open();
    EXPECT_EQ(errors, 0) << "reported from the event loop, not from inside Open";
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors > 0; }, LONG_WAIT));
    EXPECT_FALSE(l2->isActive());
}

TEST_F(QtLink, PeerCloseIsADisconnectNotAnError)
{
    accept();
    receive(2 * 36); // unread bytes would make the close a reset
    peer->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return downs > 0; }, LONG_WAIT));
    EXPECT_EQ(errors, 0);
    EXPECT_FALSE(l2->isActive());
    EXPECT_FALSE(l2->write(0, 0, 'G', "", "", ""));
}

TEST_F(QtLink, PeerResetIsASocketError)
{
    accept();
    const linger abortive{1, 0};
    ::setsockopt(static_cast<int>(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    peer->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors > 0; }, LONG_WAIT));
    EXPECT_EQ(downs, 0);
    EXPECT_EQ(l2->lastError(), "Connection reset by peer");
}

TEST_F(QtLink, DestroyingTheLinkClosesTheConnection)
{
    accept();
    l2.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->state() == QAbstractSocket::UnconnectedState; }, LONG_WAIT));
}

TEST(QtTimers, EnabledTimerFiresRepeatedly)
{
    QtTimerFactory factory;
    auto timer = factory.createTimer();
    int ticks = 0;
    timer->onTimer = [&] { ++ticks; };
    timer->setInterval(5);
    EXPECT_FALSE(timer->enabled());
    timer->setEnabled(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, LONG_WAIT));
    timer->setEnabled(false);
    const int stopped = ticks;
    QTest::qWait(50);
    EXPECT_EQ(ticks, stopped);
}

TEST(QtTimers, IntervalZeroNeverFires)
{
    QtTimerFactory factory;
    auto timer = factory.createTimer();
    int ticks = 0;
    timer->onTimer = [&] { ++ticks; };
    timer->setEnabled(true);
    EXPECT_EQ(timer->interval(), 0u);
    QTest::qWait(50);
    EXPECT_EQ(ticks, 0);
    timer->setInterval(5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 1; }, LONG_WAIT));
    timer->setInterval(0);
    const int stopped = ticks;
    QTest::qWait(50);
    EXPECT_EQ(ticks, stopped);
}

TEST(QtTimers, HandlerMayDestroyItsOwnTimer)
{
    QtTimerFactory factory;
    std::unique_ptr<Timer> timer = factory.createTimer();
    int ticks = 0;
    timer->onTimer = [&] {
        ++ticks;
        timer.reset();
    };
    timer->setInterval(5);
    timer->setEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return timer == nullptr; }, LONG_WAIT));
    QTest::qWait(50);
    EXPECT_EQ(ticks, 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
