#pragma once

class QCoreApplication;

namespace creditgauge {

// Qt's own texts (standard buttons, the line edit's context menu) in German, whatever the
// system's language: the rest of the interface is German too. False when the translations
// are not installed; Qt then speaks English.
bool installQtTranslations(QCoreApplication &app);

// Before the first window (the panel, a dialog): Qt's texts in German and the program's icon,
// once. The item in the tray needs neither, and looking the icon up reads the icon themes'
// indexes: some milliseconds and a few hundred KiB.
void prepareWindows();

} // namespace creditgauge
