#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>
#include <expected>

namespace creditgauge {

// One labelled component of a balance ("Aufgeladen", "Verbraucht", ...).
struct BalanceDetail
{
    QString name;
    double amount = 0.0;

    friend bool operator==(const BalanceDetail &, const BalanceDetail &) = default;
};

// Which figure a balance's total is. OpenRouter answers with the credit left on the account
// or, for an ordinary key, with what is left of that key's limit: two different quantities
// that must never be read as one line over time.
enum class BalanceFigure { Credit, KeyLimit };

// The uniform result of a successful balance query, whatever the provider.
struct Balance
{
    QString currency; // as the provider delivered it, e.g. "USD"
    double total = 0.0; // in currency units, not cents
    QList<BalanceDetail> details; // in the order the provider's answer was read
    BalanceFigure figure = BalanceFigure::Credit;

    friend bool operator==(const Balance &, const Balance &) = default;
};

// A balance as it was seen at one moment, as the history keeps it.
struct BalanceSample
{
    QDateTime at; // in UTC
    Balance balance;

    friend bool operator==(const BalanceSample &, const BalanceSample &) = default;
};

// A failed balance query: the complete German message the user sees.
struct Err
{
    QString m;

    friend bool operator==(const Err &, const Err &) = default;
};

// A failed HTTP request: the status of a non-success answer, or one of the two markers below.
struct HTTPFailure
{
    static constexpr std::int64_t invalidAddress = -1; // nothing was sent
    static constexpr std::int64_t noResponse = -2; // transfer failed, no HTTP answer

    std::int64_t status = noResponse;

    friend bool operator==(const HTTPFailure &, const HTTPFailure &) = default;
};

using BalanceResult = std::expected<Balance, Err>;
using RequestResult = std::expected<QByteArray, HTTPFailure>;

// Below this total, compared unrounded in the balance's own currency, a balance is low, unless
// the user set another mark for the provider. NaN is never low.
inline constexpr double lowBalanceThreshold = 2.0;
inline bool isLow(const Balance &b, double mark = lowBalanceThreshold)
{
    return b.total < mark;
}

} // namespace creditgauge
