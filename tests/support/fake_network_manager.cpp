// Stands in for NetworkManager on the system bus (the test session's stand-in for it): the
// State and Connectivity properties that network information reads, switched by a line on
// standard input, "online" or "offline", and announced as NetworkManager announces them.
// Prints "ready" once it owns the name, and the new state after every switch.

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

const QString path = QStringLiteral("/org/freedesktop/NetworkManager");
const QString interface = QStringLiteral("org.freedesktop.NetworkManager");

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

    void setOnline(bool online)
    {
        m_online = online;
        const QVariantMap changed {{QStringLiteral("State"), state()},
                                   {QStringLiteral("Connectivity"), connectivity()}};
        QDBusMessage standard
            = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                         QStringLiteral("PropertiesChanged"));
        standard << interface << changed << QStringList();
        QDBusConnection::systemBus().send(standard);
        // Older clients listen to NetworkManager's own form of the signal.
        QDBusMessage legacy
            = QDBusMessage::createSignal(path, interface, QStringLiteral("PropertiesChanged"));
        legacy << changed;
        QDBusConnection::systemBus().send(legacy);
    }

private:
    bool m_online = true;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::systemBus();
    QObject root;
    auto *manager = new Manager(&root);
    if (!bus.registerObject(path, &root) || !bus.registerService(interface)) {
        std::fprintf(stderr, "fake_network_manager: cannot own %s\n", qPrintable(interface));
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
        if (command == "online" || command == "offline") {
            manager->setOnline(command == "online");
            std::printf("%s\n", command.constData());
            std::fflush(stdout);
        }
    });
    return app.exec();
}

#include "fake_network_manager.moc"
