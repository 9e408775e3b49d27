// Any body, as each provider's answer: decoding and balance assembly must neither crash nor
// take long, and what reaches the screen stays bounded.
#include "core/Format.h"
#include "providers/BalanceAssembly.h"

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
    check(BalanceAssembly::deepseek(body));
    if (const auto credits = BalanceAssembly::openrouterCredits(body))
        check(*credits);
    check(BalanceAssembly::openrouterKey(body));
    check(BalanceAssembly::moonshot(body));
    return 0;
}
