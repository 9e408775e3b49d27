// A daemon on D-Bus, switched by lines on standard input; prints "ready" once it owns its name,
// and each line once it has announced the change, as the real daemon would.
//   network-manager: NetworkManager on the (stand-in) system bus, "online" (at first) or "offline".
//   status-notifier-watcher: a watcher with no host yet; "host" and "nohost" make one come and go.
//   portal [VALUE]: the portal's color-scheme (0 none, 1 dark, 2 light), a line "0"-"2" changes it.

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString nmPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString nmInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");

// NetworkManager's NMState and NMConnectivityState values.
constexpr uint connectedGlobal = 70, disconnected = 20, connectivityFull = 4, connectivityNone = 1;

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
        const QVariantMap changed {{u"State"_s, state()}, {u"Connectivity"_s, connectivity()}};
        const QDBusMessage standard
            = QDBusMessage::createSignal(nmPath, u"org.freedesktop.DBus.Properties"_s,
                                         u"PropertiesChanged"_s)
            << nmInterface << changed << QStringList();
        // Older clients listen to NetworkManager's own form of the signal.
        const QDBusMessage legacy
            = QDBusMessage::createSignal(nmPath, nmInterface, u"PropertiesChanged"_s) << changed;
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
        return QDBusConnection::sessionBus().send(QDBusMessage::createSignal(
            watcherPath, watcherService,
            host ? u"StatusNotifierHostRegistered"_s : u"StatusNotifierHostUnregistered"_s));
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &item) { items << item; }
    void RegisterStatusNotifierHost(const QString &) { }
};

class Portal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    uint scheme = 0;

    bool command(const QByteArray &line)
    {
        bool ok = false;
        scheme = line.toUInt(&ok);
        const QDBusMessage changed
            = QDBusMessage::createSignal(portalPath, u"org.freedesktop.portal.Settings"_s,
                                         u"SettingChanged"_s)
            << u"org.freedesktop.appearance"_s << u"color-scheme"_s
            << QVariant::fromValue(QDBusVariant(scheme));
        return ok && QDBusConnection::sessionBus().send(changed);
    }

public Q_SLOTS:
    // As the portal does: the value wrapped in one variant more than the signal's.
    QDBusVariant Read(const QString &, const QString &)
    {
        return QDBusVariant(QVariant::fromValue(QDBusVariant(scheme)));
    }
};

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const QString mode = app.arguments().value(1);
    const bool nm = mode == u"network-manager", isPortal = mode == u"portal";
    QDBusConnection bus = nm ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    QObject root;
    auto *manager = new Manager(&root);
    Watcher watcher;
    Portal portal;
    portal.scheme = app.arguments().value(2).toUInt();
    const int which = nm ? 0 : isPortal ? 1 : 2;
    QObject *const served[] {&root, &portal, &watcher};
    const QString paths[] {nmPath, portalPath, watcherPath};
    const QString names[] {nmInterface, u"org.freedesktop.portal.Desktop"_s, watcherService};
    const auto all = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties;
    if (!bus.registerObject(paths[which], served[which], nm ? QDBusConnection::ExportAdaptors : all)
        || !bus.registerService(names[which])) {
        std::fprintf(stderr, "fake_dbus_service: cannot own its name\n");
        return 1;
    }
    std::puts("ready");

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char line[64];
        if (!std::fgets(line, sizeof line, stdin))
            return QCoreApplication::quit();
        const QByteArray text = QByteArray(line).trimmed();
        if (nm ? manager->command(text) : isPortal ? portal.command(text) : watcher.command(text))
            std::printf("%s\n", text.constData());
    });
    return app.exec();
}

#include "fake_dbus_service.moc"
