// A daemon on D-Bus, switched by lines on standard input; prints "ready" once it owns its name,
// and each line once it has announced the change, as the real daemon would.
//   network-manager: NetworkManager on the (stand-in) system bus, State and Connectivity
//     "online" (at first) or "offline".
//   status-notifier-watcher: a watcher no host displays yet, as a panel still starting has:
//     items may register; "host" and "nohost" make a host come and go.

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

const QString nmPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString nmInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

// NetworkManager's NMState and NMConnectivityState values.
constexpr uint connectedGlobal = 70, disconnected = 20;
constexpr uint connectivityFull = 4, connectivityNone = 1;

class Manager : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(uint State READ state)
    Q_PROPERTY(uint Connectivity READ connectivity)
public:
    explicit Manager(QObject *parent)
        : QDBusAbstractAdaptor(parent)
    { }

    uint state() const { return m_online ? connectedGlobal : disconnected; }
    uint connectivity() const { return m_online ? connectivityFull : connectivityNone; }

    bool command(const QByteArray &line)
    {
        if (line != "online" && line != "offline")
            return false;
        m_online = line == "online";
        const QVariantMap changed {{QStringLiteral("State"), state()},
                                   {QStringLiteral("Connectivity"), connectivity()}};
        QDBusMessage standard
            = QDBusMessage::createSignal(nmPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                         QStringLiteral("PropertiesChanged"));
        standard << nmInterface << changed << QStringList();
        // Older clients listen to NetworkManager's own form of the signal.
        QDBusMessage legacy
            = QDBusMessage::createSignal(nmPath, nmInterface, QStringLiteral("PropertiesChanged"));
        legacy << changed;
        return QDBusConnection::systemBus().send(standard)
            && QDBusConnection::systemBus().send(legacy);
    }

private:
    bool m_online = true;
};

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

    bool command(const QByteArray &line)
    {
        if (line != "host" && line != "nohost")
            return false;
        host = line == "host";
        return QDBusConnection::sessionBus().send(
            QDBusMessage::createSignal(watcherPath, watcherService,
                                       host ? QStringLiteral("StatusNotifierHostRegistered")
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
    const bool nm = app.arguments().value(1) == u"network-manager";
    QDBusConnection bus = nm ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    QObject root;
    auto *manager = new Manager(&root);
    Watcher watcher;
    if (!(nm ? bus.registerObject(nmPath, &root)
             : bus.registerObject(watcherPath, &watcher,
                                  QDBusConnection::ExportAllSlots
                                      | QDBusConnection::ExportAllProperties))
        || !bus.registerService(nm ? nmInterface : watcherService)) {
        std::fprintf(stderr, "fake_dbus_service: cannot own its name\n");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char line[64];
        if (!std::fgets(line, sizeof line, stdin))
            return QCoreApplication::quit();
        const QByteArray command = QByteArray(line).trimmed();
        if (nm ? manager->command(command) : watcher.command(command)) {
            std::printf("%s\n", command.constData());
            std::fflush(stdout);
        }
    });
    return app.exec();
}

#include "fake_dbus_service.moc"
