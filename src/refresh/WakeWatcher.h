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

    // Whether the subscription reached a system bus.
    bool isWatching() const { return m_watching; }

Q_SIGNALS:
    void goingToSleep();
    void wokeUp();

private Q_SLOTS:
    void onPrepareForSleep(bool goingToSleep);

private:
    bool m_watching = false;
};

} // namespace creditgauge
