#include "StatusBarOutput.h"

#include "core/Log.h"
#include "refresh/RefreshCycle.h"
#include "refresh/StateText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace creditgauge {
namespace {

QString cssClass(const RefreshState &state)
{
    switch (state.kind) {
    case RefreshState::Kind::Starting:
        break;
    case RefreshState::Kind::NoKey:
        return QStringLiteral("nokey");
    case RefreshState::Kind::StoreUnavailable:
        return QStringLiteral("unavailable");
    case RefreshState::Kind::Waiting:
        return QStringLiteral("waiting");
    case RefreshState::Kind::Failed:
        return QStringLiteral("error");
    case RefreshState::Kind::Balance:
        return state.low() ? QStringLiteral("low") : QStringLiteral("ok");
    }
    return {};
}

// waybar reads both text and tooltip as Pango markup.
QString markupEscaped(const QString &text)
{
    return text.toHtmlEscaped();
}

// "DS ", or with the account's name "DS Arbeit ".
QString initials(const RefreshState &state)
{
    return state.provider.initials() + u' '
        + (state.accountName.isEmpty() ? QString() : state.accountName + u' ');
}

QByteArray compactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray StatusBarOutput::line(Format format, const RefreshState &state,
                                 const QList<RefreshState> &others, bool together)
{
    // Together: every account with a key, in their usual order (by provider, each one's first
    // account first); the selected one alone when none has.
    QList<RefreshState> shown {state};
    if (together && !others.isEmpty()) {
        const bool keyless
            = state.kind == RefreshState::Kind::Starting || state.kind == RefreshState::Kind::NoKey;
        shown = keyless ? others : others + QList {state};
        std::ranges::sort(shown, {}, [](const RefreshState &s) {
            const QString id = s.account().id;
            return std::tuple(s.provider.value(), id.size(), id);
        });
    } else if (state.kind == RefreshState::Kind::Starting) {
        return {};
    }
    const bool alarm = std::ranges::any_of(shown, &RefreshState::alarm);
    const auto text = [&](const auto &part) {
        QStringList parts;
        for (const RefreshState &s : shown)
            parts << part(s, (together ? initials(s) : QString()) + s.title());
        return parts.join(QStringLiteral(" \u00b7 "));
    };
    const QString title = text([](const RefreshState &, const QString &t) { return t; });
    QStringList tooltip = StateText::lines(state);
    for (const RefreshState &other : others)
        tooltip << StateText::overviewLine(other);
    switch (format) {
    case Format::Plain:
        return title.toUtf8();
    case Format::Polybar:
        // Only the alarming figures in red.
        return text([](const RefreshState &s, const QString &t) {
                   return s.alarm() ? QStringLiteral("%{F") + QLatin1String(alarmColor) + u'}' + t
                           + QStringLiteral("%{F-}")
                                    : t;
               })
            .toUtf8();
    case Format::Waybar: {
        // Together, the figures shown are what the class speaks of: a selected provider left
        // out (no key, still loading) has no say.
        const auto worst = std::ranges::find_if(shown, &RefreshState::alarm);
        const QString cls = worst != shown.cend() ? cssClass(*worst)
            : together                            ? QStringLiteral("ok")
                                                  : cssClass(state);
        return compactJson({
            {QStringLiteral("text"), markupEscaped(title)},
            {QStringLiteral("tooltip"), markupEscaped(tooltip.join(QLatin1Char('\n')))},
            {QStringLiteral("class"), cls},
            {QStringLiteral("alt"), together ? QStringLiteral("all") : state.account().id},
        });
    }
    case Format::I3blocks: {
        // i3bar has no tooltip, so the full text names the provider.
        QJsonObject block {
            {QStringLiteral("full_text"),
             together ? title : state.label() + QLatin1Char(' ') + title},
            {QStringLiteral("short_text"), title},
        };
        if (alarm)
            block.insert(QStringLiteral("color"), QString::fromLatin1(alarmColor));
        return compactJson(block);
    }
    }
    Q_UNREACHABLE();
    return {};
}

StatusBarOutput::StatusBarOutput(RefreshCycle &cycle, Format format, int fd, bool together,
                                 QObject *parent)
    : QObject(parent)
    , m_cycle(cycle)
    , m_format(format)
    , m_together(together)
    , m_fd(fd)
{
    connect(&m_cycle, &RefreshCycle::stateChanged, this, &StatusBarOutput::update);
    connect(&m_cycle, &RefreshCycle::otherChanged, this, &StatusBarOutput::update);
    // Together, the first line waits for every watched provider's first answer, so that the
    // module does not grow once per answer; a slow one joins later.
    m_settled = !together;
    if (together) {
        QTimer::singleShot(firstLineWait, this, [this] {
            m_settled = true;
            update();
        });
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)))
        return;
    // A pipe or socket whose reader has gone polls as an error or hang-up; noticing it at once
    // ends a process that would otherwise linger until its next line. Terminals and files
    // never report that, and a terminal would wake the notifier with every key typed.
    m_readerGone = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readerGone, &QSocketNotifier::activated, this, &StatusBarOutput::checkReader);

    // O_NONBLOCK belongs to the open file description, which the process that started us (or
    // its other children) may share; a description of our own leaves theirs as it was.
    if (S_ISSOCK(info.st_mode)) {
        m_sink = Sink::Socket;
    } else {
        const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
        m_ownFd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        m_sink = m_ownFd >= 0 ? Sink::OwnPipe : Sink::SharedPipe;
    }
    m_writable = new QSocketNotifier(m_ownFd >= 0 ? m_ownFd : fd, QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable, &QSocketNotifier::activated, this, &StatusBarOutput::flush);
}

