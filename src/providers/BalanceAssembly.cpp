#include "BalanceAssembly.h"

#include "HttpReply.h"
#include "ResponseRecords.h"

namespace creditgauge::BalanceAssembly {
namespace {

Err unreadable()
{
    return Err {QStringLiteral("Antwort nicht lesbar")};
}

Err noTotal()
{
    return Err {QStringLiteral("Antwort ohne Guthabenangabe")};
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

} // namespace

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

BalanceResult deepseek(const RequestResult &response)
{
    if (!response)
        return std::unexpected(Err {message(response.error().status)});
    const std::optional<DSResponse> decoded = DSResponse::decode(*response);
    if (!decoded)
        return std::unexpected(unreadable());
    if (!decoded->balanceInfos || decoded->balanceInfos->isEmpty())
        return std::unexpected(noTotal());
    const DSInfo &info = decoded->balanceInfos->front();
    const std::optional<double> total = amountOf(info.totalBalance);
    if (!total)
        return std::unexpected(noTotal());
    if (decoded->isAvailable == false)
        return std::unexpected(Err {QStringLiteral("Guthaben nicht verfügbar")});

    Balance balance {plausibleCurrency(info.currency.value_or(QStringLiteral("USD"))), *total, {}};
    if (const auto toppedUp = amountOf(info.toppedUpBalance))
        balance.details.append({QStringLiteral("Aufgeladen"), *toppedUp});
    if (const auto granted = amountOf(info.grantedBalance))
        balance.details.append({QStringLiteral("Geschenkt"), *granted});
    return balance;
}

std::optional<Balance> openrouterCredits(const RequestResult &response)
{
    if (!response)
        return std::nullopt;
    const std::optional<ORCredits> decoded = ORCredits::decode(*response);
    if (!decoded || !decoded->data)
        return std::nullopt;
    const std::optional<double> credits = amountOf(decoded->data->totalCredits);
    if (!credits)
        return std::nullopt;
    const double usage = amountOf(decoded->data->totalUsage).value_or(0.0);
    return Balance {
        QStringLiteral("USD"),
        *credits - usage,
        {{QStringLiteral("Aufgeladen"), *credits}, {QStringLiteral("Verbraucht"), usage}}};
}

BalanceResult openrouterKey(const RequestResult &response)
{
    if (!response)
        return std::unexpected(Err {message(response.error().status)});
    const std::optional<ORKey> decoded = ORKey::decode(*response);
    if (!decoded || !decoded->data)
        return std::unexpected(unreadable());
    const ORKey::Inner &data = *decoded->data;
    const double usage = amountOf(data.usage).value_or(0.0);
    const std::optional<double> limit = amountOf(data.limit);
    double total = 0.0;
    double keyLimit = 0.0;
    if (const auto remaining = amountOf(data.limitRemaining)) {
        total = *remaining;
        keyLimit = limit.value_or(usage + *remaining);
    } else if (!limit) {
        return std::unexpected(Err {QStringLiteral("Guthaben braucht Management-Key")});
    } else {
        total = *limit - usage;
        keyLimit = *limit;
    }
    return Balance {
        QStringLiteral("USD"),
        total,
        {{QStringLiteral("Key-Limit"), keyLimit}, {QStringLiteral("Verbraucht"), usage}},
        BalanceFigure::KeyLimit};
}

BalanceResult moonshot(const RequestResult &response, MoonshotRegion region)
{
    const bool china = region == MoonshotRegion::china;
    if (!response) {
        QString text = message(response.error().status);
        // The key is never tried on the other platform unasked: the user names the region.
        if (response.error().status == 401) {
            text += QStringLiteral(" \u2013 Key der Region %1? ")
                        .arg(displayName(china ? MoonshotRegion::international
                                               : MoonshotRegion::china));
            text += moonshotRegionChoice;
        }
        return std::unexpected(Err {text});
    }
    const std::optional<MSResponse> decoded = MSResponse::decode(*response);
    if (!decoded || !decoded->data)
        return std::unexpected(unreadable());
    const MSResponse::Inner &data = *decoded->data;
    const std::optional<double> available = amountOf(data.availableBalance);
    if (!available)
        return std::unexpected(noTotal());

    Balance balance {china ? QStringLiteral("CNY") : QStringLiteral("USD"), *available, {}};
    if (const auto cash = amountOf(data.cashBalance))
        balance.details.append({QStringLiteral("Bargeld"), *cash});
    if (const auto voucher = amountOf(data.voucherBalance))
        balance.details.append({QStringLiteral("Gutschein"), *voucher});
    return balance;
}

} // namespace creditgauge::BalanceAssembly
