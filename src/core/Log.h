#pragma once

#include <QLoggingCategory>
#include <QMetaEnum>

// The program's diagnostics, one category per concern. Their debug messages are silent unless
// the user enables them, e.g. QT_LOGGING_RULES='creditgauge.*.debug=true'. They say what was
// asked of whom, what came back and how long it took; never a key and never a request header.
// Warnings, for the rare problem a user must hear of unasked, are on.
namespace creditgauge::log {

const QLoggingCategory &network();
const QLoggingCategory &store();
const QLoggingCategory &refresh();
const QLoggingCategory &tray();
const QLoggingCategory &update();
const QLoggingCategory &history();
const QLoggingCategory &notify();

// The name of a value of an enum that Qt knows (Q_ENUM), as the messages give it.
template<typename Enum> const char *name(Enum value)
{
    return QMetaEnum::fromType<Enum>().valueToKey(int(value));
}

} // namespace creditgauge::log
