#include "TrayHosts.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>

namespace creditgauge::TrayHosts {

QString processOf(const QDBusConnection &bus, const QString &service)
{
    const QDBusReply<uint> pid = bus.interface()->servicePid(service);
    if (!pid.isValid())
        return {};
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid.value()));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(comm.readAll()).trimmed();
}

bool showsLabel(const QString &processName)
{
    if (processName.isEmpty()) {
        // The watcher's process is out of sight: the desktop names itself instead.
        const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
        return desktop.contains(u"GNOME") || desktop.contains(u"Unity");
    }
    return processName == u"gnome-shell" || processName.startsWith(u"ayatana-indica")
        || processName.startsWith(u"indicator-appl");
}

bool showsShortcuts(const QString &processName)
{
    return processName != u"waybar";
}

bool scalesPixmaps(const QString &processName)
{
    return processName == u"waybar"
        || (processName.startsWith(u"panel-") && processName.endsWith(u"-systray"));
}

} // namespace creditgauge::TrayHosts
