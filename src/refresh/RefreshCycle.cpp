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
    , m_choices(options.provider, options.allProviders)
{
    m_state.provider = provider();
    for (const Provider p : Provider::allCases()) // a burst's follow-up, if still watched
        m_watches[p.value()] = std::make_unique<AccountWatch>(
            p, [this, p](Trigger trigger) { askIfWatched(p, trigger); });
    connect(m_schedule, &RefreshSchedule::periodDue, this, [this] { refresh(Trigger::Timer); });
    connect(m_schedule, &RefreshSchedule::wakeDue, this, [this] { refresh(Trigger::Wake); });
    connect(m_schedule, &RefreshSchedule::networkBack, this,
            [this] { refresh(Trigger::NetworkBack); });
    connect(m_schedule, &RefreshSchedule::storeLookDue, this, &RefreshCycle::watchStore);
}

RefreshCycle::~RefreshCycle() = default;

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

void RefreshCycle::selectProvider(Provider provider)
{
    noteSaved(QStringLiteral("settings"), m_choices.setProvider(provider),
              QStringLiteral("Die Anbieterwahl"));
    refresh(Trigger::User);
}

// From the moment the selection changes (here, or in another process: the tray's choice read by
// a text bar), what is reported is the new provider's own: what is known of it, else that its
// figure is still to come. Nothing of the provider before stands under the new one's name.
void RefreshCycle::followSelection()
{
    const Provider selected = provider();
    if (selected == m_state.provider)
        return;
    const RefreshState &known = watch(selected).latest;
    m_state
        = known.kind == RefreshState::Kind::Starting ? RefreshState {.provider = selected} : known;
    m_state.notices = m_notices.all();
    // The state shown no longer waits for the keyring: nothing looks at it again until it
    // fails.
    if (!m_state.awaitsStore())
        m_schedule->endStoreWatch();
    Q_EMIT stateChanged(m_state);
}

void RefreshCycle::setQueriesAll(bool on)
{
    noteSaved(QStringLiteral("allProviders"), m_choices.setAllProviders(on),
              QStringLiteral("Die Einstellung \u201EAlle Anbieter abfragen\u201C"));
    if (on) {
        refresh(Trigger::User);
        return;
    }
    m_othersWanted.reset();
    const Provider selected = provider();
    for (const Provider p : Provider::allCases()) {
        RefreshState &latest = watch(p).latest;
        if (p == selected || latest.kind == RefreshState::Kind::Starting)
            continue;
        latest = RefreshState {.provider = p};
        Q_EMIT otherChanged(latest);
    }
}

QList<RefreshState> RefreshCycle::others() const
{
    QList<RefreshState> list;
    if (!queriesAll())
        return list;
    for (const Provider p : Provider::allCases()) {
        const RefreshState &latest = watch(p).latest;
        if (p != m_state.provider && latest.answered())
            list << latest;
    }
    return list;
}

void RefreshCycle::selectMoonshotRegion(MoonshotRegion region, bool refresh)
{
    noteSaved(QStringLiteral("region"), m_choices.setMoonshotRegion(region),
              QStringLiteral("Die Regionswahl"));
    // A query under way asks the other platform, whose answer is dropped: not waited for.
    if (refresh)
        askIfWatched(Provider::moonshot, Trigger::User);
}

// Asked at once, whatever is under way, while selected or watched.
void RefreshCycle::askIfWatched(Provider provider, Trigger trigger)
{
    if (provider == this->provider() || queriesAll())
        begin(provider, trigger);
}

void RefreshCycle::setLowMark(Provider provider, double mark)
{
    noteSaved(QStringLiteral("lowMark"), m_choices.setLowMark(provider, mark),
              QStringLiteral("Die Warnschwelle"));
    watch(provider).latest.lowMark = mark;
    if (provider != m_state.provider)
        return Q_EMIT otherChanged(watch(provider).latest);
    m_state.lowMark = mark;
    Q_EMIT stateChanged(m_state);
}

void RefreshCycle::setRelayAddress(const QString &address, bool refresh)
{
    noteSaved(QStringLiteral("relay"), m_choices.setRelayAddress(address),
              QStringLiteral("Die Relay-Adresse"));
    if (refresh)
        askIfWatched(Provider::relay, Trigger::User);
}

void RefreshCycle::keySaved(Provider provider)
{
    askIfWatched(provider, Trigger::KeySaved);
}

bool RefreshCycle::firstAnswersPending() const
{
    if (m_state.kind == RefreshState::Kind::Starting || (m_othersWanted && queriesAll()))
        return true;
    return queriesAll() && std::ranges::any_of(Provider::allCases(), [this](Provider p) {
               return watch(p).querying() && watch(p).latest.kind == RefreshState::Kind::Starting;
           });
}

void RefreshCycle::refresh(Trigger trigger)
{
    followSelection();
    request(provider(), trigger);
    // A saved key is the selected provider's business alone.
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
    const Provider selected = provider();
    for (const Provider p : Provider::allCases()) {
        if (p != selected)
            request(p, *trigger);
    }
}

void RefreshCycle::request(Provider provider, Trigger trigger)
{
    // A saved key is asked at once, whatever is under way.
    if (trigger != Trigger::KeySaved && watch(provider).folds(trigger)) {
        qCDebug(log::refresh).noquote() << "refresh for" << provider.rawValue() << "on"
                                        << log::name(trigger) << "follows the query under way";
        if (trigger == Trigger::User && provider == this->provider())
            Q_EMIT loading(provider, trigger);
        return;
    }
    begin(provider, trigger);
}

