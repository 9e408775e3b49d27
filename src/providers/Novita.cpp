#include "BalanceAssembly.h"
#include "ProviderDescription.h"
#include "ResponseRecords.h"

// Novita AI: its balance detail, every amount a text in ten-thousandths of a dollar.
namespace creditgauge {
namespace {

constexpr double parts = 10000.0; // to the dollar

struct Answer
{
    std::optional<LB> available; // cash and credit limit together: what can be spent
    std::optional<LB> cash;
    std::optional<LB> creditLimit;
    std::optional<LB> outstanding; // invoices not yet paid
};

bool decode(const QJsonObject &o, Answer &out)
{
    JsonReader r(o);
    r.amount("availableBalance", out.available);
    r.amount("cashBalance", out.cash);
    r.amount("creditLimit", out.creditLimit);
    r.amount("outstandingInvoices", out.outstanding);
    return r.ok();
}

BalanceResult build(const Answer &answer)
{
    using namespace BalanceAssembly;
    const std::optional<double> available = amountOf(answer.available);
    if (!available)
        return noTotal();
    Balance balance {QStringLiteral("USD"), *available / parts, {}};
    addDetail(balance, QStringLiteral("Bargeld"), amountOf(answer.cash), parts);
    addDetail(balance, QStringLiteral("Kreditlimit"), amountOf(answer.creditLimit), parts);
    // Usually zero; said only when something is owed.
    const std::optional<double> owed = amountOf(answer.outstanding);
    addDetail(balance, QStringLiteral("Offene Rechnungen"),
              owed && *owed != 0.0 ? owed : std::nullopt, parts);
    return balance;
}

BalanceResult assemble(const RequestResult &response)
{
    return BalanceAssembly::assembleAnswer(response, &decode, &build);
}

} // namespace

const ProviderDescription descriptions::novita {
    .rawValue = u"novita",
    .displayName = u"Novita AI",
    .initials = u"NV",
    .keychainAccount = u"api-key-novita",
    .keyPlaceholder = u"sk_\u2026",
    .keyNote = [](const ProviderOptions &) { return keyStoredNote(); },
    .topUpAddress
    = [](const ProviderOptions &) { return QStringLiteral("https://novita.ai/billing"); },
    .currency = [](const ProviderOptions &) { return QStringLiteral("USD"); },
    .query =
        [](const ProviderOptions &) {
            return finalStep(
                QStringLiteral("https://api.novita.ai/openapi/v1/billing/balance/detail"),
                &assemble);
        },
};

} // namespace creditgauge
