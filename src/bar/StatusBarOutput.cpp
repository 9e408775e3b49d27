#include "StatusBarOutput.h"

#include "core/Log.h"
#include "refresh/RefreshCycle.h"
#include "refresh/StateText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
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
    case RefreshState::Kind::Failed:
        return QStringLiteral("error");
    case RefreshState::Kind::Balance:
        return isLow(*state.balance) ? QStringLiteral("low") : QStringLiteral("ok");
    }
    return {};
}

// waybar reads both text and tooltip as Pango markup.
QString markupEscaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QByteArray compactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray StatusBarOutput::line(Format format, const RefreshState &state)
{
    if (state.kind == RefreshState::Kind::Starting)
        return {};
    const QString title = state.title();
    switch (format) {
    case Format::Plain:
        return title.toUtf8();
    case Format::Polybar:
        if (!state.alarm())
            return title.toUtf8();
        return "%{F" + QByteArray(alarmColor) + '}' + title.toUtf8() + "%{F-}";
    case Format::Waybar:
        return compactJson({
            {QStringLiteral("text"), markupEscaped(title)},
            {QStringLiteral("tooltip"),
             markupEscaped(StateText::lines(state).join(QLatin1Char('\n')))},
            {QStringLiteral("class"), cssClass(state)},
            {QStringLiteral("alt"), state.provider.rawValue()},
        });
    case Format::I3blocks: {
        // i3bar has no tooltip, so the full text names the provider.
        QJsonObject block {
            {QStringLiteral("full_text"), state.provider.displayName() + QLatin1Char(' ') + title},
            {QStringLiteral("short_text"), title},
        };
        if (state.alarm())
            block.insert(QStringLiteral("color"), QString::fromLatin1(alarmColor));
        return compactJson(block);
    }
    }
    Q_UNREACHABLE();
    return {};
}

StatusBarOutput::StatusBarOutput(RefreshCycle &cycle, Format format, int fd, QObject *parent)
    : QObject(parent)
    , m_cycle(cycle)
    , m_format(format)
    , m_fd(fd)
{
    connect(&m_cycle, &RefreshCycle::stateChanged, this,
            [this](const RefreshState &state) { write(line(m_format, state)); });
    // A pipe or socket whose reader has gone polls as an error or hang-up; noticing it at once
    // ends a process that would otherwise linger until its next line. Terminals and files
    // never report that, and a terminal would wake the notifier with every key typed.
    struct stat info;
    if (::fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        m_readerGone = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_readerGone, &QSocketNotifier::activated, this, &StatusBarOutput::checkReader);
    }
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

void StatusBarOutput::write(const QByteArray &text)
{
    if (text.isEmpty() || m_finished)
        return;
    const QByteArray whole = text + '\n';
    qsizetype done = 0;
    while (done < whole.size()) {
        const auto count = ::write(m_fd, whole.constData() + done, size_t(whole.size() - done));
        if (count >= 0) {
            done += count;
            continue;
        }
        if (errno == EINTR)
            continue;
        const int error = errno;
        m_finished = true;
        if (error != EPIPE)
            qCWarning(log::refresh, "writing the status line failed: %s", std::strerror(error));
        Q_EMIT finished(error == EPIPE ? 0 : 1);
        return;
    }
}

void StatusBarOutput::checkReader()
{
    pollfd probe {m_fd, 0, 0};
    if (::poll(&probe, 1, 0) == 1 && (probe.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        m_finished = true;
        m_readerGone->setEnabled(false);
        Q_EMIT finished(0);
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
