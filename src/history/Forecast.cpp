#include "Forecast.h"

#include "core/Format.h"

#include <algorithm>
#include <cmath>

namespace creditgauge::Forecast {

std::optional<SpendingForecast> compute(const QList<BalanceSample> &samples, const QDateTime &now)
{
    if (samples.isEmpty())
        return std::nullopt;
    const QDateTime from = now.addDays(-windowDays);
    QList<BalanceSample> window;
    for (const BalanceSample &s : samples) {
        if (s.at >= from && s.at <= now && std::isfinite(s.balance.total))
            window.append(s);
    }
    std::ranges::stable_sort(window, {}, &BalanceSample::at);
    if (window.isEmpty())
        return std::nullopt;
    // Another currency is another account's money (or the provider changed it): not comparable.
    const QString currency = window.constLast().balance.currency;
    window.removeIf([&currency](const BalanceSample &s) { return s.balance.currency != currency; });
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

QString line(const SpendingForecast &forecast)
{
    QString lasts;
    if (forecast.daysLeft < 1.0) {
        lasts = QStringLiteral("reicht keinen Tag mehr");
    } else {
        const qint64 days = std::llround(std::min(forecast.daysLeft, 1e6));
        lasts = QStringLiteral("reicht noch \u2248 %1 %2")
                    .arg(Format::locale().toString(days),
                         days == 1 ? QStringLiteral("Tag") : QStringLiteral("Tage"));
    }
    return QStringLiteral("\u2248 ") + Format::amount(forecast.perDay, forecast.currency, true)
        + QStringLiteral(" pro Tag \u00B7 ") + lasts;
}

} // namespace creditgauge::Forecast
