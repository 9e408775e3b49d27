// Any body, as each provider's answer: decoding and balance assembly must neither crash nor
// take long, and what reaches the screen stays bounded.
#include "core/Format.h"
#include "providers/ProviderDescription.h"

#include <cstdint>
#include <cstdlib>

using namespace creditgauge;

namespace {

void check(const BalanceResult &result)
{
    if (!result)
        return;
    // The currency is the one answer text that is shown; it is a short code or the sign.
    if (result->currency.size() > 8)
        std::abort();
    // Amounts are below a thousand trillion: at most 16 digits, 5 separators, cents, a sign.
    const QString shown = Format::amount(result->total, result->currency, true);
    if (shown.size() > 8 + 1 + 26)
        std::abort();
    for (const BalanceDetail &d : result->details)
        (void)Format::amount(d.amount, result->currency, true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const RequestResult body(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    // The same body as every answer of every provider's query, each region, step after step.
    for (const Provider provider : Provider::allCases()) {
        for (const MoonshotRegion region : allMoonshotRegions) {
            StepOutcome outcome = provider.description().query({region});
            for (int step = 0; step < 4 && std::holds_alternative<QueryStep>(outcome); ++step)
                outcome = std::get<QueryStep>(outcome).next(body);
            if (const auto *result = std::get_if<BalanceResult>(&outcome))
                check(*result);
        }
    }
    return 0;
}
