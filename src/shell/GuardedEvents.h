// An exception must never unwind through Qt's event loop. These wrappers sit
// between the Qt socket and timers and the core, catch whatever a core handler
// throws around each notification, and hand its text to a reporter; the
// program then goes on.
#pragma once

#include "support/ClientSocket.h"
#include "support/ListenSocket.h"
#include "support/Timer.h"

#include <functional>
#include <memory>
#include <string>

using ErrorReporter = std::function<void(const std::string& what)>;

// Runs `work`; an exception it throws goes to `report` instead.
void runGuarded(const ErrorReporter& report, const std::function<void()>& work);

class GuardedSocket : public ClientSocket {
public:
    GuardedSocket(std::unique_ptr<ClientSocket> inner, ErrorReporter report);

    void connectTo(const std::string& host, uint32_t port) override { inner_->connectTo(host, port); }
    bool isOpen() const override { return inner_->isOpen(); }
    void sendBytes(std::string_view bytes) override { inner_->sendBytes(bytes); }
    std::string readAll() override { return inner_->readAll(); }
    void close() override { inner_->close(); }
    size_t bytesToWrite() const override { return inner_->bytesToWrite(); }
    void flush(int milliseconds) override { inner_->flush(milliseconds); }
    std::string errorString() const override { return inner_->errorString(); }
    void setReading(bool on) override { inner_->setReading(on); }
    uint16_t peerPort() const override { return inner_->peerPort(); }

private:
    std::unique_ptr<ClientSocket> inner_;
    ErrorReporter report_;
};

// Accepted connections come out guarded as well.
class GuardedListenSocket : public ListenSocket {
public:
    GuardedListenSocket(std::unique_ptr<ListenSocket> inner, ErrorReporter report);

    bool listen(const std::string& address, uint32_t port, std::string& error) override
    {
        return inner_->listen(address, port, error);
    }
    void close() override { inner_->close(); }

private:
    std::unique_ptr<ListenSocket> inner_;
    ErrorReporter report_;
};

class GuardedTimer : public Timer {
public:
    GuardedTimer(std::unique_ptr<Timer> inner, ErrorReporter report);

    void setInterval(uint32_t milliseconds) override { inner_->setInterval(milliseconds); }
    uint32_t interval() const override { return inner_->interval(); }
    void setEnabled(bool enabled) override { inner_->setEnabled(enabled); }
    bool enabled() const override { return inner_->enabled(); }

private:
    std::unique_ptr<Timer> inner_;
};

class GuardedTimerFactory : public TimerFactory {
public:
    GuardedTimerFactory(TimerFactory& inner, ErrorReporter report) : inner_(inner), report_(std::move(report)) {}
    std::unique_ptr<Timer> createTimer() override;

private:
    TimerFactory& inner_;
    ErrorReporter report_;
};
