#include "BalanceAssembly.h"
#include "ProviderDescription.h"
#include "ResponseRecords.h"

// Moonshot: two platforms, each with keys, host and currency of its own. A key is only ever
// sent to the platform of the region the user chose.
namespace creditgauge {
namespace {

struct Data
{
    std::optional<LB> availableBalance;
    std::optional<LB> voucherBalance;
    std::optional<LB> cashBalance;
};

struct Answer
{
    std::optional<std::int64_t> code; // read, but never consulted
    std::optional<Data> data;
};

bool decodeData(const QJsonObject &o, Data &out)
{
    JsonReader r(o);
    r.amount("available_balance", out.availableBalance);
    r.amount("voucher_balance", out.voucherBalance);
    r.amount("cash_balance", out.cashBalance);
    return r.ok();
}

bool decode(const QJsonObject &o, Answer &out)
{
    JsonReader r(o);
    r.integer("code", out.code);
    r.object("data", out.data, &decodeData);
    return r.ok();
}

bool isChina(const ProviderOptions &options)
{
    return options.region == MoonshotRegion::china;
}

QString currency(const ProviderOptions &options)
{
    return isChina(options) ? QStringLiteral("CNY") : QStringLiteral("USD");
}

BalanceResult assemble(const RequestResult &response, const ProviderOptions &options)
{
    using namespace BalanceAssembly;
    if (!response) {
        QString text = message(response.error().status);
        // A refused key is likely one of the other region's: the user names the region, the
        // key is never tried on the other platform unasked.
        if (response.error().status == 401) {
            text += QStringLiteral(" \u2013 Key der Region %1? ")
                        .arg(displayName(isChina(options) ? MoonshotRegion::international
                                                          : MoonshotRegion::china));
            text += moonshotRegionChoice;
        }
        return std::unexpected(Err {text});
    }
    const std::optional<Answer> answer = decodeAnswer<Answer>(*response, &decode);
    if (!answer || !answer->data)
        return unreadable();
    const Data &data = *answer->data;
    const std::optional<double> available = amountOf(data.availableBalance);
    if (!available)
        return noTotal();

    Balance balance {currency(options), *available, {}};
    addDetail(balance, QStringLiteral("Bargeld"), amountOf(data.cashBalance));
    addDetail(balance, QStringLiteral("Gutschein"), amountOf(data.voucherBalance));
    return balance;
}

} // namespace

const ProviderDescription descriptions::moonshot {
    .rawValue = u"moonshot",
    .displayName = u"Moonshot",
    .initials = u"MS",
    .keychainAccount = u"api-key-moonshot",
    .keyPlaceholder = u"sk-\u2026",
    .keyNote =
        [](const ProviderOptions &options) {
            return (isChina(options)
                        ? QStringLiteral("Key aus platform.moonshot.cn (Region China). ")
                        : QStringLiteral("Key aus platform.moonshot.ai (Region "
                                         "International). "))
                + keyStoredNote();
        },
    .topUpAddress =
        [](const ProviderOptions &options) {
            return isChina(options) ? QStringLiteral("https://platform.moonshot.cn/console/pay")
                                    : QStringLiteral("https://platform.moonshot.ai/console/pay");
        },
    .currency = &currency,
    .query =
        [](const ProviderOptions &options) {
            return finalStep(isChina(options)
                                 ? QStringLiteral("https://api.moonshot.cn/v1/users/me/balance")
                                 : QStringLiteral("https://api.moonshot.ai/v1/users/me/balance"),
                             [options](const RequestResult &r) { return assemble(r, options); });
        },
};

} // namespace creditgauge
