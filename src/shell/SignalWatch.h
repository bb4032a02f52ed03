// Turns signals (SIGTERM, SIGINT, SIGHUP) into a Qt signal on the event loop
// (self-pipe), so that they are acted on there: the program ends like a
// confirmed Shutdown, or reads its settings again.
#pragma once

#include <QObject>

#include <initializer_list>
#include <vector>

class QSocketNotifier;

class SignalWatch : public QObject {
    Q_OBJECT
public:
    explicit SignalWatch(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~SignalWatch() override;

signals:
    void raised(int signalNumber);

private:
    void drain();

    std::vector<int> signals_;
    int readFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};
