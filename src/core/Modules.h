#pragma once

#include <QtGlobal>

// On Linux the program's parts that not every start needs are modules and libraries loaded on
// demand: the tray, the text-bar mode, and once the item is on screen, the rest of the tray
// application with the network and database libraries.
namespace creditgauge::Modules {

// The function `entry` of the module `fileName`, found beside the executable in the build tree
// or in the program's library folder once installed; null after saying on standard error that
// `what` cannot be loaded, and why.
QFunctionPointer resolve(const char *fileName, const char *entry, const char *what);

} // namespace creditgauge::Modules
