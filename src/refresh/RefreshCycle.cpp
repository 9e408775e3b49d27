#include "RefreshCycle.h"

#include "NetworkWatcher.h"
#include "WakeWatcher.h"
#include "core/Log.h"
#include "providers/ProviderClient.h"
#include "store/Settings.h"

#include <QMetaEnum>

#include <algorithm>
#include <cmath>
#include <utility>

namespace creditgauge {
namespace {

QString storeMessage(KeyStore::Failure failure)
{
    switch (failure) {
    case KeyStore::Failure::Unavailable:
        return QStringLiteral("Der Schlüsselbund ist nicht erreichbar.");
    case KeyStore::Failure::Locked:
        return QStringLiteral("Der Schlüsselbund ist gesperrt.");
    case KeyStore::Failure::NoAnswer:
        return QStringLiteral("Der Schlüsselbund antwortet nicht.");
    case KeyStore::Failure::Waiting:
        return QStringLiteral("KWallet wartet darauf, eingerichtet oder entsperrt zu werden; "
                              "danach wird der Key gelesen.");
    }
    Q_UNREACHABLE();
    return {};
}

// A query nobody asked for just now; if it fails while the network is down, it is worth one
// more try when the network is back.
bool isAutomatic(RefreshCycle::Trigger trigger)
{
    switch (trigger) {
    case RefreshCycle::Trigger::Start:
    case RefreshCycle::Trigger::Timer:
    case RefreshCycle::Trigger::Wake:
    case RefreshCycle::Trigger::StoreBack:
        return true;
    case RefreshCycle::Trigger::NetworkBack: // the one retry; never a loop
    case RefreshCycle::Trigger::User:
    case RefreshCycle::Trigger::KeySaved:
        return false;
    }
    return false;
}

template<typename Enum> const char *name(Enum value)
{
    return QMetaEnum::fromType<Enum>().valueToKey(int(value));
}

// A query ends within about 40 s (two requests of at most 20 s each, or a key read that gives
// up after its deadline); one that seems to take longer is not waited for.
constexpr qint64 staleAfterMs = 120'000;
// The follow-up to a query begins no sooner than this after it, once no request for it has
// come for a moment, and at the latest this long after it.
constexpr qint64 followUpSpacingMs = 1000;
constexpr qint64 followUpQuietMs = 300;
constexpr qint64 followUpLatestMs = 10'000;
// An unreachable keyring is looked at again after this long, then less and less often.
constexpr std::chrono::milliseconds firstStoreWait {5000};
constexpr std::chrono::milliseconds longestStoreWait {300'000};

} // namespace

RefreshCycle::RefreshCycle(QObject *parent)
    : RefreshCycle(Options {}, parent)
{ }

RefreshCycle::RefreshCycle(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_history(options.historyPath)
    , m_storeWait(firstStoreWait)
    , m_unsavedChoice(options.provider)
    , m_allChoice(options.allProviders)
{
    m_state.provider = provider();
    m_timer.setInterval(options.interval);
    m_timer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { refresh(Trigger::Timer); });
    m_wakeTimer.setSingleShot(true);
    connect(&m_wakeTimer, &QTimer::timeout, this, [this] {
        m_waitingForNetwork = false;
        refresh(Trigger::Wake);
    });
    m_storeTimer.setSingleShot(true);
    connect(&m_storeTimer, &QTimer::timeout, this, &RefreshCycle::watchStore);
}

RefreshCycle::~RefreshCycle() = default;

void RefreshCycle::start()
{
    if (m_started)
        return;
    m_started = true;
    m_wake = new WakeWatcher(this);
    connect(m_wake, &WakeWatcher::wokeUp, this, &RefreshCycle::wokeUp);
    connect(m_wake, &WakeWatcher::goingToSleep, this, [this] {
        m_wakeTimer.stop();
        m_waitingForNetwork = false;
    });
    KeyStore::watchService(this, [this] { storeChanged(); });
    refresh(Trigger::Start);
    m_timer.start();
}

Provider RefreshCycle::provider() const
{
    return m_unsavedChoice.value_or(Settings::provider());
}

void RefreshCycle::selectProvider(Provider provider)
{
    // Should the choice not reach the disk, it still holds until the program ends.
    const bool saved = Settings::setProvider(provider);
    m_unsavedChoice = saved ? std::nullopt : std::optional(provider);
    noteSaved(QStringLiteral("settings"), saved, QStringLiteral("Die Anbieterwahl"));
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
    const RefreshState &known = m_latest[selected.value()];
    m_state = known.kind == RefreshState::Kind::Starting ? RefreshState {.provider = selected}
                                                          : known;
    m_state.notices = m_notices.values();
    if (!m_state.awaitsStore())
        endStoreWatch();
    Q_EMIT stateChanged(m_state);
}

// The state shown no longer waits for the keyring: nothing looks at it again until it fails.
void RefreshCycle::endStoreWatch()
{
    m_storeTimer.stop();
    m_storeWait = firstStoreWait;
}

bool RefreshCycle::queriesAll() const
{
    return m_allChoice.value_or(Settings::allProvidersEnabled());
}

void RefreshCycle::setQueriesAll(bool on)
{
    const bool saved = Settings::setAllProvidersEnabled(on);
    m_allChoice = saved ? std::nullopt : std::optional(on);
    noteSaved(QStringLiteral("allProviders"), saved,
              QStringLiteral("Die Einstellung \u201EAlle Anbieter abfragen\u201C"));
    if (on) {
        refresh(Trigger::User);
        return;
    }
    m_othersWanted.reset();
    const Provider selected = provider();
    for (const Provider p : Provider::allCases()) {
        RefreshState &latest = m_latest[p.value()];
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
        const RefreshState &latest = m_latest[p.value()];
        if (p != m_state.provider && latest.answered())
            list << latest;
    }
    return list;
}

MoonshotRegion RefreshCycle::moonshotRegion() const
{
    return m_unsavedRegion.value_or(Settings::moonshotRegion());
}

void RefreshCycle::selectMoonshotRegion(MoonshotRegion region, bool refresh)
{
    const bool saved = Settings::setMoonshotRegion(region);
    m_unsavedRegion = saved ? std::nullopt : std::optional(region);
    noteSaved(QStringLiteral("region"), saved, QStringLiteral("Die Regionswahl"));
    // A query under way asks the other platform, whose answer is dropped: not waited for.
    if (refresh && provider() == Provider::moonshot)
        begin(Provider::moonshot, Trigger::User);
}

void RefreshCycle::keySaved(Provider provider)
{
    if (provider == this->provider() || queriesAll())
        begin(provider, Trigger::KeySaved);
}

bool RefreshCycle::firstAnswersPending() const
{
    if (m_state.kind == RefreshState::Kind::Starting || (m_othersWanted && queriesAll()))
        return true;
    return queriesAll() && std::ranges::any_of(Provider::allCases(), [this](Provider p) {
               return m_busy[p.value()].queries > 0
                   && m_latest[p.value()].kind == RefreshState::Kind::Starting;
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
    const bool selected = provider == this->provider();
    Busy &busy = m_busy[provider.value()];
    // A query that began a moment ago counts as under way even when its answer came at once:
    // otherwise a fast server would turn every trigger of a burst into a query of its own.
    const bool justAsked = busy.since.isValid() && busy.since.elapsed() < followUpSpacingMs;
    if ((busy.queries > 0 || busy.spacing || justAsked) && trigger != Trigger::KeySaved) {
        if (busy.spacing || busy.since.elapsed() < staleAfterMs) {
            // A user's wish outweighs a timer's: the follow-up then shows it is loading.
            if (!busy.again || trigger == Trigger::User)
                busy.again = trigger;
            busy.asked.start();
            qCDebug(log::refresh).noquote() << "refresh for" << provider.rawValue() << "on"
                                            << name(trigger) << "follows the query under way";
            if (trigger == Trigger::User && selected)
                Q_EMIT loading(provider, trigger);
            if (busy.queries == 0 && !busy.spacing) {
                busy.spacing = true;
                followUp(provider);
            }
            return;
        }
        qCWarning(log::refresh).noquote()
            << "a query for" << provider.rawValue() << "has not ended for"
            << busy.since.elapsed() / 1000 << "s; not waiting for it any longer";
        busy.queries = 0;
    }
    begin(provider, trigger);
}

void RefreshCycle::begin(Provider provider, Trigger trigger)
{
    const Query query {++m_lastQuery, provider, trigger, moonshotRegion()};
    Busy &busy = m_busy[provider.value()];
    ++busy.queries;
    busy.since.start();
    qCDebug(log::refresh).noquote()
        << "query" << query.number << "for" << provider.rawValue() << "on" << name(trigger);
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
        : query.number <= m_shownQuery[query.provider.value()]      ? "a newer answer is shown"
                                                                    : nullptr;
    if (why)
        qCDebug(log::refresh).noquote() << what << "of query" << query.number << "for"
                                        << query.provider.rawValue() << "dropped:" << why;
    // A Moonshot key counts on one platform only; the other's answer says nothing about it.
    const bool otherRegion
        = !why && query.provider == Provider::moonshot && query.region != moonshotRegion();
    if (otherRegion)
        qCDebug(log::refresh) << what << "of query" << query.number << "dropped: other region";
    return !why && !otherRegion;
}

void RefreshCycle::end(const Query &query)
{
    Busy &busy = m_busy[query.provider.value()];
    busy.queries = std::max(0, busy.queries - 1);
    if (busy.queries > 0 || !busy.again || busy.spacing)
        return;
    busy.spacing = true;
    followUp(query.provider);
}

// The follow-up goes once the requests for it have stopped for a moment, and no sooner than a
// second after the query before, so that a burst of any length costs one more query; a stream
// that never stops gets one every ten seconds.
void RefreshCycle::followUp(Provider provider)
{
    Busy &busy = m_busy[provider.value()];
    const qint64 wait = std::min(
        std::max(followUpSpacingMs - busy.since.elapsed(), followUpQuietMs - busy.asked.elapsed()),
        followUpLatestMs - busy.since.elapsed());
    if (wait > 0) {
        QTimer::singleShot(wait, this, [this, provider] { followUp(provider); });
        return;
    }
    busy.spacing = false;
    const std::optional<Trigger> again = std::exchange(busy.again, std::nullopt);
    if (again && (provider == this->provider() || queriesAll()))
        begin(provider, *again);
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
            m_storeTimer.start(0);
        else if (key.error() == KeyStore::Failure::Unavailable)
            m_storeTimer.start(m_storeWait);
        report(query,
               {.kind = waits ? RefreshState::Kind::Waiting : RefreshState::Kind::StoreUnavailable,
                .provider = query.provider,
                .message = storeMessage(key.error())});
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
        query.region);
}

void RefreshCycle::answered(const Query &query, const BalanceResult &result)
{
    if (!isCurrent(query, "answer")) {
        end(query);
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    if (result) {
        m_retryWhenOnline = false;
        // Kept first, so that the forecast includes it; history is never needed to show it.
        // One read serves the chart's month and the forecast's week within it. Infinity and
        // NaN are shown as they came, but neither kept nor read as a pace.
        const bool finite = std::isfinite(result->total);
        const QDateTime utc = now.toUTC();
        m_history.record(query.provider, *result, utc);
        const QString problem = m_history.writeProblem();
        updateNotice(QStringLiteral("history"),
                     problem.isEmpty()
                         ? QString()
                         : QStringLiteral("Der Verlauf wird gerade nicht gespeichert (%1); die "
                                          "Werte werden nachgetragen.")
                               .arg(problem));
        QList<BalanceSample> recent
            = m_history.samples(query.provider, utc.addDays(-RefreshState::recentDays), true);
        std::optional<SpendingForecast> forecast
            = finite ? Forecast::compute(recent, utc) : std::nullopt;
        report(query,
               {.kind = RefreshState::Kind::Balance,
                .provider = query.provider,
                .balance = *result,
                .at = now,
                .forecast = std::move(forecast),
                .recent = std::move(recent)});
        end(query);
        return;
    }
    // The key may be what failed; one set right elsewhere (secret-tool, KWallet) is read next.
    KeyStore::forget(query.provider.keychainAccount());
    if (isAutomatic(query.trigger) && isOffline()) {
        qCDebug(log::refresh) << "failed while offline; tried again when the network is back";
        m_retryWhenOnline = true;
    }
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
    state.region = query.region;
    m_shownQuery[query.provider.value()] = query.number;
    m_latest[query.provider.value()] = state;
    if (query.provider != provider()) {
        qCDebug(log::refresh).noquote()
            << "beside it" << state.provider.rawValue() << "now shows" << state.title();
        Q_EMIT otherChanged(state);
        return;
    }
    if (!state.awaitsStore())
        endStoreWatch();
    m_state = std::move(state);
    m_state.notices = m_notices.values();
    qCDebug(log::refresh).noquote()
        << m_state.provider.rawValue() << "now shows" << m_state.title() << m_state.message;
    Q_EMIT stateChanged(m_state);
}

bool RefreshCycle::updateNotice(const QString &topic, const QString &text)
{
    if (m_notices.value(topic) == text)
        return false;
    if (text.isEmpty()) {
        m_notices.remove(topic);
        qCInfo(log::refresh).noquote() << topic << "is fine again";
    } else {
        m_notices.insert(topic, text);
        qCWarning(log::refresh).noquote() << text;
    }
    return true;
}

void RefreshCycle::noteSaved(const QString &topic, bool saved, const QString &choice)
{
    setNotice(topic,
              saved ? QString()
                    : choice
                      + QStringLiteral(" lässt sich nicht speichern; sie gilt, bis "
                                       "CreditGauge beendet wird."));
}

void RefreshCycle::setNotice(const QString &topic, const QString &text)
{
    if (!updateNotice(topic, text))
        return;
    m_state.notices = m_notices.values();
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
        if (key) {
            self->refresh(Trigger::StoreBack);
        } else if (key.error() != KeyStore::Failure::Locked) {
            qCDebug(log::refresh) << "the keyring is looked at again in"
                                  << self->m_storeWait.count() / 1000 << "s";
            self->m_storeTimer.start(self->m_storeWait);
            self->m_storeWait = std::min(2 * self->m_storeWait, longestStoreWait);
        }
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
        if (watched && m_latest[p.value()].kind == RefreshState::Kind::NoKey)
            request(p, Trigger::StoreBack);
    }
}
// logind announces the wake before Wi-Fi is back, so a query sent at once would fail. It goes
// out once the network is back, or after a short delay when the system tells nothing about the
// network.
// Asked first when it matters, after a wake or a failed query: until then the process does
// without the network information backend and what it loads.
NetworkWatcher::Status RefreshCycle::networkStatus()
{
    if (!m_options.watchNetwork)
        return NetworkWatcher::Status::Unknown;
    if (!m_network) {
        m_network = new NetworkWatcher(this);
        connect(m_network, &NetworkWatcher::statusChanged, this, &RefreshCycle::networkChanged);
    }
    return m_network->status();
}

void RefreshCycle::wokeUp()
{
    const NetworkWatcher::Status network = networkStatus();
    qCDebug(log::refresh) << "woke up; network" << name(network);
    if (network == NetworkWatcher::Status::Online) {
        m_wakeTimer.stop();
        refresh(Trigger::Wake);
        return;
    }
    m_waitingForNetwork = network == NetworkWatcher::Status::Offline;
    m_wakeTimer.start(m_waitingForNetwork ? m_options.networkWait : m_options.wakeDelay);
}

void RefreshCycle::networkChanged()
{
    qCDebug(log::refresh) << "network" << name(m_network->status());
    if (m_network->status() != NetworkWatcher::Status::Online)
        return;
    if (m_waitingForNetwork) {
        m_waitingForNetwork = false;
        m_wakeTimer.stop();
        m_retryWhenOnline = false;
        refresh(Trigger::Wake);
    } else if (m_retryWhenOnline) {
        m_retryWhenOnline = false;
        refresh(Trigger::NetworkBack);
    }
}

bool RefreshCycle::isOffline()
{
    return networkStatus() == NetworkWatcher::Status::Offline;
}

} // namespace creditgauge
