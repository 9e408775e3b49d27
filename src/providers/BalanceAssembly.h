#pragma once

#include "core/Provider.h"
#include "core/Records.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

// How each provider's answer becomes a Balance or the German message the user sees. Pure
// functions of one request result each: no I/O, no state.
namespace creditgauge::BalanceAssembly {

// The message for a failed request: its HTTP status, or one of HTTPFailure's two markers.
QString message(std::int64_t status);

BalanceResult deepseek(const RequestResult &response);

// OpenRouter's credits endpoint. Nothing when it gives no usable total; the key endpoint is
// asked next, and what the user sees comes from there.
std::optional<Balance> openrouterCredits(const RequestResult &response);
BalanceResult openrouterKey(const RequestResult &response);

// In the region's currency; a refused key (401) is likely one of the other region's.
BalanceResult moonshot(const RequestResult &response,
                       MoonshotRegion region = MoonshotRegion::international);
// How the message for a refused Moonshot key ends, after the other region's name: where the
// tray lets the user choose it. What has no menu (the self-test) tells its own way instead.
inline constexpr QStringView moonshotRegionChoice = u"Region im Menü wählen";

// What stands in for a currency code that no provider would send (markup, a megabyte of text,
// control characters): the generic currency sign.
inline constexpr char16_t unknownCurrency = u'\u00a4';

} // namespace creditgauge::BalanceAssembly
