#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

namespace creditgauge {

// Delivers the process's own signals to the event loop: a bar's click sends SIGUSR1 to ask for
// a refresh, and SIGTERM asks the text-bar mode to finish. The handler only writes the signal
// number to a pipe; the event loop reads it and emits received().
//
// Unblocks its signals in the calling thread once its handlers are set, so that a program can
// block them first thing in main() and lose none that arrive while it starts. One instance
// per process at a time, made in the main thread; it restores the default dispositions when it
// goes. Where there are no such signals (Windows) it does nothing.
class UnixSignals : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignals(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~UnixSignals() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void drain();

    QList<int> m_signals;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace creditgauge
