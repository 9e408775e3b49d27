#include "RefreshCycle.h"

#include "AccountWatch.h"
#include "RefreshSchedule.h"
#include "core/Log.h"
#include "providers/ProviderClient.h"

#include <algorithm>
#include <utility>

namespace creditgauge {

RefreshCycle::RefreshCycle(QObject *parent)
    : RefreshCycle(Options {}, parent)
{ }

RefreshCycle::RefreshCycle(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_history(options.historyPath)
    , m_schedule(new RefreshSchedule(
          {options.interval, options.networkWait, options.wakeDelay, options.watchNetwork}, this))
    , m_choices(options.account        ? options.account
                    : options.provider ? std::optional(options.provider->rawValue())
                                       : std::nullopt,
                options.allProviders)
{
    m_state = RefreshState::of(account());
    connect(m_schedule, &RefreshSchedule::periodDue, this, [this] { refresh(Trigger::Timer); });
    connect(m_schedule, &RefreshSchedule::wakeDue, this, [this] { refresh(Trigger::Wake); });
    connect(m_schedule, &RefreshSchedule::networkBack, this,
            [this] { refresh(Trigger::NetworkBack); });
    connect(m_schedule, &RefreshSchedule::storeLookDue, this, &RefreshCycle::watchStore);
}

RefreshCycle::~RefreshCycle() = default;

AccountWatch &RefreshCycle::watch(const Account &account)
{
    std::unique_ptr<AccountWatch> &watch = m_watches[account.id];
    if (!watch) // a burst's follow-up, if still watched
        watch = std::make_unique<AccountWatch>(
            account, [this, id = account.id](Trigger trigger) { askIfWatched(id, trigger); });
    return *watch;
}

// What was last reported of the account: nothing yet for one never asked.
const RefreshState &RefreshCycle::latest(const QString &id) const
{
    static const RefreshState none;
    const auto it = m_watches.find(id);
    return it == m_watches.end() ? none : it->second->latest;
}

void RefreshCycle::start()
{
    if (m_started)
        return;
    m_started = true;
    KeyStore::watchService(this, [this] { storeChanged(); });
    refresh(Trigger::Start);
    m_schedule->start();
}

const QTimer &RefreshCycle::timer() const
{
    return m_schedule->timer();
}

// From the moment the selection changes (here, or in another process: the tray's choice read by
// a text bar), what is reported is the new account's own: what is known of it, else that its
// figure is still to come. Nothing of the account before stands under the new one's name.
void RefreshCycle::followSelection()
{
    const Account selected = account();
    if (selected.id == m_state.account().id)
        return;
    const RefreshState &known = watch(selected).latest;
    m_state = known.kind == RefreshState::Kind::Starting ? RefreshState::of(selected) : known;
    m_state.notices = m_notices.all();
    // The state shown no longer waits for the keyring: nothing looks at it again until it
    // fails.
    if (!m_state.awaitsStore())
        m_schedule->endStoreWatch();
    Q_EMIT stateChanged(m_state);
}

// Asked at once, whatever is under way, while selected or watched.
void RefreshCycle::askIfWatched(const QString &id, Trigger trigger)
{
    const std::optional<Account> known = account(id);
    if (known && (id == account().id || queriesAll()))
        begin(*known, trigger);
}

bool RefreshCycle::firstAnswersPending() const
{
    if (m_state.kind == RefreshState::Kind::Starting || (m_othersWanted && queriesAll()))
        return true;
    return queriesAll() && std::ranges::any_of(m_watches, [](const auto &entry) {
               return entry.second->querying()
                   && entry.second->latest.kind == RefreshState::Kind::Starting;
           });
}

void RefreshCycle::refresh(Trigger trigger)
{
    followSelection();
    request(account(), trigger);
    // A saved key is the selected account's business alone.
    if (trigger != Trigger::KeySaved && queriesAll()
        && (!m_othersWanted || trigger == Trigger::User))
        m_othersWanted = trigger;
}

// The others are asked only once the keyring answers: a locked one would otherwise show its
// unlock prompt once for each of them.
void RefreshCycle::askOthers()
{
    const std::optional<Trigger> trigger = std::exchange(m_othersWanted, std::nullopt);
    if (!trigger || !queriesAll())
        return;
    const QString selected = account().id;
    for (const Account &a : accounts()) {
        if (a.id != selected)
            request(a, *trigger);
    }
}

void RefreshCycle::request(const Account &account, Trigger trigger)
{
    // A saved key is asked at once, whatever is under way.
    if (trigger != Trigger::KeySaved && watch(account).folds(trigger)) {
        qCDebug(log::refresh).noquote() << "refresh for" << account.id << "on" << log::name(trigger)
                                        << "follows the query under way";
        if (trigger == Trigger::User && account.id == this->account().id)
            Q_EMIT loading(account.id, trigger);
        return;
    }
    begin(account, trigger);
}

void RefreshCycle::begin(const Account &account, Trigger trigger)
{
    const Query query {++m_lastQuery, account, trigger};
    watch(account).began();
    qCDebug(log::refresh).noquote()
        << "query" << query.number << "for" << account.id << "on" << log::name(trigger);
    if (account.id == this->account().id)
        Q_EMIT refreshing(account.id);
    QPointer<RefreshCycle> self(this);
    KeyStore::read(
        account.keychainAccount(),
        [self, query](const KeyStore::ReadResult &key) {
            if (self)
                self->keyRead(query, key);
        },
        m_options.keyReadDeadline);
}

// Whether what `query` brought may still be shown: its account is still there, selected or
// watched, and no newer query's result is shown for it yet.
bool RefreshCycle::isCurrent(const Query &query, const char *what) const
{
    const QString &id = query.account.id;
    const std::optional<Account> now = account(id);
    const auto known = m_watches.find(id);
    const char *why = !now || known == m_watches.end() ? "the account is gone"
        : id != account().id && !queriesAll()          ? "no longer selected"
        : query.number <= known->second->shownQuery    ? "a newer answer is shown"
                                                       : nullptr;
    if (why)
        qCDebug(log::refresh).noquote()
            << what << "of query" << query.number << "for" << id << "dropped:" << why;
    // A Moonshot key counts on one platform only, a relay's at one address: an answer from
    // elsewhere says nothing about it.
    const bool elsewhere = !why && query.account.options != now->options;
    if (elsewhere)
        qCDebug(log::refresh) << what << "of query" << query.number << "dropped: asked elsewhere";
    return !why && !elsewhere;
}

void RefreshCycle::end(const Query &query)
{
    if (const auto known = m_watches.find(query.account.id); known != m_watches.end())
        known->second->ended();
}

void RefreshCycle::keyRead(const Query &query, const KeyStore::ReadResult &key)
{
    if (key)
        askOthers();
    if (!isCurrent(query, "key")) {
        end(query);
        return;
    }
    const bool selected = query.account.id == account().id;
    if (!key && !selected) {
        // The keyring failing is said for the selected account; the others keep what they
        // showed and are asked again once it answers.
        end(query);
        return;
    }
    if (!key) {
        // A keyring that does not answer may be waiting for the user to unlock it, starting
        // late, or restarting: once it answers, the balance follows without anyone clicking.
        // A read that ran out of time goes on in the store: the watch joins it at once.
        const bool waits = key.error() == KeyStore::Failure::Waiting;
        if (key.error() == KeyStore::Failure::NoAnswer || waits)
            m_schedule->lookAtStoreNow();
        else if (key.error() == KeyStore::Failure::Unavailable)
            m_schedule->lookAtStoreLater();
        RefreshState state = RefreshState::of(query.account,
                                              waits ? RefreshState::Kind::Waiting
                                                    : RefreshState::Kind::StoreUnavailable);
        state.message = KeyStore::message(key.error());
        report(query, std::move(state));
        end(query);
        return;
    }
    if (!*key) {
        report(query, RefreshState::of(query.account, RefreshState::Kind::NoKey));
        end(query);
        return;
    }
    if (selected)
        Q_EMIT loading(query.account.id, query.trigger);
    QPointer<RefreshCycle> self(this);
    ProviderClient::fetch(
        query.account.provider, **key,
        [self, query](const BalanceResult &result) {
            if (self)
                self->answered(query, result);
        },
        query.account.options);
}

void RefreshCycle::answered(const Query &query, const BalanceResult &result)
{
    if (!isCurrent(query, "answer")) {
        end(query);
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    if (result) {
        m_schedule->balanceCame();
        // The history is never needed to show the balance.
        BalanceHistory::Recent recent
            = m_history.keep(query.account.id, *result, now.toUTC(), RefreshState::recentDays);
        const QString problem = m_history.writeProblem();
        m_notices.set(QStringLiteral("history"),
                      problem.isEmpty()
                          ? QString()
                          : QStringLiteral("Der Verlauf wird gerade nicht gespeichert (%1); die "
                                           "Werte werden nachgetragen.")
                                .arg(problem));
        RefreshState state = RefreshState::of(query.account, RefreshState::Kind::Balance);
        state.balance = *result;
        state.at = now;
        state.forecast = std::move(recent.forecast);
        state.recent = std::move(recent.samples);
        report(query, std::move(state));
        end(query);
        return;
    }
    // The key may be what failed; one set right elsewhere (secret-tool, KWallet) is read next.
    KeyStore::forget(query.account.keychainAccount());
    m_schedule->queryFailed(query.trigger);
    RefreshState state = RefreshState::of(query.account, RefreshState::Kind::Failed);
    state.message = result.error().m;
    state.at = now;
    report(query, std::move(state));
    end(query);
}

void RefreshCycle::report(const Query &query, RefreshState state)
{
    followSelection();
    // The name and mark as they are now: either may have changed while it was asked.
    const Account now = account(query.account.id).value_or(query.account);
    state.accountName = now.name;
    state.lowMark = now.lowMark;
    watch(now).shownQuery = query.number;
    watch(now).latest = state;
    if (now.id != account().id) {
        qCDebug(log::refresh).noquote() << "beside it" << now.id << "now shows" << state.title();
        Q_EMIT otherChanged(state);
        return;
    }
    if (!state.awaitsStore())
        m_schedule->endStoreWatch();
    m_state = std::move(state);
    m_state.notices = m_notices.all();
    qCDebug(log::refresh).noquote() << now.id << "now shows" << m_state.title() << m_state.message;
    Q_EMIT stateChanged(m_state);
}

void RefreshCycle::noteSaved(const QString &topic, bool saved, const QString &choice)
{
    setNotice(topic, saved ? QString() : Notices::unsaved(choice));
}

void RefreshCycle::setNotice(const QString &topic, const QString &text)
{
    if (!m_notices.set(topic, text))
        return;
    m_state.notices = m_notices.all();
    Q_EMIT stateChanged(m_state);
}

// Reads the key once more while the keyring cannot be read; a keyring that answers (with a key
// or without one) brings the refresh, one that still fails is looked at again later, and one
// that stays locked (its unlock prompt dismissed) is left to the user.
void RefreshCycle::watchStore()
{
    if (m_watchingStore || !m_state.awaitsStore())
        return;
    m_watchingStore = true;
    const Account asked = account();
    QPointer<RefreshCycle> self(this);
    KeyStore::read(asked.keychainAccount(), [self, asked](const KeyStore::ReadResult &key) {
        if (!self)
            return;
        self->m_watchingStore = false;
        if (asked.id != self->account().id || !self->m_state.awaitsStore())
            return;
        if (key)
            self->refresh(Trigger::StoreBack);
        else if (key.error() != KeyStore::Failure::Locked)
            self->m_schedule->lookAtStoreAgain();
    });
}

// The keyring (re)started or what it holds changed: what it could not answer before, it may
// answer now, and a key may be there for an account shown without one (stored with
// secret-tool, or in KWallet's manager).
void RefreshCycle::storeChanged()
{
    if (m_state.awaitsStore()) {
        refresh(Trigger::StoreBack);
        return;
    }
    const QString selected = m_state.account().id;
    for (const Account &a : accounts()) {
        const bool watched = a.id == selected || queriesAll();
        if (watched && latest(a.id).kind == RefreshState::Kind::NoKey)
            request(a, Trigger::StoreBack);
    }
}

} // namespace creditgauge
