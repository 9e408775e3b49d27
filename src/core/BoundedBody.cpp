#include "BoundedBody.h"

#include <algorithm>

#include <QNetworkReply>
#include <QTimer>

namespace creditgauge {

std::shared_ptr<BoundedBody> BoundedBody::collect(QNetworkReply *reply, qint64 limit,
                                                  std::chrono::milliseconds deadline)
{
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    // Stopped before anyone else hears of the finish, so a finished reply is never aborted.
    QObject::connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    timer->start(deadline);

    auto state = std::make_shared<BoundedBody>();
    const auto abandon = [reply, state] {
        state->tooLarge = true;
        state->body.clear();
        reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, state, limit, abandon] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!state->tooLarge && length.isValid() && length.toLongLong() > limit)
            abandon();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, state, limit, abandon] {
        if (state->tooLarge)
            return;
        // No more than has arrived: read(n) sets aside n bytes first, a megabyte per chunk.
        state->body += reply->read(
            std::min(reply->bytesAvailable(), limit + 1 - qint64(state->body.size())));
        if (state->body.size() > limit)
            abandon();
    });
    return state;
}

QByteArray BoundedBody::take(QNetworkReply *reply)
{
    body += reply->readAll();
    return std::exchange(body, {});
}

} // namespace creditgauge
