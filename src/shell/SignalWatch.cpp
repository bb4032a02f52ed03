// SIGTERM and SIGINT turned into a Qt signal through a self-pipe.
#include "SignalWatch.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace {

int writeFd = -1;

void onSignal(int signalNumber)
{
    int saved = errno;
    auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] ssize_t written = ::write(writeFd, &byte, 1);
    errno = saved;
}

} // namespace

SignalWatch::SignalWatch(std::initializer_list<int> signalNumbers, QObject* parent) : QObject(parent)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    readFd_ = fds[0];
    writeFd = fds[1];
    notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatch::drain);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : signalNumbers) {
        ::sigaction(number, &action, nullptr);
        signals_.push_back(number);
    }
}

SignalWatch::~SignalWatch()
{
    for (int number : signals_)
        std::signal(number, SIG_DFL);
    notifier_->setEnabled(false);
    ::close(readFd_);
    ::close(writeFd);
    writeFd = -1;
}

void SignalWatch::drain()
{
    unsigned char bytes[16];
    ssize_t count;
    while ((count = ::read(readFd_, bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < count; ++i)
            emit raised(bytes[i]);
}
