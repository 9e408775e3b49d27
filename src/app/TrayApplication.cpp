#include "TrayApplication.h"

#include "app/RunningApplication.h"
#include "core/Identity.h"
#include "core/Modules.h"
#include "session/SingleInstance.h"
#include "session/UnixSignals.h"
#include "tray/SwitchingStatusItem.h"
#include "ui/Windows.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace creditgauge {
namespace {

// Desktop sessions often start their tray a little after the applications they autostart.
constexpr std::chrono::seconds trayWait {30};

// Until a host is registered with the StatusNotifierWatcher or an XEmbed tray is there; false
// after trayWait, or when the event loop was told to quit.
bool waitForTray(const SwitchingStatusItem &item)
{
    if (item.trayAvailable())
        return true;
    QEventLoop loop;
    const auto check = [&loop, &item] {
        if (item.trayAvailable())
            loop.quit();
    };
    QObject::connect(&item, &SwitchingStatusItem::hostChanged, &loop, check);
    // Nothing tells when an XEmbed tray appears.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    QTimer::singleShot(trayWait, &loop, &QEventLoop::quit);
    poll.start(250);
    loop.exec();
    return item.trayAvailable();
}

// Until the host has the item (it reads the picture, or the XEmbed tray was asked to dock it):
// the rest of the application, its libraries and its first query come after, so that they do
// not compete with the host and the item for the same few milliseconds. A host that never
// says so holds them up by a second at most.
void waitUntilShown(const StatusItem &item, const bool &shown)
{
    if (shown)
        return;
    QEventLoop loop;
    QObject::connect(&item, &StatusItem::shown, &loop, &QEventLoop::quit);
    QTimer::singleShot(std::chrono::seconds(1), &loop, &QEventLoop::quit);
    loop.exec();
}

std::unique_ptr<RunningApplication> start(std::unique_ptr<StatusItem> item)
{
#ifdef CREDITGAUGE_APP_MODULE
    using Entry = RunningApplication *(*)(StatusItem *);
    const auto entry = reinterpret_cast<Entry>(Modules::resolve(
        CREDITGAUGE_APP_MODULE, "creditgauge_start_application", "Die Tray-Anwendung"));
    if (!entry)
        return nullptr;
    return std::unique_ptr<RunningApplication>(entry(item.release()));
#else
    return startApplication(std::move(item));
#endif
}

// GNOME's compositor lets no Wayland client place its windows, so the panel would open at the
// top left of the screen and stay open on a click on the desktop. Through Xwayland it opens
// under the item, and a clear window catches the click outside it. The user's own choice of
// platform stands; other compositors place a window where asked (sway) or run X11 anyway.
std::vector<char *> withPlatform(int argc, char *argv[])
{
    std::vector<char *> arguments(argv, argv + argc);
    static char platformOption[] = "-platform", xcb[] = "xcb";
    const bool chosen = qEnvironmentVariableIsSet("QT_QPA_PLATFORM")
        || std::any_of(argv, argv + argc,
                       [](const char *a) { return !std::strcmp(a, "-platform"); });
    if (!chosen && qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsSet("DISPLAY")
        && qgetenv("XDG_CURRENT_DESKTOP").toLower().contains("gnome")) {
        arguments.insert(arguments.end(), {platformOption, xcb});
    }
    arguments.push_back(nullptr);
    return arguments;
}

// Plain GNOME has no tray at all; the extension that adds one is a Debian package away.
QString noTrayMessage()
{
    QString text
        = QStringLiteral("CreditGauge braucht einen Statusbereich (System-Tray) in der Leiste der "
                         "Arbeitsumgebung, aber diese Sitzung bietet keinen an.\n\n");
    const QString desktop
        = QProcessEnvironment::systemEnvironment().value(QStringLiteral("XDG_CURRENT_DESKTOP"));
    if (desktop.contains(QStringLiteral("GNOME"), Qt::CaseInsensitive)) {
        text += QStringLiteral(
            "Unter GNOME bringt ihn die Erweiterung \u201EAppIndicator and KStatusNotifierItem "
            "Support\u201C:\n"
            "    sudo apt install gnome-shell-extension-appindicator\n"
            "Danach ab- und wieder anmelden, die Erweiterung einschalten und CreditGauge "
            "erneut starten:\n"
            "    gnome-extensions enable ubuntu-appindicators@ubuntu.com");
    } else {
        text += QStringLiteral(
            "Fügen Sie der Leiste einen Statusbereich hinzu (oft \u201EInfobereich\u201C, "
            "\u201EBenachrichtigungsfläche\u201C oder \u201ESystem-Tray\u201C genannt) und "
            "starten Sie CreditGauge dann erneut.");
    }
    return text;
}

} // namespace

