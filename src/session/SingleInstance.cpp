#include "SingleInstance.h"

#include "SingleInstanceAdaptor.h"
#include "core/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QStandardPaths>

namespace creditgauge {
namespace {

QString lockPath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/creditgauge.lock");
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
    , m_lock(lockPath())
{
    // A lock left by a crashed instance is taken over at once: its process is gone.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (m_listening) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(QLatin1String(objectPath));
        bus.unregisterService(QLatin1String(busName));
    }
}

bool SingleInstance::claim()
{
    return m_lock.tryLock(0);
}

bool SingleInstance::listen()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    new SingleInstanceAdaptor(this);
    if (!bus.registerObject(QLatin1String(objectPath), this)
        || !bus.registerService(QLatin1String(busName))) {
        qCDebug(log::tray).noquote()
            << "cannot take" << busName << "on the session bus:" << bus.lastError().message();
        bus.unregisterObject(QLatin1String(objectPath));
        return false;
    }
    m_listening = true;
    return true;
}

bool SingleInstance::askToShowDetails()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const QDBusMessage call
        = QDBusMessage::createMethodCall(QLatin1String(busName), QLatin1String(objectPath),
                                         QLatin1String(busName), QStringLiteral("ShowDetails"));
    constexpr int timeoutMs = 5000;
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        qCDebug(log::tray).noquote()
            << "the running instance did not answer:" << reply.errorMessage();
        return false;
    }
    return true;
}

void SingleInstance::ShowDetails()
{
    qCDebug(log::tray) << "a second start asks for the details";
    Q_EMIT showDetailsRequested();
}

} // namespace creditgauge
