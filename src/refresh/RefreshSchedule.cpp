#include "RefreshSchedule.h"

#include "WakeWatcher.h"
#include "core/Log.h"

#include <algorithm>

namespace creditgauge {
namespace {

constexpr std::chrono::milliseconds firstStoreWait {5000};
constexpr std::chrono::milliseconds longestStoreWait {300'000};

// Whether nobody asked for the query just now.
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

} // namespace

RefreshSchedule::RefreshSchedule(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_storeWait(firstStoreWait)
{
    m_timer.setInterval(options.interval);
    m_timer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &RefreshSchedule::periodDue);
    m_wakeTimer.setSingleShot(true);
    connect(&m_wakeTimer, &QTimer::timeout, this, [this] {
        m_waitingForNetwork = false;
        Q_EMIT wakeDue();
    });
    m_storeTimer.setSingleShot(true);
    connect(&m_storeTimer, &QTimer::timeout, this, &RefreshSchedule::storeLookDue);
}

RefreshSchedule::~RefreshSchedule() = default;

void RefreshSchedule::start()
{
    m_wake = new WakeWatcher(this);
    connect(m_wake, &WakeWatcher::wokeUp, this, &RefreshSchedule::wokeUp);
    connect(m_wake, &WakeWatcher::goingToSleep, this, [this] {
        m_wakeTimer.stop();
        m_waitingForNetwork = false;
    });
    m_timer.start();
}

void RefreshSchedule::queryFailed(RefreshCycle::Trigger trigger)
{
    if (isAutomatic(trigger) && networkStatus() == NetworkWatcher::Status::Offline) {
        qCDebug(log::refresh) << "failed while offline; tried again when the network is back";
        m_retryWhenOnline = true;
    }
}

void RefreshSchedule::lookAtStoreNow()
{
    m_storeTimer.start(0);
}

void RefreshSchedule::lookAtStoreLater()
{
    m_storeTimer.start(m_storeWait);
}

void RefreshSchedule::lookAtStoreAgain()
{
    qCDebug(log::refresh) << "the keyring is looked at again in" << m_storeWait.count() / 1000
                          << "s";
    m_storeTimer.start(m_storeWait);
    m_storeWait = std::min(2 * m_storeWait, longestStoreWait);
}

void RefreshSchedule::endStoreWatch()
{
    m_storeTimer.stop();
    m_storeWait = firstStoreWait;
}

// Asked first when it matters, after a wake or a failed query: until then the process does
// without the network information backend and what it loads.
NetworkWatcher::Status RefreshSchedule::networkStatus()
{
    if (!m_options.watchNetwork)
        return NetworkWatcher::Status::Unknown;
    if (!m_network) {
        m_network = new NetworkWatcher(this);
        connect(m_network, &NetworkWatcher::statusChanged, this, &RefreshSchedule::networkChanged);
    }
    return m_network->status();
}

void RefreshSchedule::wokeUp()
{
    const NetworkWatcher::Status network = networkStatus();
    qCDebug(log::refresh) << "woke up; network" << log::name(network);
    if (network == NetworkWatcher::Status::Online) {
        m_wakeTimer.stop();
        Q_EMIT wakeDue();
        return;
    }
    m_waitingForNetwork = network == NetworkWatcher::Status::Offline;
    m_wakeTimer.start(m_waitingForNetwork ? m_options.networkWait : m_options.wakeDelay);
}

void RefreshSchedule::networkChanged()
{
    qCDebug(log::refresh) << "network" << log::name(m_network->status());
    if (m_network->status() != NetworkWatcher::Status::Online)
        return;
    if (m_waitingForNetwork) {
        m_waitingForNetwork = false;
        m_wakeTimer.stop();
        m_retryWhenOnline = false;
        Q_EMIT wakeDue();
    } else if (m_retryWhenOnline) {
        m_retryWhenOnline = false;
        Q_EMIT networkBack();
    }
}

} // namespace creditgauge
