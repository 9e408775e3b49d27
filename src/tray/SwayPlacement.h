#pragma once

class QWidget;

namespace creditgauge::SwayPlacement {

// Whether this session is sway's (on Wayland, where a window cannot place itself).
bool available();

// Asks sway to move the (floating) window below the pointer, which is on the tray item that
// was just clicked: centred on it, kept on its output, above it when the bar is at the
// bottom. Nothing happens where sway does not answer.
void placeBelowPointer(QWidget *window);

} // namespace creditgauge::SwayPlacement
