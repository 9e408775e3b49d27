#include "StatusBarMode.h"

#include "store/Settings.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace creditgauge {

StatusBarMode::StatusBarMode(BarFormat format, const RefreshCycle::Options &options, int outFd,
                             int inFd, QObject *parent)
    : QObject(parent)
    , m_cycle(options)
    , m_output(m_cycle, format, outFd, options.allProviders.value_or(false))
    , m_signals({SIGUSR1, SIGTERM, SIGINT, SIGHUP})
{
    // A reader that goes away shows as EPIPE on the next line instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (format == BarFormat::I3blocks)
        m_output.takeClicksFrom(inFd);
    connect(&m_output, &StatusBarOutput::finished, this, &StatusBarMode::finished);
    connect(&m_signals, &UnixSignals::received, this, [this](int number) {
        if (number == SIGUSR1)
            m_cycle.refresh(RefreshCycle::Trigger::User);
        else
            Q_EMIT finished(0);
    });
    // With the session ended (a logout, a dbus-daemon killed) the keyring stays out of reach:
    // a failure the bar should see, to restart the mode or show it, rather than a mode that
    // runs on without a word. Started without a session bus, there is nothing to lose.
    QDBusConnection::sessionBus().connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                                          QStringLiteral("org.freedesktop.DBus.Local"),
                                          QStringLiteral("Disconnected"), this,
                                          SLOT(sessionBusGone()));
}

void StatusBarMode::sessionBusGone()
{
    std::fputs("creditgauge: Die D-Bus-Sitzung ist beendet; ohne sie ist der Schlüsselbund "
               "nicht mehr erreichbar.\n",
               stderr);
    Q_EMIT finished(1);
}

void StatusBarMode::start()
{
    QTimer::singleShot(0, &m_cycle, &RefreshCycle::start);
}

int runStatusBar(int argc, char *argv[], BarFormat format, const std::optional<QString> &account,
                 bool all)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("creditgauge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CREDITGAUGE_VERSION));

    RefreshCycle::Options options;
    if (account) {
        const std::optional<Account> chosen = Settings::accountNamed(*account);
        if (!chosen) {
            QStringList names;
            for (const Account &a : Settings::accounts())
                names << (a.name.isEmpty() ? a.id : a.name);
            std::fputs(qUtf8Printable(QStringLiteral("creditgauge: Kein Konto \u201E%1\u201C "
                                                     "(%2).\n")
                                          .arg(*account, names.join(QStringLiteral(", ")))),
                       stderr);
            return 2;
        }
        options.account = chosen->id;
    }
    if (all)
        options.allProviders = true;
    StatusBarMode mode(format, options, STDOUT_FILENO, STDIN_FILENO);
    QObject::connect(&mode, &StatusBarMode::finished, &app, &QCoreApplication::exit);
    mode.start();
    return QCoreApplication::exec();
}

} // namespace creditgauge
