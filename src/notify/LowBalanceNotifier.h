#pragma once

#include "core/Account.h"
#include "core/Records.h"
#include "history/Forecast.h"
#include "providers/ProviderDescription.h"

#include <QHash>
#include <QObject>
#include <QUrl>

#include <functional>
#include <optional>

class OrgFreedesktopNotificationsInterface;

namespace creditgauge {

class BalanceHistory;

// Tells the user, once, when the balance they watch runs low: when the total falls below the
// alarm threshold (again only after it has been at or above it in between), and when the
// forecast says it lasts less than three days. Through the desktop's notification service; with
// an action that opens the provider's page for adding credit. Without a notification service
// nothing happens and nothing is printed. What was said is kept in the history, so a restart
// does not repeat it.
class LowBalanceNotifier : public QObject
{
    Q_OBJECT
public:
    static constexpr double runningOutDays = 3.0;

    explicit LowBalanceNotifier(BalanceHistory &memory, QObject *parent = nullptr);
    ~LowBalanceNotifier() override;

    // Opens a provider's page when the user picks the notification's action.
    std::function<void(const QUrl &)> openUrl;

    // Switched off, nothing is sent, but what the balances say is still kept: switched on
    // again, only a change from then on is told.
    void setEnabled(bool enabled) { m_enabled = enabled; }
    bool isEnabled() const { return m_enabled; }

    // An account's balance as it is shown now, with the forecast if there is one, read where
    // its options say (Moonshot's region, a relay's address), whose page the notification's
    // action opens. Below the account's low mark it is low.
    void balanceShown(const Account &account, const Balance &balance,
                      const std::optional<SpendingForecast> &forecast);

private:
    void send(const QUrl &topUp, const QString &summary, const QString &body);
    void actionInvoked(uint id, const QString &action);

    BalanceHistory &m_memory;
    OrgFreedesktopNotificationsInterface *m_service;
    // The notifications of ours still on screen, with the page each one's action opens.
    QHash<uint, QUrl> m_shown;
    bool m_enabled = true;
};

} // namespace creditgauge
