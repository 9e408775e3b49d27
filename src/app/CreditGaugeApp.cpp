#include "CreditGaugeApp.h"

#include "AppDelegate.h"
#include "TrayIconStatusItem.h"
#include "core/Provider.h"
#include "providers/ProviderClient.h"
#include "ui/Format.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLockFile>
#include <QMessageBox>
#include <QPointer>
#include <QStandardPaths>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

namespace creditgauge::CreditGaugeApp {
namespace {

// Sent when CREDITGAUGE_KEY is not set at all, so that the provider's answer to an unknown
// key can be seen.
const QString placeholderKey = QStringLiteral("sk-placeholder");

QString resultLine(Provider provider, const BalanceResult &result)
{
    if (!result)
        return QStringLiteral("FEHLER ") + provider.rawValue() + QLatin1Char(' ') + result.error().m;

    const Balance &b = *result;
    QStringList details;
    for (const BalanceDetail &d : b.details)
        details.append(d.name + QLatin1Char('=') + Format::amount(d.amount, b.currency, true));
    // The blank after the total stands even when no details follow.
    return QStringLiteral("OK ") + provider.rawValue() + QLatin1Char(' ') + b.currency
            + QStringLiteral(" total=") + Format::amount(b.total, b.currency, true)
            + QLatin1Char(' ') + details.join(QLatin1Char(' '));
}

void discardMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

// Desktop sessions often start their tray a little after the applications they autostart.
constexpr std::chrono::seconds trayWait { 30 };

bool waitForTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&loop] {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            loop.quit();
    });
    QTimer::singleShot(trayWait, &loop, &QEventLoop::quit);
    poll.start(250);
    loop.exec();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

int runApplication(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("creditgauge"));
    QApplication::setApplicationDisplayName(QStringLiteral("CreditGauge"));
    QApplication::setApplicationVersion(QStringLiteral(CREDITGAUGE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("creditgauge"));
    // The panel and the dialogs come and go; only "Beenden" ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // One instance per user session: a second start leaves quietly.
    QString lockDir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (lockDir.isEmpty())
        lockDir = QDir::tempPath();
    QLockFile lock(lockDir + QStringLiteral("/creditgauge.lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0))
        return 0;

    if (!waitForTray()) {
        const QString text = QStringLiteral(
                "CreditGauge braucht einen Statusbereich (System-Tray) in der Leiste der "
                "Arbeitsumgebung, aber diese Sitzung bietet keinen an.");
        std::fprintf(stderr, "creditgauge: %s\n", text.toLocal8Bit().constData());
        QMessageBox::critical(nullptr, QStringLiteral("CreditGauge"), text);
        return 1;
    }

    AppDelegate delegate(std::make_unique<TrayIconStatusItem>());
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}

} // namespace

void selftestRun(const QProcessEnvironment &env, QTextStream &out,
                 std::chrono::milliseconds deadline)
{
    const Provider provider = Provider::fromRawValue(env.value(QStringLiteral("CREDITGAUGE_PROVIDER")))
                                      .value_or(Provider::deepseek);
    const QString key = env.contains(QStringLiteral("CREDITGAUGE_KEY"))
            ? env.value(QStringLiteral("CREDITGAUGE_KEY"))
            : placeholderKey;

    // Shared with the completion, which may still run after this function has returned
    // (a late answer during shutdown) and must then do nothing.
    struct State
    {
        std::optional<QString> line;
        bool over = false;
        QPointer<QEventLoop> loop;
    };
    auto state = std::make_shared<State>();

    ProviderClient::fetch(provider, key, [state, provider](BalanceResult result) {
        if (state->over || state->line)
            return;
        state->line = resultLine(provider, result);
        if (state->loop)
            state->loop->quit();
    });

    if (!state->line) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(deadline);
        state->loop = &loop;
        loop.exec();
    }
    state->over = true;
    out << state->line.value_or(QStringLiteral("FEHLER Timeout")) << '\n';
    out.flush();
}

void selftestRun()
{
    QTextStream out(stdout);
    selftestRun(QProcessEnvironment::systemEnvironment(), out, selftestDeadline);
}

int main(int argc, char *argv[])
{
    bool selftest = false;
    for (int i = 1; i < argc; ++i)
        selftest = selftest || std::strcmp(argv[i], "--selftest") == 0;

    if (selftest) {
        // The one result line is the only output; Qt's own warnings (such as the one it
        // prints after a transfer time-out) must not reach the terminal.
        qInstallMessageHandler(discardMessage);
        QCoreApplication app(argc, argv);
        selftestRun();
        return 0;
    }

    return runApplication(argc, argv);
}

} // namespace creditgauge::CreditGaugeApp
