// An exception must never unwind through Qt's event loop. These wrappers sit
// between the Qt socket and timers and the core, catch whatever a core handler
// throws around each notification, and hand its text to a reporter; the
// program then goes on.
#pragma once

#include "support/ClientSocket.h"
#include "support/Timer.h"

#include <functional>
#include <memory>
#include <string>

using ErrorReporter = std::function<void(const std::string& what)>;

// Runs `work`; an exception it throws goes to `report` instead.
void RunGuarded(const ErrorReporter& report, const std::function<void()>& work);

class GuardedSocket : public ClientSocket {
public:
    GuardedSocket(std::unique_ptr<ClientSocket> inner, ErrorReporter report);

    void ConnectTo(const std::string& host, uint32_t port) override { inner_->ConnectTo(host, port); }
    bool IsOpen() const override { return inner_->IsOpen(); }
    void SendBytes(std::string_view bytes) override { inner_->SendBytes(bytes); }
    std::string ReadAll() override { return inner_->ReadAll(); }
    void Close() override { inner_->Close(); }

private:
    std::unique_ptr<ClientSocket> inner_;
    ErrorReporter report_;
};

class GuardedTimer : public Timer {
public:
    GuardedTimer(std::unique_ptr<Timer> inner, ErrorReporter report);

    void SetInterval(uint32_t milliseconds) override { inner_->SetInterval(milliseconds); }
    uint32_t Interval() const override { return inner_->Interval(); }
    void SetEnabled(bool enabled) override { inner_->SetEnabled(enabled); }
    bool Enabled() const override { return inner_->Enabled(); }

private:
    std::unique_ptr<Timer> inner_;
};

class GuardedTimerFactory : public TimerFactory {
public:
    GuardedTimerFactory(TimerFactory& inner, ErrorReporter report) : inner_(inner), report_(std::move(report)) {}
    std::unique_ptr<Timer> CreateTimer() override;

private:
    TimerFactory& inner_;
    ErrorReporter report_;
};
