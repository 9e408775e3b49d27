#pragma once

#include <QString>

class QDBusConnection;

// What the tray hosts do differently, told apart by the process that owns the watcher, by its
// name as the kernel keeps it (15 characters).
namespace creditgauge::TrayHosts {

// The name of the process that owns `service` on `bus`; empty where it cannot be seen (a
// sandbox, another PID namespace).
QString processOf(const QDBusConnection &bus, const QString &service);

// GNOME Shell's AppIndicator extension and the Ayatana (formerly Unity) indicator service draw
// the Ayatana label beside the icon; Plasma, waybar and Xfce's systray show the icon only.
bool showsLabel(const QString &processName);

// waybar builds its menus without a place for shortcuts, and complains about each one.
bool showsShortcuts(const QString &processName);

// waybar and Xfce's systray (run by the panel as "panel-N-systray") scale the largest pixmap
// to their icon size, which blurs the figure, but load an icon named in a theme folder at
// exactly that size.
bool scalesPixmaps(const QString &processName);

} // namespace creditgauge::TrayHosts
