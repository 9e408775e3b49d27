#include "BalanceAssembly.h"
#include "ProviderDescription.h"
#include "ResponseRecords.h"

// OpenRouter: the account's credits (management keys only), else what is left of the key's
// own limit.
namespace creditgauge {
namespace {

struct Credits
{
    std::optional<LB> totalCredits;
    std::optional<LB> totalUsage;
};

struct Key
{
    std::optional<LB> usage;
    std::optional<LB> limit;
    std::optional<LB> limitRemaining;
};

template<typename T> struct Envelope
{
    std::optional<T> data;
};

bool decodeCredits(const QJsonObject &o, Credits &out)
{
    JsonReader r(o);
    r.amount("total_credits", out.totalCredits);
    r.amount("total_usage", out.totalUsage);
    return r.ok();
}

bool decodeKey(const QJsonObject &o, Key &out)
{
    JsonReader r(o);
    r.amount("usage", out.usage);
    r.amount("limit", out.limit);
    r.amount("limit_remaining", out.limitRemaining);
    return r.ok();
}

template<typename T, bool (*inner)(const QJsonObject &, T &)>
bool decodeEnvelope(const QJsonObject &o, Envelope<T> &out)
{
    JsonReader r(o);
    r.object("data", out.data, inner);
    return r.ok();
}

// Nothing when the answer gives no usable total: the key endpoint is asked next, and what the
// user sees comes from there.
std::optional<Balance> credits(const RequestResult &response)
{
    if (!response)
        return std::nullopt;
    const auto answer
        = decodeAnswer<Envelope<Credits>>(*response, &decodeEnvelope<Credits, decodeCredits>);
    if (!answer || !answer->data)
        return std::nullopt;
    const std::optional<double> total = amountOf(answer->data->totalCredits);
    if (!total)
        return std::nullopt;
    const double usage = amountOf(answer->data->totalUsage).value_or(0.0);
    return Balance {
        QStringLiteral("USD"),
        *total - usage,
        {{QStringLiteral("Aufgeladen"), *total}, {QStringLiteral("Verbraucht"), usage}}};
}

BalanceResult key(const RequestResult &response)
{
    using namespace BalanceAssembly;
    if (!response)
        return failed(response.error());
    const auto answer = decodeAnswer<Envelope<Key>>(*response, &decodeEnvelope<Key, decodeKey>);
    if (!answer || !answer->data)
        return unreadable();
    const Key &data = *answer->data;
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

StepOutcome afterCredits(const RequestResult &response)
{
    if (std::optional<Balance> balance = credits(response))
        return BalanceResult(std::move(*balance));
    return finalStep(QStringLiteral("https://openrouter.ai/api/v1/key"), &key);
}

} // namespace

const ProviderDescription descriptions::openrouter {
    .rawValue = u"openrouter",
    .displayName = u"OpenRouter",
    .initials = u"OR",
    .keychainAccount = u"api-key-openrouter",
    .keyPlaceholder = u"sk-or-\u2026",
    .keyNote =
        [](const ProviderOptions &) {
            return QStringLiteral(
                       "Für das Guthaben ist ein Management-Key nötig (openrouter.ai \u2192 Keys). "
                       "Ein normaler Key zeigt nur das Schlüssel-Limit. ")
                + keyStoredNote();
        },
    .topUpAddress =
        [](const ProviderOptions &) {
            return QStringLiteral("https://openrouter.ai/settings/credits");
        },
    .currency = [](const ProviderOptions &) { return QStringLiteral("USD"); },
    .query =
        [](const ProviderOptions &) {
            return QueryStep {QStringLiteral("https://openrouter.ai/api/v1/credits"),
                              &afterCredits};
        },
};

} // namespace creditgauge
