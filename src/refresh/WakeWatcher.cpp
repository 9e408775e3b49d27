#include "WakeWatcher.h"

#include <QDBusConnection>

namespace creditgauge {

WakeWatcher::WakeWatcher(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                this, SLOT(onPrepareForSleep(bool)));
}

void WakeWatcher::onPrepareForSleep(bool goingToSleep)
{
    // The same signal announces the way down (true) and the way back up (false).
    if (goingToSleep)
        Q_EMIT this->goingToSleep();
    else
        Q_EMIT wokeUp();
}

} // namespace creditgauge
