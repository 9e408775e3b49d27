// Stands in for a StatusNotifierWatcher on the session bus that no host displays yet, as a panel
// that is still starting has one: items may register, but IsStatusNotifierHostRegistered is
// false until a line "host" on standard input announces one, and "nohost" takes it away again,
// each with the signal real watchers send. Prints "ready" once it owns the name.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

const QString service = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString path = QStringLiteral("/StatusNotifierWatcher");

class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER host)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER items)
    Q_PROPERTY(int ProtocolVersion MEMBER version)
public:
    bool host = false;
    QStringList items;
    int version = 0;

    void announce(bool registered)
    {
        host = registered;
        QDBusConnection::sessionBus().send(QDBusMessage::createSignal(
            path, service,
            registered ? QStringLiteral("StatusNotifierHostRegistered")
                       : QStringLiteral("StatusNotifierHostUnregistered")));
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &item) { items << item; }
    void RegisterStatusNotifierHost(const QString &) { }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher;
    if (!bus.registerObject(path, &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)
        || !bus.registerService(service)) {
        std::fprintf(stderr, "fake_status_notifier_watcher: cannot own %s\n", qPrintable(service));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&watcher] {
        char line[64];
        if (!std::fgets(line, sizeof line, stdin))
            return QCoreApplication::quit();
        const QByteArray command = QByteArray(line).trimmed();
        if (command == "host" || command == "nohost")
            watcher.announce(command == "host");
    });
    return QCoreApplication::exec();
}

#include "fake_status_notifier_watcher.moc"