StatusBarOutput::~StatusBarOutput()
{
    if (m_ownFd < 0)
        return;
    delete m_writable;
    ::close(m_ownFd);
}

void StatusBarOutput::takeClicksFrom(int fd)
{
    // i3blocks before 1.5 gives a persistent block no input of its own but its own standard
    // input, which carries the clicks on every block and which it reads when SIGIO says so
    // (O_ASYNC). Reading it would steal clicks from i3blocks; there SIGUSR1 has to do.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ASYNC)) {
        qCDebug(log::refresh, "standard input is shared with the bar: clicks come by signal");
        return;
    }
    m_clicksFd = fd;
    m_clicks = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_clicks, &QSocketNotifier::activated, this, &StatusBarOutput::readClicks);
}

void StatusBarOutput::update()
{
    if (!m_settled && m_cycle.firstAnswersPending())
        return;
    m_settled = true;
    write(line(m_format, m_cycle.state(), m_cycle.others(), m_together));
}

void StatusBarOutput::write(const QByteArray &text)
{
    if (text.isEmpty() || m_finished)
        return;
    QByteArray whole = text + '\n';
    // What the bar shows, or is about to once the pipe drains, is the newest state already; a
    // refresh often ends where the last one did.
    if (whole == m_current) {
        m_next.clear();
        return;
    }
    m_next = std::move(whole);
    flush();
}

// A line that has begun is finished before the next begins, so that no line is cut or mixed;
// one that has not begun gives way to a newer one.
void StatusBarOutput::flush()
{
    while (!m_finished) {
        const bool begun = m_written < m_current.size();
        if (!begun && m_next.isEmpty())
            break;
        const QByteArray &line = begun ? m_current : m_next;
        const qsizetype offset = begun ? m_written : 0;
        const ssize_t count = writeSome(line.constData() + offset, size_t(line.size() - offset));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                m_writable->setEnabled(true);
            else
                fail(errno);
            return;
        }
        if (!begun) {
            m_current = std::exchange(m_next, {});
            m_written = 0;
        }
        m_written += count;
    }
    if (m_writable)
        m_writable->setEnabled(false);
}

ssize_t StatusBarOutput::writeSome(const char *data, size_t size)
{
    switch (m_sink) {
    case Sink::Blocking:
        break;
    case Sink::OwnPipe:
        return ::write(m_ownFd, data, size);
    case Sink::SharedPipe: {
        // Non-blocking only for the moment of this write, so that whoever shares the
        // description finds it as it was.
        const int flags = ::fcntl(m_fd, F_GETFL);
        if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0)
            break;
        const ssize_t count = ::write(m_fd, data, size);
        const int error = errno;
        ::fcntl(m_fd, F_SETFL, flags);
        errno = error;
        return count;
    }
    case Sink::Socket:
        return ::send(m_fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    return ::write(m_fd, data, size);
}

void StatusBarOutput::fail(int error)
{
    m_finished = true;
    if (m_writable)
        m_writable->setEnabled(false);
    if (error != EPIPE)
        qCWarning(log::refresh, "writing the status line failed: %s", std::strerror(error));
    Q_EMIT finished(error == EPIPE ? 0 : 1);
}

void StatusBarOutput::checkReader()
{
    pollfd probe {m_fd, 0, 0};
    if (::poll(&probe, 1, 0) == 1 && (probe.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        m_readerGone->setEnabled(false);
        fail(EPIPE);
        return;
    }
    // Readable for another reason (a socket the bar writes to): stop listening rather than
    // wake for it again and again; a gone reader still shows at the next line.
    m_readerGone->setEnabled(false);
}

void StatusBarOutput::readClicks()
{
    char bytes[4096];
    const auto count = ::read(m_clicksFd, bytes, sizeof bytes);
    if (count <= 0) {
        // The end of the input, or an error: no more clicks, the output goes on.
        if (count == 0 || (errno != EINTR && errno != EAGAIN))
            m_clicks->setEnabled(false);
        return;
    }
    m_pendingClick.append(bytes, count);
    bool clicked = false;
    while (m_pendingClick.contains('\n')) {
        m_pendingClick.remove(0, m_pendingClick.indexOf('\n') + 1);
        clicked = true;
    }
    // Only line ends count; an endless line must not grow without bound.
    if (m_pendingClick.size() > 65536)
        m_pendingClick.clear();
    if (clicked) {
        qCDebug(log::refresh, "a click arrived on standard input");
        m_cycle.refresh(RefreshCycle::Trigger::User);
    }
}

} // namespace creditgauge
