#include "Forecast.h"

#include "core/Format.h"

#include <algorithm>
#include <cmath>

namespace creditgauge::Forecast {

QList<BalanceSample> series(const QList<BalanceSample> &samples)
{
    QList<BalanceSample> sorted;
    sorted.reserve(samples.size());
    for (const BalanceSample &s : samples) {
        if (s.at.isValid() && std::isfinite(s.balance.total))
            sorted << s;
    }
    std::ranges::stable_sort(sorted, {}, &BalanceSample::at);
    if (sorted.isEmpty())
        return sorted;
    const Balance newest = sorted.constLast().balance;
    sorted.removeIf([&newest](const BalanceSample &s) {
        return s.balance.figure != newest.figure
            || s.balance.currency.compare(newest.currency, Qt::CaseInsensitive) != 0;
    });
    return sorted;
}

std::optional<SpendingForecast> compute(const QList<BalanceSample> &samples, const QDateTime &now)
{
    const QDateTime from = now.addDays(-windowDays);
    QList<BalanceSample> window = series(samples);
    window.removeIf([&](const BalanceSample &s) { return s.at < from || s.at > now; });
    if (window.isEmpty())
        return std::nullopt;
    const QString currency = window.constLast().balance.currency;
    const qint64 span = window.constFirst().at.secsTo(window.constLast().at);
    if (span < minimumSpanSecs)
        return std::nullopt;
    double spent = 0.0;
    for (qsizetype i = 1; i < window.size(); ++i)
        spent += std::max(0.0, window[i - 1].balance.total - window[i].balance.total);
    const double perDay = spent / (double(span) / 86400.0);
    if (!(perDay > 0.0))
        return std::nullopt;
    const double total = window.constLast().balance.total;
    return SpendingForecast {currency, perDay, std::max(0.0, total) / perDay};
}

QString lasts(const SpendingForecast &forecast)
{
    if (forecast.daysLeft < 1.0)
        return QStringLiteral("reicht keinen Tag mehr");
    const qint64 days = std::llround(std::min(forecast.daysLeft, 1e6));
    return QStringLiteral("reicht noch \u2248 %1 %2")
        .arg(Format::locale().toString(days),
             days == 1 ? QStringLiteral("Tag") : QStringLiteral("Tage"));
}

QString line(const SpendingForecast &forecast)
{
    return QStringLiteral("\u2248 ") + Format::amount(forecast.perDay, forecast.currency, true)
        + QStringLiteral(" pro Tag \u00B7 ") + lasts(forecast);
}

} // namespace creditgauge::Forecast
