#pragma once

#include "core/Records.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace creditgauge {

// How fast the credit goes and how long it lasts at that pace.
struct SpendingForecast
{
    QString currency;
    double perDay = 0.0;
    double daysLeft = 0.0;

    friend bool operator==(const SpendingForecast &, const SpendingForecast &) = default;
};

namespace Forecast {

// The period the pace is taken over, and the least history it needs.
inline constexpr int windowDays = 7;
inline constexpr qint64 minimumSpanSecs = 24 * 3600;

// The samples (any order) that read as one line over time: valid times, finite totals, sorted
// by time, and of the newest sample's currency (in any letter case) and figure. Another
// currency or figure is another quantity; a change between them is neither spending nor a
// top-up. The chart draws this line and the forecast reads it.
QList<BalanceSample> series(const QList<BalanceSample> &samples);

// From one provider's samples (any order): the spending per day over the last windowDays
// before `now`, along their series(), counting only decreases (a top-up is not
// negative spending), and the days the newest total lasts at that pace. Nothing when the
// samples used span less than a day or nothing was spent.
std::optional<SpendingForecast> compute(const QList<BalanceSample> &samples, const QDateTime &now);

// "≈ $ 1,20 pro Tag · reicht noch ≈ 16 Tage"
QString line(const SpendingForecast &forecast);
// Its end: "reicht noch ≈ 16 Tage", "reicht keinen Tag mehr".
QString lasts(const SpendingForecast &forecast);

} // namespace Forecast
} // namespace creditgauge
