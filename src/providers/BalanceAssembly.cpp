#include "BalanceAssembly.h"

#include "HttpReply.h"

namespace creditgauge::BalanceAssembly {

QString message(std::int64_t status)
{
    switch (status) {
    case 401:
    case 403:
        return QStringLiteral("API-Key ungültig (%1)").arg(status);
    case 429:
        return QStringLiteral("Zu viele Abfragen (429)");
    default:
        return HttpReply::message(status);
    }
}

BalanceResult failed(const HTTPFailure &failure)
{
    return std::unexpected(Err {message(failure.status)});
}

BalanceResult unreadable()
{
    return std::unexpected(Err {QStringLiteral("Antwort nicht lesbar")});
}

BalanceResult noTotal()
{
    return std::unexpected(Err {QStringLiteral("Antwort ohne Guthabenangabe")});
}

// The currency is the one text of an answer that reaches the screen, the tooltip and any
// other front end unchanged. Codes are a few letters ("USD", "CNY"); anything else is shown
// as the generic currency sign rather than as it came.
QString plausibleCurrency(const QString &code)
{
    constexpr qsizetype longest = 8;
    if (code.size() > longest)
        return QString(QChar(unknownCurrency));
    for (const QChar c : code) {
        const char16_t u = c.unicode();
        if (!((u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z')))
            return QString(QChar(unknownCurrency));
    }
    return code;
}

void addDetail(Balance &balance, const QString &name, std::optional<double> amount, double parts)
{
    if (amount)
        balance.details.append({name, *amount / parts});
}

} // namespace creditgauge::BalanceAssembly
