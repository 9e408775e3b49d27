#include "LowBalanceNotifier.h"

#include "providers/ProviderDescription.h"

#include "NotificationsInterface.h"
#include "core/Format.h"
#include "core/Identity.h"
#include "core/Log.h"
#include "history/BalanceHistory.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <cmath>

namespace creditgauge {
namespace {

// Per account; a provider's first account's carry the provider's raw value, as before there
// were accounts.
QString lowFlag(const Account &account)
{
    return QStringLiteral("alert.low.") + account.id;
}

QString runningOutFlag(const Account &account)
{
    return QStringLiteral("alert.running-out.") + account.id;
}

} // namespace

LowBalanceNotifier::LowBalanceNotifier(BalanceHistory &memory, QObject *parent)
    : QObject(parent)
    , m_memory(memory)
    , m_service(new OrgFreedesktopNotificationsInterface(
          QStringLiteral("org.freedesktop.Notifications"),
          QStringLiteral("/org/freedesktop/Notifications"), QDBusConnection::sessionBus(), this))
{
    connect(m_service, &OrgFreedesktopNotificationsInterface::ActionInvoked, this,
            &LowBalanceNotifier::actionInvoked);
    connect(m_service, &OrgFreedesktopNotificationsInterface::NotificationClosed, this,
            [this](uint id, uint) { m_shown.remove(id); });
}

LowBalanceNotifier::~LowBalanceNotifier() = default;

void LowBalanceNotifier::balanceShown(const Account &account, const Balance &balance,
                                      const std::optional<SpendingForecast> &forecast)
{
    const double mark = account.lowMark;
    // Infinity or NaN from a provider is shown as it came, but says nothing about running low.
    if (!std::isfinite(balance.total))
        return;
    const QString amount = Format::amount(balance.total, balance.currency, true);
    const QString outlook = forecast ? QStringLiteral("\n") + Forecast::line(*forecast) : QString();

    const bool low = isLow(balance, mark);
    const bool wasLow = m_memory.flag(lowFlag(account));
    if (low != wasLow)
        m_memory.setFlag(lowFlag(account), low);

    // Unknown pace (too little history) changes nothing; a known one of three days or more
    // ends the alert, so that it can come again.
    const bool runningOut = forecast && forecast->daysLeft < runningOutDays;
    const bool wasRunningOut = m_memory.flag(runningOutFlag(account));
    if (forecast && runningOut != wasRunningOut)
        m_memory.setFlag(runningOutFlag(account), runningOut);

    // Both at once say one thing: the low one, with the pace.
    const QUrl topUp(account.provider.description().topUpAddress(account.options));
    // "DeepSeek-Guthaben niedrig", with the account's name after it where it has one.
    const auto summary = [&account](const QString &text) {
        return text.arg(account.provider.displayName())
            + (account.name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(account.name));
    };
    if (low && !wasLow) {
        send(topUp, summary(QStringLiteral("%1-Guthaben niedrig")),
             QStringLiteral("Noch %1, weniger als %2.")
                     .arg(amount, Format::amount(mark, balance.currency, true))
                 + outlook);
    } else if (runningOut && !wasRunningOut) {
        send(topUp, summary(QStringLiteral("%1-Guthaben bald aufgebraucht")),
             QStringLiteral("Noch %1.").arg(amount) + outlook);
    }
}

void LowBalanceNotifier::send(const QUrl &topUp, const QString &summary, const QString &body)
{
    if (!m_enabled)
        return;
    const QString action = QStringLiteral("Guthaben aufladen");
    // "default" is what a click on the notification itself does.
    const QStringList actions {QStringLiteral("default"), action, QStringLiteral("top-up"), action};
    const QVariantMap hints {{QStringLiteral("desktop-entry"), QLatin1String(applicationId)},
                             {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))}};
    qCDebug(log::notify).noquote() << "notifying:" << summary;
    auto *watcher = new QDBusPendingCallWatcher(
        m_service->Notify(QStringLiteral("CreditGauge"), 0, QStringLiteral("creditgauge"), summary,
                          body, actions, hints, -1),
        this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, topUp] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            // No notification service in this session: the tray's red title has to do.
            qCDebug(log::notify).noquote() << "no notification:" << reply.error().message();
            return;
        }
        m_shown.insert(reply.value(), topUp);
    });
}

void LowBalanceNotifier::actionInvoked(uint id, const QString &action)
{
    const auto it = m_shown.constFind(id);
    if (it == m_shown.cend() || !openUrl)
        return;
    if (action == u"default" || action == u"top-up")
        openUrl(*it);
}

} // namespace creditgauge
