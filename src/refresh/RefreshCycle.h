#pragma once

#include "NetworkWatcher.h"
#include "RefreshState.h"
#include "core/Provider.h"
#include "core/Records.h"
#include "history/BalanceHistory.h"
#include "store/KeyStore.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <optional>

namespace creditgauge {

class WakeWatcher;

// Decides when the balance is asked for and what the answer means, for the tray and any other
// front end: at start, every 30 minutes, after the machine wakes (once the network is back),
// when the network returns after an automatic query failed for want of it, when a keyring that
// did not answer answers after all, and whenever the user asks. It reads the selected
// provider's key, fetches the balance and reports one RefreshState at a time.
//
// Queries are neither de-duplicated nor cancelled; answers for the selected provider apply in
// the order they arrive, and an answer for a provider that is no longer selected is dropped.
class RefreshCycle : public QObject
{
    Q_OBJECT
public:
    enum class Trigger { Start, Timer, Wake, NetworkBack, StoreBack, User };
    Q_ENUM(Trigger)

    struct Options
    {
        std::chrono::milliseconds interval {std::chrono::seconds(1800)};
        // The longest a refresh waits for the secret store before it says so.
        std::chrono::milliseconds keyReadDeadline {std::chrono::seconds(20)};
        // After a wake: the longest the refresh waits for the network to come back, and how
        // long it waits instead when the system tells nothing about the network.
        std::chrono::milliseconds networkWait {std::chrono::seconds(60)};
        std::chrono::milliseconds wakeDelay {std::chrono::seconds(10)};
        bool watchNetwork = true;
        // Where the balances are kept; empty: the user's data folder.
        QString historyPath {};
        // The provider for this run instead of the stored choice, which stays as it is.
        std::optional<Provider> provider {};
    };

    explicit RefreshCycle(QObject *parent = nullptr);
    explicit RefreshCycle(const Options &options, QObject *parent = nullptr);
    ~RefreshCycle() override;

    // The first refresh now, then one every interval, the first an interval from now; and
    // from now on the wake and network triggers.
    void start();
    void refresh(Trigger trigger);

    // The stored choice, unless the last choice could not be stored: that one holds for the
    // rest of the session. A provider given in the options holds until a choice is made.
    Provider provider() const;
    // Stores the choice and refreshes for it. Does not restart the 30-minute period.
    void selectProvider(Provider provider);

    const RefreshState &state() const { return m_state; }
    const QTimer &timer() const { return m_timer; }
    // Every balance this cycle (or another process) has seen; the forecast comes from it.
    BalanceHistory &history() { return m_history; }

Q_SIGNALS:
    // A refresh for `provider` begins (its key is read next).
    void refreshing(creditgauge::Provider provider);
    // A query for `provider` went out; front ends may show it is loading.
    void loading(creditgauge::Provider provider, creditgauge::RefreshCycle::Trigger trigger);
    void stateChanged(const creditgauge::RefreshState &state);

private:
    void keyRead(Provider provider, Trigger trigger, const KeyStore::ReadResult &key);
    void answered(Provider provider, Trigger trigger, const BalanceResult &result);
    void report(RefreshState state);
    void watchStore(Provider provider);
    void wokeUp();
    void networkChanged();
    bool isOffline();
    NetworkWatcher::Status networkStatus();

    Options m_options;
    BalanceHistory m_history;
    RefreshState m_state;
    QTimer m_timer;
    QTimer m_wakeTimer;
    WakeWatcher *m_wake = nullptr;
    NetworkWatcher *m_network = nullptr;
    std::optional<Provider> m_unsavedChoice;
    bool m_started = false;
    bool m_waitingForNetwork = false; // a wake refresh waits for the network
    bool m_retryWhenOnline = false; // an automatic query failed while offline
    bool m_watchingStore = false;
};

} // namespace creditgauge