void RefreshCycle::begin(Provider provider, Trigger trigger)
{
    const Query query {++m_lastQuery, provider, trigger, options(provider)};
    watch(provider).began();
    qCDebug(log::refresh).noquote()
        << "query" << query.number << "for" << provider.rawValue() << "on" << log::name(trigger);
    if (provider == this->provider())
        Q_EMIT refreshing(provider);
    QPointer<RefreshCycle> self(this);
    KeyStore::read(
        provider.keychainAccount(),
        [self, query](const KeyStore::ReadResult &key) {
            if (self)
                self->keyRead(query, key);
        },
        m_options.keyReadDeadline);
}

// Whether what `query` brought may still be shown: its provider is still selected or watched,
// and no newer query's result is shown for it yet.
bool RefreshCycle::isCurrent(const Query &query, const char *what) const
{
    const char *why = query.provider != provider() && !queriesAll() ? "no longer selected"
        : query.number <= watch(query.provider).shownQuery          ? "a newer answer is shown"
                                                                    : nullptr;
    if (why)
        qCDebug(log::refresh).noquote() << what << "of query" << query.number << "for"
                                        << query.provider.rawValue() << "dropped:" << why;
    // A Moonshot key counts on one platform only, a relay's at one address: an answer from
    // elsewhere says nothing about it.
    const bool elsewhere = !why && query.options != options(query.provider);
    if (elsewhere)
        qCDebug(log::refresh) << what << "of query" << query.number << "dropped: asked elsewhere";
    return !why && !elsewhere;
}

void RefreshCycle::end(const Query &query)
{
    watch(query.provider).ended();
}

void RefreshCycle::keyRead(const Query &query, const KeyStore::ReadResult &key)
{
    if (key)
        askOthers();
    if (!isCurrent(query, "key")) {
        end(query);
        return;
    }
    const bool selected = query.provider == provider();
    if (!key && !selected) {
        // The keyring failing is said for the selected provider; the others keep what they
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
        report(query,
               {.kind = waits ? RefreshState::Kind::Waiting : RefreshState::Kind::StoreUnavailable,
                .provider = query.provider,
                .message = KeyStore::message(key.error())});
        end(query);
        return;
    }
    if (!*key) {
        report(query, {.kind = RefreshState::Kind::NoKey, .provider = query.provider});
        end(query);
        return;
    }
    if (selected)
        Q_EMIT loading(query.provider, query.trigger);
    QPointer<RefreshCycle> self(this);
    ProviderClient::fetch(
        query.provider, **key,
        [self, query](const BalanceResult &result) {
            if (self)
                self->answered(query, result);
        },
        query.options);
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
            = m_history.keep(query.provider, *result, now.toUTC(), RefreshState::recentDays);
        const QString problem = m_history.writeProblem();
        m_notices.set(QStringLiteral("history"),
                      problem.isEmpty()
                          ? QString()
                          : QStringLiteral("Der Verlauf wird gerade nicht gespeichert (%1); die "
                                           "Werte werden nachgetragen.")
                                .arg(problem));
        report(query,
               {.kind = RefreshState::Kind::Balance,
                .provider = query.provider,
                .balance = *result,
                .at = now,
                .forecast = std::move(recent.forecast),
                .recent = std::move(recent.samples)});
        end(query);
        return;
    }
    // The key may be what failed; one set right elsewhere (secret-tool, KWallet) is read next.
    KeyStore::forget(query.provider.keychainAccount());
    m_schedule->queryFailed(query.trigger);
    report(query,
           {.kind = RefreshState::Kind::Failed,
            .provider = query.provider,
            .message = result.error().m,
            .at = now});
    end(query);
}

void RefreshCycle::report(const Query &query, RefreshState state)
{
    followSelection();
    state.region = query.options.region;
    state.relayAddress = query.options.relayAddress;
    state.lowMark = lowMark(query.provider);
    watch(query.provider).shownQuery = query.number;
    watch(query.provider).latest = state;
    if (query.provider != provider()) {
        qCDebug(log::refresh).noquote()
            << "beside it" << state.provider.rawValue() << "now shows" << state.title();
        Q_EMIT otherChanged(state);
        return;
    }
    if (!state.awaitsStore())
        m_schedule->endStoreWatch();
    m_state = std::move(state);
    m_state.notices = m_notices.all();
    qCDebug(log::refresh).noquote()
        << m_state.provider.rawValue() << "now shows" << m_state.title() << m_state.message;
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
    const Provider asked = provider();
    QPointer<RefreshCycle> self(this);
    KeyStore::read(asked.keychainAccount(), [self, asked](const KeyStore::ReadResult &key) {
        if (!self)
            return;
        self->m_watchingStore = false;
        if (asked != self->provider() || !self->m_state.awaitsStore())
            return;
        if (key)
            self->refresh(Trigger::StoreBack);
        else if (key.error() != KeyStore::Failure::Locked)
            self->m_schedule->lookAtStoreAgain();
    });
}

// The keyring (re)started or what it holds changed: what it could not answer before, it may
// answer now, and a key may be there for a provider shown without one (stored with
// secret-tool, or in KWallet's manager).
void RefreshCycle::storeChanged()
{
    if (m_state.awaitsStore()) {
        refresh(Trigger::StoreBack);
        return;
    }
    for (const Provider p : Provider::allCases()) {
        const bool watched = p == m_state.provider || queriesAll();
        if (watched && watch(p).latest.kind == RefreshState::Kind::NoKey)
            request(p, Trigger::StoreBack);
    }
}

} // namespace creditgauge
