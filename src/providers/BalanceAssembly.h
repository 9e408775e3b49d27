#pragma once

#include "ResponseRecords.h"
#include "core/Records.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

// What every provider's assembly shares: the messages the user sees for a failed request or an
// answer without a balance, and what of an answer's text may reach the screen. Pure functions.
namespace creditgauge::BalanceAssembly {

// The message for a failed request: its HTTP status, or one of HTTPFailure's two markers.
QString message(std::int64_t status);
// The same, as the result of a query.
BalanceResult failed(const HTTPFailure &failure);

// "Antwort nicht lesbar": the answer is not what the provider documents.
BalanceResult unreadable();
// "Antwort ohne Guthabenangabe": readable, but no balance in it.
BalanceResult noTotal();

// The currency code as it may be shown: a few letters, else the generic currency sign.
QString plausibleCurrency(const QString &code);

// Appends the named part when the answer had it, divided by `parts`, the answer's parts to one
// unit of the currency (an answer in cents has 100).
void addDetail(Balance &balance, const QString &name, std::optional<double> amount,
               double parts = 1.0);

// The usual course: a failed request says its status, an answer that is not record T is
// unreadable, and what `build` makes of the record is the result.
template<typename T, typename Build>
BalanceResult assembleAnswer(const RequestResult &response,
                             bool (*decode)(const QJsonObject &, T &), Build build)
{
    if (!response)
        return failed(response.error());
    const std::optional<T> answer = decodeAnswer<T>(*response, decode);
    if (!answer)
        return unreadable();
    return build(*answer);
}

// How the message for a refused Moonshot key ends, after the other region's name: where the
// tray lets the user choose it. What has no menu (the self-test) tells its own way instead.
inline constexpr QStringView moonshotRegionChoice = u"Region im Menü wählen";

// What stands in for a currency code that no provider would send (markup, a megabyte of text,
// control characters): the generic currency sign.
inline constexpr char16_t unknownCurrency = u'\u00a4';

} // namespace creditgauge::BalanceAssembly
