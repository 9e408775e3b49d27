#pragma once

#include "core/Provider.h"
#include "core/Records.h"
#include "providers/ProviderDescription.h"

#include <QSslConfiguration>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace creditgauge::ProviderClient {

using Completion = std::function<void(BalanceResult)>;

// Asks the provider for its balance with `key` (sent unchanged); Moonshot on the platform of
// the options' region, a relay at their address, and there only. Returns at once; `completion`
// runs exactly once, later, on the main thread. Needs a QCoreApplication.
void fetch(Provider provider, const QString &key, Completion completion,
           const ProviderOptions &options = {});

// Where the requests go, and how. Production code never changes this; tests point it at
// servers on 127.0.0.1 and shorten the time-out.
struct Transport
{
    // Where a request meant for a provider's own address goes instead; empty: there.
    std::function<QString(const QString &address)> route;
    // The most a request may take, from sending it to its last byte.
    std::chrono::milliseconds timeout {20000};
    // For tests that trust a CA of their own on their own requests only; verification stays on.
    std::optional<QSslConfiguration> tls;
};

Transport defaultTransport();
void setTransportForTesting(const Transport &transport);

// The most of a response body that is read; a larger answer is abandoned as unreadable.
inline constexpr qint64 maxBodyBytes = 1024 * 1024;

} // namespace creditgauge::ProviderClient
