#include "BalanceAssembly.h"
#include "ProviderDescription.h"
#include "ResponseRecords.h"

// SiliconFlow's international platform: GET /v1/user/info, amounts as decimal texts in
// dollars. The China platform's host no longer tells the balance to an API key, so only this
// one is offered.
namespace creditgauge {
namespace {

constexpr std::int64_t success = 20000;

struct Data
{
    std::optional<LB> balance; // granted credit
    std::optional<LB> chargeBalance; // topped up
    std::optional<LB> totalBalance; // both together: what can be spent
};

struct Answer
{
    std::optional<std::int64_t> code;
    std::optional<bool> status;
    std::optional<Data> data;
};

bool decodeData(const QJsonObject &o, Data &out)
{
    JsonReader r(o);
    r.amount("balance", out.balance);
    r.amount("chargeBalance", out.chargeBalance);
    r.amount("totalBalance", out.totalBalance);
    return r.ok();
}

bool decode(const QJsonObject &o, Answer &out)
{
    JsonReader r(o);
    r.integer("code", out.code);
    r.boolean("status", out.status);
    r.object("data", out.data, &decodeData);
    return r.ok();
}

BalanceResult build(const Answer &answer)
{
    using namespace BalanceAssembly;
    // A refusal can come with status 200: its own code, and no data.
    if ((answer.code && *answer.code != success) || answer.status == false || !answer.data)
        return noTotal();
    const std::optional<double> total = amountOf(answer.data->totalBalance);
    if (!total)
        return noTotal();
    Balance balance {QStringLiteral("USD"), *total, {}};
    addDetail(balance, QStringLiteral("Aufgeladen"), amountOf(answer.data->chargeBalance));
    addDetail(balance, QStringLiteral("Geschenkt"), amountOf(answer.data->balance));
    return balance;
}

BalanceResult assemble(const RequestResult &response)
{
    return BalanceAssembly::assembleAnswer(response, &decode, &build);
}

} // namespace

const ProviderDescription descriptions::siliconflow {
    .rawValue = u"siliconflow",
    .displayName = u"SiliconFlow",
    .initials = u"SF",
    .keychainAccount = u"api-key-siliconflow",
    .keyPlaceholder = u"sk-\u2026",
    .keyNote =
        [](const ProviderOptions &) {
            return QStringLiteral("Key aus cloud.siliconflow.com (internationale Plattform; die "
                                  "chinesische nennt das Guthaben nicht über die API). ")
                + keyStoredNote();
        },
    .topUpAddress =
        [](const ProviderOptions &) {
            return QStringLiteral("https://cloud.siliconflow.com/expensebill");
        },
    .currency = [](const ProviderOptions &) { return QStringLiteral("USD"); },
    .query =
        [](const ProviderOptions &) {
            return finalStep(QStringLiteral("https://api.siliconflow.com/v1/user/info"), &assemble);
        },
};

} // namespace creditgauge
