#pragma once

#include "core/Provider.h"
#include "core/Records.h"
#include "providers/ProviderDescription.h"

#include <QString>

namespace creditgauge {

// One key at one provider, as the user keeps it: a work key and a private key at the same
// provider are two accounts. A provider's first account is the one the program had before it
// knew of accounts: its id is the provider's raw value, its key sits in the provider's own
// entry and its history rows and alerts carry that raw value, so that nothing stored before
// has to move. Further accounts get ids of their own ("deepseek-2").
struct Account
{
    QString id;
    Provider provider = Provider::deepseek;
    QString name {}; // as the user named it; empty for a first account never named
    ProviderOptions options {}; // Moonshot's platform, a relay's address
    double lowMark = lowBalanceThreshold; // in the account's own currency

    static Account first(Provider provider) { return {provider.rawValue(), provider}; }
    bool isFirst() const { return id == provider.rawValue(); }

    // Where its key is kept under the service "creditgauge".
    QString keychainAccount() const
    {
        return isFirst() ? provider.keychainAccount() : QStringLiteral("api-key-") + id;
    }
    // How it is named wherever a provider was named before: "DeepSeek", "DeepSeek · Arbeit".
    QString label() const { return withName(provider.displayName()); }
    QString titleText() const { return withName(provider.titleText()); }
    QString currency() const { return provider.currency(options.region); }

    friend bool operator==(const Account &, const Account &) = default;

private:
    QString withName(const QString &text) const
    {
        return name.isEmpty() ? text : text + QStringLiteral(" \u00b7 ") + name;
    }
};

} // namespace creditgauge
