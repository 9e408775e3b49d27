#pragma once

#include "NetworkWatcher.h"
#include "RefreshCycle.h"

#include <QObject>
#include <QTimer>

#include <chrono>

namespace creditgauge {

class WakeWatcher;

// When the balances are due without anyone asking: every interval; after the machine wakes,
// once the network is back (logind announces the wake before Wi-Fi is), or after a short delay
// when the system tells nothing about the network; once when the network returns after an
// automatic query failed for want of it; and whenever a keyring that could not be read is worth
// another look.
class RefreshSchedule : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        std::chrono::milliseconds interval;
        // After a wake: the longest the refresh waits for the network to come back, and how
        // long it waits instead when the system tells nothing about the network.
        std::chrono::milliseconds networkWait;
        std::chrono::milliseconds wakeDelay;
        bool watchNetwork = true;
    };

    RefreshSchedule(const Options &options, QObject *parent);
    ~RefreshSchedule() override;

    // The period from now on, the first an interval from now; and the wake signals.
    void start();
    const QTimer &timer() const { return m_timer; }

    // A query failed: when nobody asked for it just now and the network is down, it is worth
    // one more try once the network is back. Any balance that comes makes that try needless.
    void queryFailed(RefreshCycle::Trigger trigger);
    void balanceCame() { m_retryWhenOnline = false; }

    // The keyring could not be read: looked at again at once (it is about to answer), after
    // the current wait, or (after a look that failed too) after a wait twice as long, up to
    // five minutes. Ended once it answers.
    void lookAtStoreNow();
    void lookAtStoreLater();
    void lookAtStoreAgain();
    void endStoreWatch();

Q_SIGNALS:
    void periodDue();
    void wakeDue();
    void networkBack();
    void storeLookDue();

private:
    NetworkWatcher::Status networkStatus();
    void wokeUp();
    void networkChanged();

    Options m_options;
    QTimer m_timer;
    QTimer m_wakeTimer;
    QTimer m_storeTimer;
    std::chrono::milliseconds m_storeWait;
    WakeWatcher *m_wake = nullptr;
    NetworkWatcher *m_network = nullptr;
    bool m_waitingForNetwork = false; // a wake refresh waits for the network
    bool m_retryWhenOnline = false; // an automatic query failed while offline
};

} // namespace creditgauge
