#include "Relay.h"

#include "BalanceAssembly.h"
#include "ProviderDescription.h"
#include "ResponseRecords.h"

#include <QUrl>

// The relay's billing endpoints, as the OpenAI API once had them: the key's limit (or, on some
// sites, the account's) in dollars, and what was used of it in cents, since the beginning
// whatever dates are asked for.
namespace creditgauge {
namespace {

// What a key without a limit reads as: no amount, a marker.
constexpr double unlimited = 100'000'000;

bool isLoopback(const QString &host)
{
    if (host == u"localhost" || host == u"::1")
        return true;
    const QStringList parts = host.split(u'.');
    if (parts.size() != 4 || parts.front() != u"127")
        return false;
    for (const QString &part : parts) {
        bool ok = false;
        if (part.toUInt(&ok) > 255 || !ok)
            return false;
    }
    return true;
}

struct Empty
{
};

struct Subscription
{
    std::optional<LB> hardLimit;
    std::optional<Empty> error; // some relays answer a refusal with 200 and this
};

struct Usage
{
    std::optional<LB> totalUsage; // in cents
    std::optional<Empty> error;
};

bool decodeEmpty(const QJsonObject &, Empty &)
{
    return true;
}

bool decodeSubscription(const QJsonObject &o, Subscription &out)
{
    JsonReader r(o);
    r.amount("hard_limit_usd", out.hardLimit);
    r.object("error", out.error, &decodeEmpty);
    return r.ok();
}

bool decodeUsage(const QJsonObject &o, Usage &out)
{
    JsonReader r(o);
    r.amount("total_usage", out.totalUsage);
    r.object("error", out.error, &decodeEmpty);
    return r.ok();
}

BalanceResult remaining(const RequestResult &response, double limit)
{
    return BalanceAssembly::assembleAnswer(response, &decodeUsage, [limit](const Usage &usage) {
        const std::optional<double> cents = amountOf(usage.totalUsage);
        if (usage.error || !cents)
            return BalanceAssembly::noTotal();
        Balance balance {QStringLiteral("USD"), limit - *cents / 100, {}};
        BalanceAssembly::addDetail(balance, QStringLiteral("Limit"), limit);
        BalanceAssembly::addDetail(balance, QStringLiteral("Verbraucht"), cents, 100);
        return BalanceResult(balance);
    });
}

StepOutcome afterSubscription(const QString &base, const RequestResult &response)
{
    using namespace BalanceAssembly;
    if (!response)
        return failed(response.error());
    const std::optional<Subscription> subscription
        = decodeAnswer<Subscription>(*response, &decodeSubscription);
    if (!subscription)
        return unreadable();
    const std::optional<double> limit = amountOf(subscription->hardLimit);
    if (subscription->error || !limit)
        return noTotal();
    if (*limit >= unlimited)
        return BalanceResult(std::unexpected(
            Err {QStringLiteral("Key ohne Limit: das Relay nennt kein Guthaben")}));
    // The dates are what the OpenAI API wanted; relays ignore them and count from the start.
    return finalStep(base
                         + QStringLiteral("/v1/dashboard/billing/usage?start_date=2020-01-01"
                                          "&end_date=2100-01-01"),
                     [limit = *limit](const RequestResult &r) { return remaining(r, limit); });
}

// Nothing is sent: an empty address is never asked, and the reason is the answer.
QueryStep refused(const QString &why)
{
    return QueryStep {QString(), [why](const RequestResult &) -> StepOutcome {
                          return BalanceResult(std::unexpected(Err {why}));
                      }};
}

QString site(const ProviderOptions &options)
{
    const auto base = Relay::baseAddress(options.relayAddress);
    return base ? QUrl(*base).adjusted(QUrl::RemovePath).toString() : QString();
}

} // namespace

std::expected<QString, QString> Relay::baseAddress(const QString &entered)
{
    const QString text = entered.trimmed();
    if (text.isEmpty())
        return std::unexpected(QStringLiteral("Keine Relay-Adresse angegeben"));
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery()
        || url.hasFragment() || (url.scheme() != u"https" && url.scheme() != u"http"))
        return std::unexpected(QStringLiteral("Relay-Adresse ist ungültig"));
    if (url.scheme() == u"http" && !isLoopback(url.host()))
        return std::unexpected(QStringLiteral(
            "Relay-Adresse muss mit https:// beginnen (http:// nur für diesen Rechner)"));
    QString base = url.toString(QUrl::FullyEncoded);
    while (base.endsWith(u'/'))
        base.chop(1);
    if (base.endsWith(u"/v1"))
        base.chop(3);
    return base;
}

const ProviderDescription descriptions::relay {
    .rawValue = u"relay",
    .displayName = u"OpenAI-kompatibles Relay",
    .initials = u"RL",
    .keychainAccount = u"api-key-relay",
    .keyPlaceholder = u"sk-\u2026",
    .keyNote =
        [](const ProviderOptions &) {
            return QStringLiteral("Key eines Relays (New API, One API und Abwandlungen) mit seiner "
                                  "Adresse; der Key geht nur dorthin. ")
                + keyStoredNote();
        },
    .topUpAddress = &site,
    .currency = [](const ProviderOptions &) { return QStringLiteral("USD"); },
    .query =
        [](const ProviderOptions &options) {
            const auto base = Relay::baseAddress(options.relayAddress);
            if (!base)
                return refused(base.error());
            return QueryStep {*base + QStringLiteral("/v1/dashboard/billing/subscription"),
                              [base = *base](const RequestResult &r) {
                                  return afterSubscription(base, r);
                              }};
        },
};

} // namespace creditgauge
