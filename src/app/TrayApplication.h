#pragma once

namespace creditgauge {

// The tray application: QApplication, one instance per session, the controller and its tray
// icon; returns when the user quits.
int runTrayApplication(int argc, char *argv[]);

} // namespace creditgauge
