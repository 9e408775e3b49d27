#pragma once

#include "BarFormat.h"
#include "refresh/RefreshState.h"

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

namespace creditgauge {

class RefreshCycle;

// The balance for text status bars: one line per state the refresh cycle reports, written to a
// file descriptor (standard output) at once. When the reader goes away (the bar restarted) it
// says so through finished(0), at the next line or as soon as the pipe reports it.
class StatusBarOutput : public QObject
{
    Q_OBJECT
public:
    using Format = BarFormat;

    // The line for `state` without its line feed; empty for a state that prints nothing (the
    // cycle has not answered yet).
    static QByteArray line(Format format, const RefreshState &state);
    // The colour a bar without style sheets shows the title in while it is alarming.
    static constexpr const char *alarmColor = "#ff7b72";

    StatusBarOutput(RefreshCycle &cycle, Format format, int fd, QObject *parent = nullptr);

    // i3blocks (from 1.5 on) writes a line to a persistent block's standard input for every
    // click; each line read from `fd` asks for a refresh. An input the bar reads itself is left
    // alone.
    void takeClicksFrom(int fd);

Q_SIGNALS:
    // Nothing more can be written: 0 when the reader has gone, 1 on any other write error.
    void finished(int exitCode);

private:
    void write(const QByteArray &line);
    void checkReader();
    void readClicks();

    RefreshCycle &m_cycle;
    const Format m_format;
    const int m_fd;
    bool m_finished = false;
    QSocketNotifier *m_readerGone = nullptr;
    QSocketNotifier *m_clicks = nullptr;
    int m_clicksFd = -1;
    QByteArray m_pendingClick;
};

} // namespace creditgauge