int runTrayApplication(int argc, char *argv[])
{
    std::vector<char *> arguments = withPlatform(argc, argv);
    int count = int(arguments.size()) - 1;
    QApplication app(count, arguments.data());
    QApplication::setApplicationName(QStringLiteral("creditgauge"));
    QApplication::setApplicationDisplayName(QStringLiteral("CreditGauge"));
    QApplication::setApplicationVersion(QStringLiteral(CREDITGAUGE_VERSION));
    // Wayland's app_id and the name desktops look the launcher up by: GNOME names the window
    // after the launcher's Name, not after the executable.
    QApplication::setDesktopFileName(QLatin1String(applicationId));
    // The panel and the dialogs come and go; only "Beenden" ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // Set first: main() holds these signals back until UnixSignals has its handlers, and the
    // waits below run event loops of their own, which must already act on them. What a text
    // bar's click sends to every process of this name (SIGUSR1) means refresh, never the
    // default of ending the program; the others end it cleanly, destructors and all.
    bool ending = false;
#ifdef Q_OS_UNIX
    const UnixSignals signalsHandled({SIGUSR1, SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalsHandled, &UnixSignals::received, &app, [&ending](int number) {
        if (number == SIGUSR1)
            return;
        ending = true;
        // Not quit(): that does nothing before exec() runs, and the waits below come first.
        QCoreApplication::exit(0);
    });
#endif

    // One instance per user session: a second start shows the running one's details.
    SingleInstance instance;
    if (!instance.claim()) {
        if (!SingleInstance::askToShowDetails())
            std::fprintf(stderr, "creditgauge: CreditGauge läuft bereits.\n");
        return 0;
    }

    auto item = std::make_unique<SwitchingStatusItem>();
    // An XEmbed icon may say so while the wait for a tray still runs.
    bool shown = false;
    QObject::connect(item.get(), &StatusItem::shown, &app, [&shown] { shown = true; });
    // A click that comes before the rest of the application is there (a host that does not
    // read the picture first) opens the panel once it is.
    bool clickedEarly = false;
    const QMetaObject::Connection earlyClicks = QObject::connect(
        item.get(), &StatusItem::clicked, &app, [&clickedEarly] { clickedEarly = true; });
    const bool trayFound = waitForTray(*item);
    if (ending)
        return 0;
    if (!trayFound) {
        const QString text = noTrayMessage();
        std::fprintf(stderr, "creditgauge: %s\n", text.toLocal8Bit().constData());
        prepareWindows();
        QMessageBox::critical(nullptr, QStringLiteral("CreditGauge"), text);
        return 1;
    }

    waitUntilShown(*item, shown);
    if (ending)
        return 0;
    const std::unique_ptr<RunningApplication> running = start(std::move(item));
    if (!running)
        return 1;
    QObject::disconnect(earlyClicks);
    if (clickedEarly)
        running->showDetails();
    QObject::connect(&instance, &SingleInstance::showDetailsRequested, &app,
                     [&running] { running->showDetails(); });
    instance.listen();
#ifdef Q_OS_UNIX
    QObject::connect(&signalsHandled, &UnixSignals::received, &app, [&running](int number) {
        if (number == SIGUSR1)
            running->refresh();
    });
#endif
    return QApplication::exec();
}

} // namespace creditgauge
