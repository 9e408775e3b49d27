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

// X11 through a Wayland compositor's Xwayland: windows place themselves as on X11, but the
// compositor, not the X server, decides where clicks go, and no X11 client can grab the
// pointer across the screen.
inline bool isXwayland()
{
    return isX11() && qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

} // namespace creditgauge::WindowSystem
