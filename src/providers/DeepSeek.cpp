#include "BalanceAssembly.h"
#include "ProviderDescription.h"
#include "ResponseRecords.h"

// DeepSeek: GET /user/balance, one entry per currency, the first one shown.
namespace creditgauge {
namespace {

struct Info
{
    std::optional<QString> currency;
    std::optional<LB> totalBalance;
    std::optional<LB> grantedBalance;
    std::optional<LB> toppedUpBalance;
};

struct Answer
{
    std::optional<bool> isAvailable;
    std::optional<QList<Info>> balanceInfos;
};

bool decodeInfo(const QJsonObject &o, Info &out)
{
    JsonReader r(o);
    r.string("currency", out.currency);
    r.amount("total_balance", out.totalBalance);
    r.amount("granted_balance", out.grantedBalance);
    r.amount("topped_up_balance", out.toppedUpBalance);
    return r.ok();
}

bool decode(const QJsonObject &o, Answer &out)
{
    JsonReader r(o);
    r.boolean("is_available", out.isAvailable);
    r.array("balance_infos", out.balanceInfos, &decodeInfo);
    return r.ok();
}

BalanceResult build(const Answer &answer)
{
    using namespace BalanceAssembly;
    if (!answer.balanceInfos || answer.balanceInfos->isEmpty())
        return noTotal();
    const Info &info = answer.balanceInfos->front();
    const std::optional<double> total = amountOf(info.totalBalance);
    if (!total)
        return noTotal();
    if (answer.isAvailable == false)
        return std::unexpected(Err {QStringLiteral("Guthaben nicht verfügbar")});

    Balance balance {plausibleCurrency(info.currency.value_or(QStringLiteral("USD"))), *total, {}};
    addDetail(balance, QStringLiteral("Aufgeladen"), amountOf(info.toppedUpBalance));
    addDetail(balance, QStringLiteral("Geschenkt"), amountOf(info.grantedBalance));
    return balance;
}

BalanceResult assemble(const RequestResult &response)
{
    return BalanceAssembly::assembleAnswer(response, &decode, &build);
}

} // namespace

const ProviderDescription descriptions::deepseek {
    .rawValue = u"deepseek",
    .displayName = u"DeepSeek",
    .initials = u"DS",
    // The first provider keeps the bare account name, so that keys stored before the others
    // existed are still found.
    .keychainAccount = u"api-key",
    .keyPlaceholder = u"sk-\u2026",
    .keyNote = [](const ProviderOptions &) { return keyStoredNote(); },
    .topUpAddress =
        [](const ProviderOptions &) {
            return QStringLiteral("https://platform.deepseek.com/top_up");
        },
    .currency = [](const ProviderOptions &) { return QStringLiteral("USD"); },
    .query =
        [](const ProviderOptions &) {
            return finalStep(QStringLiteral("https://api.deepseek.com/user/balance"), &assemble);
        },
};

} // namespace creditgauge
