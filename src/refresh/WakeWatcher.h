#pragma once

#include <QObject>

namespace creditgauge {

// Tells when the machine goes to sleep and when it has woken, from logind's PrepareForSleep
// signal on the system bus. Without a system bus (or without logind) it simply never fires.
class WakeWatcher : public QObject
{
    Q_OBJECT
public:
    explicit WakeWatcher(QObject *parent = nullptr);

Q_SIGNALS:
    void goingToSleep();
    void wokeUp();

private Q_SLOTS:
    void onPrepareForSleep(bool goingToSleep);
};

} // namespace creditgauge
