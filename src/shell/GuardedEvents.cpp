#include "GuardedEvents.h"

#include <exception>

void RunGuarded(const ErrorReporter& report, const std::function<void()>& work)
{
    try {
        work();
    } catch (const std::exception& error) {
        if (report)
            report(error.what());
    } catch (...) {
        if (report)
            report("unknown exception");
    }
}

GuardedSocket::GuardedSocket(std::unique_ptr<ClientSocket> inner, ErrorReporter report)
    : inner_(std::move(inner)), report_(std::move(report))
{
    inner_->OnConnected = [this] {
        RunGuarded(report_, [this] {
            if (OnConnected)
                OnConnected();
        });
    };
    inner_->OnClosed = [this] {
        RunGuarded(report_, [this] {
            if (OnClosed)
                OnClosed();
        });
    };
    inner_->OnError = [this](int& code) {
        RunGuarded(report_, [this, &code] {
            if (OnError)
                OnError(code);
        });
    };
    inner_->OnDataAvailable = [this] {
        RunGuarded(report_, [this] {
            if (OnDataAvailable)
                OnDataAvailable();
        });
    };
}

GuardedTimer::GuardedTimer(std::unique_ptr<Timer> inner, ErrorReporter report) : inner_(std::move(inner))
{
    // The handler may destroy this timer: work on copies and leave `this` alone afterwards.
    inner_->OnTimer = [this, report = std::move(report)] {
        auto handler = OnTimer;
        auto reporter = report;
        if (handler)
            RunGuarded(reporter, handler);
    };
}

std::unique_ptr<Timer> GuardedTimerFactory::CreateTimer()
{
    return std::make_unique<GuardedTimer>(inner_.CreateTimer(), report_);
}
