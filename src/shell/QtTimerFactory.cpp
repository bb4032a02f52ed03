// Timers on QTimer.
#include "QtTimerFactory.h"

#include <QTimer>

#include <climits>

QtTimer::QtTimer() : timer_(new QTimer)
{
    QObject::connect(timer_, &QTimer::timeout, timer_, [this] {
        // A copy, because the handler may destroy this timer and its onTimer.
        auto handler = onTimer;
        if (handler)
            handler();
    });
}

QtTimer::~QtTimer()
{
    timer_->disconnect();
    timer_->stop();
    timer_->deleteLater();
}

void QtTimer::restart()
{
    if (enabled_ && interval_ > 0)
        timer_->start(static_cast<int>(std::min<uint32_t>(interval_, INT_MAX)));
    else
        timer_->stop();
}

void QtTimer::setInterval(uint32_t milliseconds)
{
    interval_ = milliseconds;
    restart();
}

void QtTimer::setEnabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    restart();
}

std::unique_ptr<Timer> QtTimerFactory::createTimer()
{
    return std::make_unique<QtTimer>();
}
