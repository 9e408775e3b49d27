#pragma once

#include "StatusBarOutput.h"
#include "core/Provider.h"
#include "refresh/RefreshCycle.h"
#include "session/UnixSignals.h"

#include <QObject>

#include <optional>

namespace creditgauge {

// The text-bar mode: the refresh cycle with the stored key, its states as lines on `outFd`,
// until the reader goes away or SIGTERM, SIGINT or SIGHUP arrives (finished(0)). SIGUSR1 asks
// for a refresh; so does each line on `inFd` in the i3blocks format (its clicks). When the
// session bus it was connected to goes away, it says so on standard error and ends with
// finished(1).
class StatusBarMode : public QObject
{
    Q_OBJECT
public:
    // With `options.allProviders` set, the line holds every provider that has a key.
    StatusBarMode(BarFormat format, const RefreshCycle::Options &options, int outFd, int inFd,
                  QObject *parent = nullptr);

    // The first query once the event loop runs.
    void start();
    RefreshCycle &cycle() { return m_cycle; }

Q_SIGNALS:
    void finished(int exitCode);

private Q_SLOTS:
    void sessionBusGone();

private:
    RefreshCycle m_cycle;
    StatusBarOutput m_output;
    UnixSignals m_signals;
};

// The mode as the whole process: no display, no widgets, standard output and input. `account`
// (an id or a name) replaces the stored choice for this run; `all` shows every account with a
// key in the text. An account that is not there ends it with status 2.
int runStatusBar(int argc, char *argv[], BarFormat format, const std::optional<QString> &account,
                 bool all = false);

} // namespace creditgauge
