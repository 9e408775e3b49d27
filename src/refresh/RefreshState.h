#pragma once

#include "core/Account.h"
#include "core/Provider.h"
#include "core/Records.h"
#include "history/Forecast.h"
#include "providers/ProviderDescription.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace creditgauge {

// What the refresh cycle reports for an account, for any front end to show.
struct RefreshState
{
    enum class Kind {
        Starting, // nothing has been asked yet
        NoKey, // no key stored for the provider: nothing was sent
        StoreUnavailable, // the secret store could not be read: nothing was sent
        // The secret store waits for its user (KWallet being set up or unlocked): nothing was
        // sent yet, and nothing failed.
        Waiting,
        Balance, // the provider answered with a balance
        Failed, // the query failed
    };

    Kind kind = Kind::Starting;
    Provider provider = Provider::deepseek;
    QString accountId {}; // empty: the provider's first account
    QString accountName {}; // as the user named it
    // The platform asked, for Moonshot: a balance belongs to the one region it was read from.
    MoonshotRegion region = MoonshotRegion::international;
    QString relayAddress {}; // the address asked, for a relay
    std::optional<Balance> balance {}; // with Kind::Balance
    double lowMark = lowBalanceThreshold; // below it, in the balance's currency, it is low
    // The German message, with Kind::StoreUnavailable, Kind::Waiting and Kind::Failed.
    QString message {};
    QDateTime at {}; // when the answer arrived, with Kind::Balance and Kind::Failed
    // How long the balance lasts at the recent pace, with Kind::Balance when the history
    // allows a forecast.
    std::optional<SpendingForecast> forecast {};
    // With Kind::Balance: the provider's history over the last recentDays, oldest first,
    // beginning with the newest sample before them (where a line through the period starts).
    QList<BalanceSample> recent {};
    // What the user should know beyond the balance, in German: that the history or a choice
    // could not be saved. Empty when all is well.
    QStringList notices {};

    static constexpr int recentDays = 30;

    // A state of the account, with its options and mark, and nothing else yet.
    static RefreshState of(const Account &account, Kind kind = Kind::Starting)
    {
        return {.kind = kind,
                .provider = account.provider,
                .accountId = account.id,
                .accountName = account.name,
                .region = account.options.region,
                .relayAddress = account.options.relayAddress,
                .lowMark = account.lowMark};
    }

    // The status item's title: the amount without cents, "$ –" without one, "$ !" after a
    // failure, each with the symbol of the provider's currency ("¥ –" for yuan).
    QString title() const;
    // The account the state is of, with the options and mark it was asked and judged with.
    Account account() const
    {
        return {accountId.isEmpty() ? provider.rawValue() : accountId, provider, accountName,
                options(), lowMark};
    }
    // "DeepSeek", "DeepSeek · Arbeit".
    QString label() const { return account().label(); }
    // What the provider's amounts are in, known before any answer: "USD", "CNY".
    QString currency() const { return provider.currency(region); }
    // Where it was asked: the region and address of the query.
    ProviderOptions options() const { return {region, relayAddress}; }
    // Whether the title stands in the alarm colour: a low balance, no key, any failure.
    bool alarm() const;
    // Whether there is a balance, and it is below the provider's low mark.
    bool low() const { return balance && isLow(*balance, lowMark); }
    // Whether a query got as far as an answer: a balance, or the failure that came instead.
    bool answered() const { return kind == Kind::Balance || kind == Kind::Failed; }
    // Whether the key is still to be read once the secret store answers.
    bool awaitsStore() const { return kind == Kind::StoreUnavailable || kind == Kind::Waiting; }
    // "≈ $ 1,20 pro Tag · reicht noch ≈ 16 Tage", or empty without a forecast.
    QString forecastLine() const;
};

} // namespace creditgauge
