#include "BalanceAssembly.h"
#include "ProviderDescription.h"
#include "ResponseRecords.h"

// StepFun: GET /v1/accounts on the China platform, a flat answer in yuan.
namespace creditgauge {
namespace {

struct Answer
{
    std::optional<LB> balance; // what can be spent now
    std::optional<LB> cash; // topped up
    std::optional<LB> voucher; // granted
};

bool decode(const QJsonObject &o, Answer &out)
{
    JsonReader r(o);
    r.amount("balance", out.balance);
    r.amount("total_cash_balance", out.cash);
    r.amount("total_voucher_balance", out.voucher);
    return r.ok();
}

BalanceResult build(const Answer &answer)
{
    using namespace BalanceAssembly;
    const std::optional<double> total = amountOf(answer.balance);
    if (!total)
        return noTotal();
    // Cash and voucher are the account's totals, shown as they come: they need not add up to
    // the balance.
    Balance balance {QStringLiteral("CNY"), *total, {}};
    addDetail(balance, QStringLiteral("Bargeld"), amountOf(answer.cash));
    addDetail(balance, QStringLiteral("Gutschein"), amountOf(answer.voucher));
    return balance;
}

BalanceResult assemble(const RequestResult &response)
{
    return BalanceAssembly::assembleAnswer(response, &decode, &build);
}

} // namespace

const ProviderDescription descriptions::stepfun {
    .rawValue = u"stepfun",
    .displayName = u"StepFun",
    .initials = u"ST",
    .keychainAccount = u"api-key-stepfun",
    .keyPlaceholder = u"API-Key \u2026",
    .keyNote =
        [](const ProviderOptions &) {
            return QStringLiteral("Key aus platform.stepfun.com. ") + keyStoredNote();
        },
    .topUpAddress
    = [](const ProviderOptions &) { return QStringLiteral("https://platform.stepfun.com/"); },
    .currency = [](const ProviderOptions &) { return QStringLiteral("CNY"); },
    .query =
        [](const ProviderOptions &) {
            return finalStep(QStringLiteral("https://api.stepfun.com/v1/accounts"), &assemble);
        },
};

} // namespace creditgauge
