#pragma once

class QObject;
class QString;
class QWidget;

namespace creditgauge::SwayPlacement {

// Whether this session is sway's (on Wayland, where a window cannot place itself).
bool available();

// Asks sway to move the (floating) window below the pointer, which is on the tray item that
// was just clicked: centred on it, kept on its output, above it when the bar is at the
// bottom. Never waits: sway answers on the event loop, and an attempt that gets no answer
// within a moment ends quietly. A newer call for the same window supersedes an older one.
void placeBelowPointer(QWidget *window);

// The same against the IPC socket at socketPath, whatever the platform (so that it can be
// driven without a Wayland session). Returns the attempt, which deletes itself once it ends
// (placed, given up, window hidden or superseded), or nullptr when the window is not shown.
QObject *placeBelowPointer(QWidget *window, const QString &socketPath);

} // namespace creditgauge::SwayPlacement
