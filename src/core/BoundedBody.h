#pragma once

#include <QByteArray>

#include <memory>

class QNetworkReply;

namespace creditgauge {

// A reply's body, read as it arrives up to a limit. Past the limit, whether announced by
// Content-Length or received, the transfer is abandoned at once, so memory stays bounded
// whatever the server sends.
struct BoundedBody
{
    QByteArray body; // empty once abandoned
    bool tooLarge = false;

    // Starts collecting `reply`'s body; what is left unread when it finishes is read then.
    static std::shared_ptr<BoundedBody> collect(QNetworkReply *reply, qint64 limit);
    // After a successful finish: the rest of the body, still within the limit.
    QByteArray take(QNetworkReply *reply);
};

} // namespace creditgauge
