#pragma once

#include <QByteArray>

#include <chrono>
#include <memory>

class QNetworkReply;

namespace creditgauge {

// A reply's body, read as it arrives, within a size limit and a deadline. Past the limit,
// whether announced by Content-Length or received, the transfer is abandoned at once, so memory
// stays bounded whatever the server sends. At the deadline the reply is aborted however busy
// it is: Qt's own transfer time-out restarts with every byte, so a server that trickles would
// keep a request open for ever.
struct BoundedBody
{
    QByteArray body; // empty once abandoned
    bool tooLarge = false;

    // Starts collecting `reply`'s body; what is left unread when it finishes is read then.
    // Connect to the reply's finished() after this call.
    static std::shared_ptr<BoundedBody> collect(QNetworkReply *reply, qint64 limit,
                                                std::chrono::milliseconds deadline);
    // After a successful finish: the rest of the body, still within the limit.
    QByteArray take(QNetworkReply *reply);
};

} // namespace creditgauge
