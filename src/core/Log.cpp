#include "Log.h"

namespace creditgauge::log {

// Info and debug messages are off until enabled. Warnings are on: they are kept for what a user
// must hear of even unasked, such as a history file that had to be moved aside.
Q_LOGGING_CATEGORY(network, "creditgauge.network", QtWarningMsg)
Q_LOGGING_CATEGORY(store, "creditgauge.store", QtWarningMsg)
Q_LOGGING_CATEGORY(refresh, "creditgauge.refresh", QtWarningMsg)
Q_LOGGING_CATEGORY(tray, "creditgauge.tray", QtWarningMsg)
Q_LOGGING_CATEGORY(update, "creditgauge.update", QtWarningMsg)
Q_LOGGING_CATEGORY(history, "creditgauge.history", QtWarningMsg)
Q_LOGGING_CATEGORY(notify, "creditgauge.notify", QtWarningMsg)

} // namespace creditgauge::log
