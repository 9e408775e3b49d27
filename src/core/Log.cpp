#include "Log.h"

namespace creditgauge::log {

// Info and debug messages are off until enabled; there are no warnings to leak by default.
Q_LOGGING_CATEGORY(network, "creditgauge.network", QtWarningMsg)
Q_LOGGING_CATEGORY(store, "creditgauge.store", QtWarningMsg)
Q_LOGGING_CATEGORY(refresh, "creditgauge.refresh", QtWarningMsg)
Q_LOGGING_CATEGORY(tray, "creditgauge.tray", QtWarningMsg)
Q_LOGGING_CATEGORY(update, "creditgauge.update", QtWarningMsg)

} // namespace creditgauge::log
