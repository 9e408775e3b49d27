#include "TrayApplication.h"

#include "app/AppDelegate.h"
#include "tray/StatusNotifierItem.h"
#include "tray/TrayIconStatusItem.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLockFile>
#include <QMessageBox>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace creditgauge {
namespace {

// Desktop sessions often start their tray a little after the applications they autostart.
constexpr std::chrono::seconds trayWait {30};

bool trayAvailable()
{
    return StatusNotifierItem::isWatcherAvailable() || QSystemTrayIcon::isSystemTrayAvailable();
}

bool waitForTray()
{
    if (trayAvailable())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&loop] {
        if (trayAvailable())
            loop.quit();
    });
    QTimer::singleShot(trayWait, &loop, &QEventLoop::quit);
    poll.start(250);
    loop.exec();
    return trayAvailable();
}

// Our own StatusNotifierItem wherever a host watches for one; the XEmbed tray otherwise.
std::unique_ptr<StatusItem> makeStatusItem()
{
    if (StatusNotifierItem::isWatcherAvailable())
        return std::make_unique<StatusNotifierItem>();
    return std::make_unique<TrayIconStatusItem>();
}

} // namespace

int runTrayApplication(int argc, char *argv[])
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

    AppDelegate delegate(makeStatusItem());
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}

} // namespace creditgauge
