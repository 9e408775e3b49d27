#pragma once

#include <QString>

// Starting with the desktop session, the freedesktop way: an entry in the user's autostart
// folder. The entry is the whole state; nothing else remembers the choice.
namespace creditgauge::Autostart {

// Where autostart entries are a desktop convention (Linux and the other free Unixes).
bool isSupported();

// $XDG_CONFIG_HOME/autostart/creditgauge.desktop
QString entryPath();

// Whether the session will start the program: the user's entry, or else one that the system
// provides for every user, exists and is not switched off (Hidden, X-GNOME-Autostart-enabled).
bool isEnabled();

// Writes or removes the user's entry; a system-wide entry is switched off for this user with
// an entry of their own. False when the file cannot be written or removed.
bool setEnabled(bool enabled);

} // namespace creditgauge::Autostart
