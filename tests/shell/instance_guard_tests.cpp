// The single-instance guard and the wrappers that keep handler exceptions out
// of Qt's event loop.
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "shell/GuardedEvents.h"
#include "shell/InstanceGuard.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string uniqueName(const char* what)
{
    return std::string("palavoro-test-") + what + "-" + std::to_string(::getpid());
}

TEST(InstanceGuard, SecondHolderOfTheSameNameIsRefused)
{
    InstanceGuard first(uniqueName("same"));
    InstanceGuard second(uniqueName("same"));
    EXPECT_TRUE(first.acquire());
    EXPECT_FALSE(second.acquire());
    EXPECT_FALSE(second.held());
}

TEST(InstanceGuard, TheRefusedCopyLearnsWhereTheHolderRuns)
{
    InstanceGuard first(uniqueName("where"));
    InstanceGuard second(uniqueName("where"));
    EXPECT_EQ(second.holder(), "");
    ASSERT_TRUE(first.acquire());
    EXPECT_EQ(second.holder(), "PID " + std::to_string(::getpid()) + " in " + std::filesystem::current_path().string() +
                                   (std::filesystem::current_path() == "/" ? "" : "/"));
}

TEST(InstanceGuard, NameIsFreeAgainOnceTheHolderIsGone)
{
    {
        InstanceGuard first(uniqueName("again"));
        ASSERT_TRUE(first.acquire());
    }
    InstanceGuard next(uniqueName("again"));
    EXPECT_TRUE(next.acquire());
}

TEST(InstanceGuard, DifferentNamesDoNotCollide)
{
    InstanceGuard one(uniqueName("one"));
    InstanceGuard two(uniqueName("two"));
    EXPECT_TRUE(one.acquire());
    EXPECT_TRUE(two.acquire());
}

TEST(InstanceGuard, EnvironmentReplacesTheDefaultName)
{
    ::unsetenv("PALAVORO_INSTANCE");
    EXPECT_EQ(InstanceGuard::defaultName(), "Palavoro");
    ::setenv("PALAVORO_INSTANCE", "palavoro-test-run", 1);
    EXPECT_EQ(InstanceGuard::defaultName(), "palavoro-test-run");
    ::unsetenv("PALAVORO_INSTANCE");
}

class GuardedEventsTest : public ::testing::Test {
protected:
    ErrorReporter recorder()
    {
        return [this](const std::string& what) { reported.push_back(what); };
    }
    std::vector<std::string> reported;
};

TEST_F(GuardedEventsTest, SocketHandlerExceptionIsReportedAndTheCallReturns)
{
    auto inner = std::make_unique<FakeSocket>();
    FakeSocket* fake = inner.get();
    GuardedSocket socket(std::move(inner), recorder());
    int reads = 0;
    socket.onDataAvailable = [&] {
        ++reads;
        throw std::runtime_error("decoder fell over");
    };
    fake->deliver("abc");
    fake->deliver("def");
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(reported, (std::vector<std::string>{"decoder fell over", "decoder fell over"}));
    EXPECT_EQ(socket.readAll(), "abcdef");
}

TEST_F(GuardedEventsTest, SocketNotificationsAndCallsPassThrough)
{
    auto inner = std::make_unique<FakeSocket>();
    FakeSocket* fake = inner.get();
    GuardedSocket socket(std::move(inner), recorder());
    std::vector<std::string> seen;
    socket.onConnected = [&] { seen.push_back("up"); };
    socket.onClosed = [&] { seen.push_back("down"); };
    socket.onError = [&](int& code) {
        seen.push_back("error " + std::to_string(code));
        code = 0;
    };
    socket.connectTo("127.0.0.1", 8000);
    fake->connect();
    EXPECT_TRUE(socket.isOpen());
    socket.sendBytes("xyz");
    fake->peerClose();
    EXPECT_EQ(fake->fail(111), 0);
    EXPECT_EQ(fake->host, "127.0.0.1");
    EXPECT_EQ(fake->connectPort, 8000u);
    EXPECT_EQ(fake->sent, "xyz");
    EXPECT_EQ(seen, (std::vector<std::string>{"up", "down", "error 111"}));
    EXPECT_TRUE(reported.empty());
}

TEST_F(GuardedEventsTest, TimerHandlerExceptionIsReportedAndTheTimerGoesOn)
{
    ManualClock clock;
    GuardedTimerFactory timers(clock, recorder());
    auto timer = timers.createTimer();
    int ticks = 0;
    timer->onTimer = [&] {
        ++ticks;
        throw std::logic_error("no such user");
    };
    timer->setInterval(1000);
    timer->setEnabled(true);
    clock.advance(2000);
    EXPECT_EQ(ticks, 2);
    EXPECT_EQ(reported.size(), 2u);
    EXPECT_EQ(timer->interval(), 1000u);
    EXPECT_TRUE(timer->enabled());
}

TEST_F(GuardedEventsTest, TimerHandlerMayDestroyItsOwnTimer)
{
    ManualClock clock;
    GuardedTimerFactory timers(clock, recorder());
    std::unique_ptr<Timer> timer = timers.createTimer();
    timer->onTimer = [&] { timer.reset(); };
    timer->setInterval(500);
    timer->setEnabled(true);
    clock.advance(2000);
    EXPECT_EQ(timer, nullptr);
    EXPECT_EQ(clock.liveTimers(), 0u);
}

} // namespace
