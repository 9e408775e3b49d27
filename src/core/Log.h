#pragma once

#include <QLoggingCategory>

// The program's diagnostics, one category per concern. All of them are silent unless the user
// enables them, e.g. QT_LOGGING_RULES='creditgauge.*.debug=true'. They say what was asked of
// whom, what came back and how long it took; never a key and never a request header.
namespace creditgauge::log {

const QLoggingCategory &network();
const QLoggingCategory &store();
const QLoggingCategory &refresh();
const QLoggingCategory &tray();
const QLoggingCategory &update();

} // namespace creditgauge::log
