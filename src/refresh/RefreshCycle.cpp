#include "RefreshCycle.h"

#include "NetworkWatcher.h"
#include "WakeWatcher.h"
#include "core/Log.h"
#include "providers/ProviderClient.h"
#include "store/Settings.h"

#include <QMetaEnum>

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
        return false;
    }
    return false;
}

template<typename Enum> const char *name(Enum value)
{
    return QMetaEnum::fromType<Enum>().valueToKey(int(value));
}

} // namespace

RefreshCycle::RefreshCycle(QObject *parent)
    : RefreshCycle(Options {}, parent)
{ }

RefreshCycle::RefreshCycle(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_history(options.historyPath)
    , m_unsavedChoice(options.provider)
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
    m_unsavedChoice = Settings::setProvider(provider) ? std::nullopt : std::optional(provider);
    refresh(Trigger::User);
}

void RefreshCycle::refresh(Trigger trigger)
{
    const Provider selected = provider();
    qCDebug(log::refresh).noquote()
        << "refresh for" << selected.rawValue() << "on" << name(trigger);
    Q_EMIT refreshing(selected);
    QPointer<RefreshCycle> self(this);
    KeyStore::read(
        selected.keychainAccount(),
        [self, selected, trigger](const KeyStore::ReadResult &key) {
            if (self)
                self->keyRead(selected, trigger, key);
        },
        m_options.keyReadDeadline);
}

void RefreshCycle::keyRead(Provider asked, Trigger trigger, const KeyStore::ReadResult &key)
{
    // Another provider was picked meanwhile; the refresh that picking started reports for it.
    if (asked != provider()) {
        qCDebug(log::refresh).noquote()
            << "key for" << asked.rawValue() << "dropped: no longer selected";
        return;
    }
    if (!key) {
        if (key.error() == KeyStore::Failure::NoAnswer)
            watchStore(asked);
        report({.kind = RefreshState::Kind::StoreUnavailable,
                .provider = asked,
                .message = storeMessage(key.error())});
        return;
    }
    if (!*key) {
        report({.kind = RefreshState::Kind::NoKey, .provider = asked});
        return;
    }
    Q_EMIT loading(asked, trigger);
    QPointer<RefreshCycle> self(this);
    ProviderClient::fetch(asked, **key, [self, asked, trigger](const BalanceResult &result) {
        if (self)
            self->answered(asked, trigger, result);
    });
}

void RefreshCycle::answered(Provider asked, Trigger trigger, const BalanceResult &result)
{
    if (asked != provider()) {
        qCDebug(log::refresh).noquote()
            << "answer for" << asked.rawValue() << "dropped: no longer selected";
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    if (result) {
        m_retryWhenOnline = false;
        // Kept first, so that the forecast includes it; history is never needed to show it.
        // One read serves the chart's month and the forecast's week within it.
        const QDateTime utc = now.toUTC();
        m_history.record(asked, *result, utc);
        QList<BalanceSample> recent
            = m_history.samples(asked, utc.addDays(-RefreshState::recentDays), true);
        std::optional<SpendingForecast> forecast = Forecast::compute(recent, utc);
        report({.kind = RefreshState::Kind::Balance,
                .provider = asked,
                .balance = *result,
                .at = now,
                .forecast = std::move(forecast),
                .recent = std::move(recent)});
        return;
    }
    if (isAutomatic(trigger) && isOffline()) {
        qCDebug(log::refresh) << "failed while offline; tried again when the network is back";
        m_retryWhenOnline = true;
    }
    report({.kind = RefreshState::Kind::Failed,
            .provider = asked,
            .message = result.error().m,
            .at = now});
}

void RefreshCycle::report(RefreshState state)
{
    m_state = std::move(state);
    qCDebug(log::refresh).noquote()
        << m_state.provider.rawValue() << "now shows" << m_state.title() << m_state.message;
    Q_EMIT stateChanged(m_state);
}

// A keyring that did not answer in time may be waiting for the user to unlock it. Once it
// answers with a key, the balance follows without anyone clicking.
void RefreshCycle::watchStore(Provider asked)
{
    if (m_watchingStore)
        return;
    m_watchingStore = true;
    QPointer<RefreshCycle> self(this);
    KeyStore::read(asked.keychainAccount(), [self, asked](const KeyStore::ReadResult &key) {
        if (!self)
            return;
        self->m_watchingStore = false;
        if (key && *key && asked == self->provider()
            && self->m_state.kind == RefreshState::Kind::StoreUnavailable)
            self->refresh(Trigger::StoreBack);
    });
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
