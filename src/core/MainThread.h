#pragma once

#include <QCoreApplication>
#include <QMetaObject>

#include <utility>

namespace creditgauge {

// Runs `f` later from the main thread's event loop, so that a completion never runs inside the
// call that asked for it. Needs a QCoreApplication.
template<typename F> void postToMainThread(F f)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(f), Qt::QueuedConnection);
}

} // namespace creditgauge
