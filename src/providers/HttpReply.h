#pragma once

#include "core/Records.h"

#include <QString>

#include <cstdint>

class QNetworkReply;

namespace creditgauge {
struct BoundedBody;
}

// What a finished reply means, the same for every request the program sends: the provider
// queries and the update check.
namespace creditgauge::HttpReply {

// The body of a 200 answer, or the status of any other, or HTTPFailure::noResponse when the
// transfer itself failed (connection, time-out, TLS, a body cut short). A redirect that was not
// followed still carries its 3xx answer, and an error page abandoned for its size its status;
// an answer abandoned for its size comes back as an empty body, which no reader accepts.
RequestResult classify(QNetworkReply *reply, BoundedBody &body);

// The German message for a failed request that no caller knows better:
// "Netzwerkfehler", "Ungültige Adresse" or "Serverfehler (HTTP 503)".
inline QString message(std::int64_t status)
{
    switch (status) {
    case HTTPFailure::noResponse:
        return QStringLiteral("Netzwerkfehler");
    case HTTPFailure::invalidAddress:
        return QStringLiteral("Ungültige Adresse");
    default:
        return QStringLiteral("Serverfehler (HTTP %1)").arg(status);
    }
}

} // namespace creditgauge::HttpReply
