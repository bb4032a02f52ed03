// The single-instance guard and the wrappers that keep handler exceptions out
// of Qt's event loop.
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "shell/GuardedEvents.h"
#include "shell/InstanceGuard.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string UniqueName(const char* what)
{
    return std::string("palavoro-test-") + what + "-" + std::to_string(::getpid());
}

TEST(InstanceGuard, SecondHolderOfTheSameNameIsRefused)
{
    InstanceGuard first(UniqueName("same"));
    InstanceGuard second(UniqueName("same"));
    EXPECT_TRUE(first.Acquire());
    EXPECT_FALSE(second.Acquire());
    EXPECT_FALSE(second.Held());
}

TEST(InstanceGuard, NameIsFreeAgainOnceTheHolderIsGone)
{
    {
        InstanceGuard first(UniqueName("again"));
        ASSERT_TRUE(first.Acquire());
    }
    InstanceGuard next(UniqueName("again"));
    EXPECT_TRUE(next.Acquire());
}

TEST(InstanceGuard, DifferentNamesDoNotCollide)
{
    InstanceGuard one(UniqueName("one"));
    InstanceGuard two(UniqueName("two"));
    EXPECT_TRUE(one.Acquire());
    EXPECT_TRUE(two.Acquire());
}

TEST(InstanceGuard, EnvironmentReplacesTheDefaultName)
{
    ::unsetenv("PALAVORO_INSTANCE");
    EXPECT_EQ(InstanceGuard::DefaultName(), "Palavoro");
    ::setenv("PALAVORO_INSTANCE", "palavoro-test-run", 1);
    EXPECT_EQ(InstanceGuard::DefaultName(), "palavoro-test-run");
    ::unsetenv("PALAVORO_INSTANCE");
}

class GuardedEventsTest : public ::testing::Test {
protected:
    ErrorReporter Recorder()
    {
        return [this](const std::string& what) { reported.push_back(what); };
    }
    std::vector<std::string> reported;
};

TEST_F(GuardedEventsTest, SocketHandlerExceptionIsReportedAndTheCallReturns)
{
    auto inner = std::make_unique<FakeSocket>();
    FakeSocket* fake = inner.get();
    GuardedSocket socket(std::move(inner), Recorder());
    int reads = 0;
    socket.OnDataAvailable = [&] {
        ++reads;
        throw std::runtime_error("decoder fell over");
    };
    fake->Deliver("abc");
    fake->Deliver("def");
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(reported, (std::vector<std::string>{"decoder fell over", "decoder fell over"}));
    EXPECT_EQ(socket.ReadAll(), "abcdef");
}

TEST_F(GuardedEventsTest, SocketNotificationsAndCallsPassThrough)
{
    auto inner = std::make_unique<FakeSocket>();
    FakeSocket* fake = inner.get();
    GuardedSocket socket(std::move(inner), Recorder());
    std::vector<std::string> seen;
    socket.OnConnected = [&] { seen.push_back("up"); };
    socket.OnClosed = [&] { seen.push_back("down"); };
    socket.OnError = [&](int& code) {
        seen.push_back("error " + std::to_string(code));
        code = 0;
    };
    socket.ConnectTo("127.0.0.1", 8000);
    fake->Connect();
    EXPECT_TRUE(socket.IsOpen());
    socket.SendBytes("xyz");
    fake->PeerClose();
    EXPECT_EQ(fake->Fail(111), 0);
    EXPECT_EQ(fake->Host, "127.0.0.1");
    EXPECT_EQ(fake->ConnectPort, 8000u);
    EXPECT_EQ(fake->Sent, "xyz");
    EXPECT_EQ(seen, (std::vector<std::string>{"up", "down", "error 111"}));
    EXPECT_TRUE(reported.empty());
}

TEST_F(GuardedEventsTest, TimerHandlerExceptionIsReportedAndTheTimerGoesOn)
{
    ManualClock clock;
    GuardedTimerFactory timers(clock, Recorder());
    auto timer = timers.CreateTimer();
    int ticks = 0;
    timer->OnTimer = [&] {
        ++ticks;
        throw std::logic_error("no such user");
    };
    timer->SetInterval(1000);
    timer->SetEnabled(true);
    clock.Advance(2000);
    EXPECT_EQ(ticks, 2);
    EXPECT_EQ(reported.size(), 2u);
    EXPECT_EQ(timer->Interval(), 1000u);
    EXPECT_TRUE(timer->Enabled());
}

TEST_F(GuardedEventsTest, TimerHandlerMayDestroyItsOwnTimer)
{
    ManualClock clock;
    GuardedTimerFactory timers(clock, Recorder());
    std::unique_ptr<Timer> timer = timers.CreateTimer();
    timer->OnTimer = [&] { timer.reset(); };
    timer->SetInterval(500);
    timer->SetEnabled(true);
    clock.Advance(2000);
    EXPECT_EQ(timer, nullptr);
    EXPECT_EQ(clock.LiveTimers(), 0u);
}

} // namespace
