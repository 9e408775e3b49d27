#pragma once

#include "BarFormat.h"
#include "refresh/RefreshState.h"

#include <QByteArray>
#include <QObject>

#include <chrono>

#include <sys/types.h>

class QSocketNotifier;

namespace creditgauge {

class RefreshCycle;

// The balance for text status bars: one line per state the refresh cycle reports, written to a
// file descriptor (standard output) at once. When the reader goes away (the bar restarted) it
// says so through finished(0), at the next line or as soon as the pipe reports it.
//
// A pipe or socket is never waited on: a bar that stops reading must not stall the event loop,
// which would leave SIGTERM unanswered. While it is full, the line that has begun is finished
// once it drains, and of the lines that come meanwhile only the newest follows it. A line equal
// to the last one is not written again.
class StatusBarOutput : public QObject
{
    Q_OBJECT
public:
    using Format = BarFormat;

    // The line for `state` without its line feed; empty for a state that prints nothing (the
    // cycle has not answered yet). The `others` watched beside it join the tooltip; `together`,
    // they stand in the text too, each after its initials: "DS ¥ 12 · OR $ 3".
    static QByteArray line(Format format, const RefreshState &state,
                           const QList<RefreshState> &others = {}, bool together = false);
    // The colour a bar without style sheets shows the title in while it is alarming.
    static constexpr const char *alarmColor = "#ff7b72";
    // Together, the longest the first line waits for the first answers of all providers.
    static constexpr std::chrono::seconds firstLineWait {3};

    StatusBarOutput(RefreshCycle &cycle, Format format, int fd, bool together = false,
                    QObject *parent = nullptr);
    ~StatusBarOutput() override;

    // i3blocks (from 1.5 on) writes a line to a persistent block's standard input for every
    // click; each line read from `fd` asks for a refresh. An input the bar reads itself is left
    // alone.
    void takeClicksFrom(int fd);

Q_SIGNALS:
    // Nothing more can be written: 0 when the reader has gone, 1 on any other write error.
    void finished(int exitCode);

private:
    // How the lines go out: a terminal or file as it comes; a pipe through a description of
    // our own that does not block; the pipe's shared description, made non-blocking for each
    // write only, where it cannot be opened again (no /proc); a socket without waiting.
    enum class Sink { Blocking, OwnPipe, SharedPipe, Socket };

    void update();
    void write(const QByteArray &line);
    void flush();
    ssize_t writeSome(const char *data, size_t size);
    void fail(int error);
    void checkReader();
    void readClicks();

    RefreshCycle &m_cycle;
    const Format m_format;
    const bool m_together;
    const int m_fd;
    Sink m_sink = Sink::Blocking;
    int m_ownFd = -1;
    QSocketNotifier *m_writable = nullptr;
    // The line last begun, with its line feed, and how much of it is out; the newest line
    // waiting for the pipe to take it.
    QByteArray m_current;
    qsizetype m_written = 0;
    QByteArray m_next;
    bool m_finished = false;
    bool m_settled = true; // the first line may go out
    QSocketNotifier *m_readerGone = nullptr;
    QSocketNotifier *m_clicks = nullptr;
    int m_clicksFd = -1;
    QByteArray m_pendingClick;
};

} // namespace creditgauge
