#pragma once

#include "core/Provider.h"
#include "core/Records.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <variant>

// What the program knows of one provider, in one place: its texts, where its balance is asked
// and how its answers become a Balance. Adding a provider is one description (a file of its
// own), its case in Provider and its test rows. QtCore only: the requests themselves are sent
// by ProviderClient.
namespace creditgauge {

// The settings of one key that change where it is asked and what the answer means.
struct ProviderOptions
{
    ProviderOptions(MoonshotRegion region = MoonshotRegion::international,
                    QString relayAddress = {})
        : region(region)
        , relayAddress(std::move(relayAddress))
    { }

    MoonshotRegion region; // Moonshot's platform
    QString relayAddress; // a relay's address as the user entered it

    friend bool operator==(const ProviderOptions &, const ProviderOptions &) = default;
};

// One request of a query, and what its answer leads to: the balance or the user's message, or
// the next request. A query ends after a few steps: no step leads back to itself.
struct QueryStep
{
    QString address;
    std::function<std::variant<BalanceResult, QueryStep>(const RequestResult &)> next;
};
using StepOutcome = std::variant<BalanceResult, QueryStep>;

struct ProviderDescription
{
    QStringView rawValue; // settings, --provider, the history's rows, the self-test
    QStringView displayName;
    QStringView initials; // before each figure in a text bar's list
    QStringView keychainAccount; // the key's entry under the service "creditgauge"
    QStringView keyPlaceholder;
    QString (*keyNote)(const ProviderOptions &);
    QString (*topUpAddress)(const ProviderOptions &); // always HTTPS
    QString (*currency)(const ProviderOptions &); // what the amounts are in, before any answer
    QueryStep (*query)(const ProviderOptions &);
};

namespace descriptions {
extern const ProviderDescription deepseek;
extern const ProviderDescription openrouter;
extern const ProviderDescription moonshot;
extern const ProviderDescription siliconflow;
extern const ProviderDescription stepfun;
extern const ProviderDescription novita;
extern const ProviderDescription relay;
} // namespace descriptions

// The end of every key note: where the key is kept.
QString keyStoredNote();

// A step that always ends the query with what `assemble` makes of the answer.
template<typename Assemble> QueryStep finalStep(QString address, Assemble assemble)
{
    return QueryStep {std::move(address), [assemble](const RequestResult &r) -> StepOutcome {
                          return assemble(r);
                      }};
}

} // namespace creditgauge
