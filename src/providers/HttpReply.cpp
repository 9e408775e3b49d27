#include "HttpReply.h"

#include "core/BoundedBody.h"

#include <QNetworkReply>

namespace creditgauge::HttpReply {

RequestResult classify(QNetworkReply *reply, BoundedBody &body)
{
    const QVariant attribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Without a status no HTTP answer came.
    const std::int64_t status
        = attribute.isValid() ? attribute.toLongLong() : HTTPFailure::noResponse;
    const QNetworkReply::NetworkError error = reply->error();

    if (body.tooLarge) {
        if (status != HTTPFailure::noResponse && status != 200)
            return std::unexpected(HTTPFailure {status});
        return QByteArray();
    }
    if (error == QNetworkReply::NoError) {
        if (status != 200)
            return std::unexpected(HTTPFailure {status});
        return body.take(reply);
    }
    // Below ContentAccessDenied Qt reports failures of the transfer itself; a redirect that was
    // refused is reported there too, yet still carries its 3xx answer.
    const bool redirectRefused = error == QNetworkReply::InsecureRedirectError
        || error == QNetworkReply::TooManyRedirectsError;
    const bool transferFailed = error < QNetworkReply::ContentAccessDenied && !redirectRefused;
    if (transferFailed || status == 200)
        return std::unexpected(HTTPFailure {HTTPFailure::noResponse});
    return std::unexpected(HTTPFailure {status});
}

} // namespace creditgauge::HttpReply
