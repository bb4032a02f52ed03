// Socket and timer wrappers that catch an exception escaping a handler.
#include "GuardedEvents.h"

#include <exception>

void runGuarded(const ErrorReporter& report, const std::function<void()>& work)
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
    inner_->onConnected = [this] {
        runGuarded(report_, [this] {
            if (onConnected)
                onConnected();
        });
    };
    inner_->onClosed = [this] {
        runGuarded(report_, [this] {
            if (onClosed)
                onClosed();
        });
    };
    inner_->onError = [this](int& code) {
        runGuarded(report_, [this, &code] {
            if (onError)
                onError(code);
        });
    };
    inner_->onDataAvailable = [this] {
        runGuarded(report_, [this] {
            if (onDataAvailable)
                onDataAvailable();
        });
    };
    inner_->onWritten = [this] {
        runGuarded(report_, [this] {
            if (onWritten)
                onWritten();
        });
    };
}

GuardedListenSocket::GuardedListenSocket(std::unique_ptr<ListenSocket> inner, ErrorReporter report)
    : inner_(std::move(inner)), report_(std::move(report))
{
    inner_->onAccept = [this](std::unique_ptr<ClientSocket> socket, const std::string& peerAddress) {
        auto guarded = std::make_unique<GuardedSocket>(std::move(socket), report_);
        runGuarded(report_, [this, &guarded, &peerAddress] {
            if (onAccept)
                onAccept(std::move(guarded), peerAddress);
        });
    };
}

GuardedTimer::GuardedTimer(std::unique_ptr<Timer> inner, ErrorReporter report) : inner_(std::move(inner))
{
    // The handler may destroy this timer: work on copies and leave `this` alone afterwards.
    inner_->onTimer = [this, report = std::move(report)] {
        auto handler = onTimer;
        auto reporter = report;
        if (handler)
            runGuarded(reporter, handler);
    };
}

std::unique_ptr<Timer> GuardedTimerFactory::createTimer()
{
    return std::make_unique<GuardedTimer>(inner_.createTimer(), report_);
}
