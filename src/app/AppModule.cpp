#include "RunningApplication.h"

#include "tray/StatusItem.h"

#include <QtGlobal>

// What the tray module resolves once its item is shown. Ownership of the item passes to the
// application, and the application's to the caller.
extern "C" Q_DECL_EXPORT creditgauge::RunningApplication *
creditgauge_start_application(creditgauge::StatusItem *item)
{
    return creditgauge::startApplication(std::unique_ptr<creditgauge::StatusItem>(item)).release();
}
