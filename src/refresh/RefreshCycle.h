#pragma once

#include "Notices.h"
#include "RefreshState.h"
#include "StoredChoices.h"
#include "core/Provider.h"
#include "core/Records.h"
#include "history/BalanceHistory.h"
#include "store/KeyStore.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <map>
#include <memory>
#include <optional>

namespace creditgauge {

class AccountWatch;
class RefreshSchedule;

// Decides when the balance is asked for and what the answer means, for the tray and any other
// front end: at start, every 30 minutes, after the machine wakes (once the network is back),
// when the network returns after an automatic query failed for want of it, when a keyring that
// did not answer answers after all, and whenever the user asks. It reads the selected
// account's key, fetches the balance and reports one RefreshState at a time. Unless switched
// off, the other accounts are asked on the same occasions, once the keyring has answered for
// the selected one; those without a key cost a look into the keyring's cache and nothing else.
//
// Every query is numbered. An answer is shown, kept and passed on only when it is newer than
// the last one shown for its account: a slow answer that arrives after a newer one is dropped,
// as is one for an account that is neither selected nor watched, or gone. Each account has a
// watch of its own, which folds a burst of requests into one more query (AccountWatch); when
// the queries are due without anyone asking is the schedule's business (RefreshSchedule).
class RefreshCycle : public QObject
{
    Q_OBJECT
public:
    enum class Trigger { Start, Timer, Wake, NetworkBack, StoreBack, User, KeySaved };
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
        // The provider whose first account is selected for this run instead of the stored
        // choice, which stays as it is; `account` (an id) names another.
        std::optional<Provider> provider {};
        std::optional<QString> account {};
        // Whether the other accounts are asked too, for this run instead of the stored choice.
        std::optional<bool> allProviders {};
    };

    explicit RefreshCycle(QObject *parent = nullptr);
    explicit RefreshCycle(const Options &options, QObject *parent = nullptr);
    ~RefreshCycle() override;

    // The first refresh now, then one every interval, the first an interval from now; and
    // from now on the wake, network and keyring triggers.
    void start();
    // Asks for the selected account's balance, or (while a query for it is under way) for
    // one more query once it has ended. A saved key asks at once whatever is under way.
    void refresh(Trigger trigger);
    // A key was saved for the account: asked for at once whatever is under way, also when
    // another account was picked while the key was typed (it is then asked as a watched one).
    void keySaved(const QString &account);
    // Whether first answers are still to come: the selected account's, or one of the watched
    // others' that have a key. A front end that shows them together waits for them.
    bool firstAnswersPending() const;

    // Every account, as Settings::accounts() lists them, with the choices that could not be
    // stored as the user left them.
    QList<Account> accounts() const { return m_choices.accounts(); }
    std::optional<Account> account(const QString &id) const { return m_choices.account(id); }
    // The stored choice, unless the last choice could not be stored: that one holds for the
    // rest of the session. An account given in the options holds until a choice is made.
    Account account() const { return m_choices.selected(); }
    Provider provider() const { return account().provider; }
    // Stores the choice and refreshes for it. Does not restart the 30-minute period. What is
    // known of the account already is reported at once (else that nothing is yet), its
    // query's answer follows.
    void selectAccount(const QString &id);
    void selectProvider(Provider provider) { selectAccount(provider.rawValue()); }
    // Stores an account's name, options and low mark (a new one is added). What is shown of
    // it follows at once; options that changed are asked at once while it is selected or
    // watched, unless `refresh` is false (a key about to be saved will).
    void saveAccount(const Account &account, bool refresh = true);
    // The Moonshot platform of the selected account, stored as saveAccount() does.
    MoonshotRegion moonshotRegion() const { return account().options.region; }
    void selectMoonshotRegion(MoonshotRegion region, bool refresh = true);
    // The account goes, and its key with it; its history rows stay. The first account of a
    // provider stays listed, without key or name. The selected one leaves its provider's
    // first selected.
    void removeAccount(const QString &id);

    // Whether the accounts besides the selected one are asked too; stored like the selection.
    bool queriesAll() const { return m_choices.allProviders(); }
    // Switched on, they are asked now; switched off, their states are dropped.
    void setQueriesAll(bool on);
    // The watched accounts besides the selected one that have an answer, in the order of
    // accounts(): each with its newest balance or failure.
    QList<RefreshState> others() const;

    // What the user should know about `topic` (empty: nothing any more). Said once in the log
    // and carried by every state until it is cleared.
    void setNotice(const QString &topic, const QString &text);
    // A choice that could not be stored holds for the session: the notice on `topic` says so
    // of `choice` ("Die Anbieterwahl"), until a choice is stored again.
    void noteSaved(const QString &topic, bool saved, const QString &choice);

    const RefreshState &state() const { return m_state; }
    const QTimer &timer() const;
    // Every balance this cycle (or another process) has seen; the forecast comes from it.
    BalanceHistory &history() { return m_history; }

Q_SIGNALS:
    // A query for the selected account begins (its key is read next).
    void refreshing(const QString &account);
    // A query for the selected account is under way; front ends may show it is loading.
    void loading(const QString &account, creditgauge::RefreshCycle::Trigger trigger);
    void stateChanged(const creditgauge::RefreshState &state);
    // What is known of an account other than the selected one changed (to Starting when it is
    // no longer watched or is gone, to NoKey when its key is gone): others() says what to list
    // now.
    void otherChanged(const creditgauge::RefreshState &state);

private:
    struct Query
    {
        quint64 number;
        Account account;
        Trigger trigger;
    };

    AccountWatch &watch(const Account &account);
    const RefreshState &latest(const QString &id) const;
    void request(const Account &account, Trigger trigger);
    void followSelection();
    void askIfWatched(const QString &id, Trigger trigger);
    void askOthers();
    void begin(const Account &account, Trigger trigger);
    void keyRead(const Query &query, const KeyStore::ReadResult &key);
    void answered(const Query &query, const BalanceResult &result);
    bool isCurrent(const Query &query, const char *what) const;
    void end(const Query &query);
    void report(const Query &query, RefreshState state);
    void watchStore();
    void storeChanged();

    Options m_options;
    BalanceHistory m_history;
    RefreshState m_state;
    RefreshSchedule *m_schedule;
    StoredChoices m_choices;
    quint64 m_lastQuery = 0; // the number the newest query got
    // One per account asked, made when first asked.
    std::map<QString, std::unique_ptr<AccountWatch>> m_watches;
    // Why the other accounts are to be asked once the keyring has answered.
    std::optional<Trigger> m_othersWanted;
    Notices m_notices;
    bool m_started = false;
    bool m_watchingStore = false;
};

} // namespace creditgauge
