#pragma once

#include <QGuiApplication>

// Which window system Qt's platform plugin talks to; several choices of the tray depend on it.
namespace creditgauge::WindowSystem {

// Any of Qt's Wayland plugins ("wayland", "wayland-egl", ...).
inline bool isWayland()
{
    return QGuiApplication::platformName().startsWith(u"wayland");
}

inline bool isX11()
{
    return QGuiApplication::platformName() == u"xcb";
}

} // namespace creditgauge::WindowSystem
