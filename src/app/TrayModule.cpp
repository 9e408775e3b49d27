#include "TrayApplication.h"

#include <QtGlobal>

// What the program entry resolves when the tray application is built as a module.
extern "C" Q_DECL_EXPORT int creditgauge_run_tray(int argc, char *argv[])
{
    return creditgauge::runTrayApplication(argc, argv);
}
