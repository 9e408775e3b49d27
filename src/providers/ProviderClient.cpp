#include "ProviderClient.h"

#include "HttpReply.h"
#include "ProviderDescription.h"
#include "core/ApiKey.h"
#include "core/BoundedBody.h"
#include "core/Log.h"
#include "core/MainThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <utility>

namespace creditgauge::ProviderClient {
namespace {

using RequestCompletion = std::function<void(RequestResult)>;

Transport &transport()
{
    static Transport current = defaultTransport();
    return current;
}

QPointer<QNetworkAccessManager> &manager()
{
    static QPointer<QNetworkAccessManager> instance;
    return instance;
}

// Runs first thing in the application object's destructor. The manager's connection thread
// must end while the application object still exists: closing a TLS connection after that
// prints a warning on standard error and may wait on the network.
void destroyNetwork()
{
    delete manager().data();
}

// One manager for the whole process, on the main thread.
QNetworkAccessManager *network()
{
    if (!manager()) {
        manager() = new QNetworkAccessManager(QCoreApplication::instance());
        qAddPostRoutine(destroyNetwork);
    }
    return manager();
}

// What a user needs to tell a DNS, TLS, proxy or time-out failure from an answer the provider
// gave: Qt's error and its text, the status and how long it took.
void logOutcome(QNetworkReply *reply, const BoundedBody &transfer, const RequestResult &result,
                qint64 elapsedMs)
{
    if (!log::network().isDebugEnabled())
        return;
    QStringList parts;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        parts << QStringLiteral("HTTP %1").arg(status.toInt());
    if (reply->error() != QNetworkReply::NoError)
        parts << QStringLiteral("%1 (%2)").arg(
            QString::fromLatin1(
                QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error())),
            reply->errorString());
    if (transfer.tooLarge)
        parts << QStringLiteral("body over the limit, abandoned");
    else if (result)
        parts << QStringLiteral("%1 bytes").arg(result->size());
    parts << QStringLiteral("%1 ms").arg(elapsedMs);
    qCDebug(log::network).noquote()
        << reply->url().host() + QLatin1Char(':') << parts.join(QStringLiteral(", "));
}

// Sends an authenticated GET and hands the body or the failure to `completion`, once, on the
// main thread, never before this returns.
void get(const QString &address, const QString &key, RequestCompletion completion)
{
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
        qCDebug(log::network) << "not sent: unusable address" << address;
        postToMainThread([completion = std::move(completion)] {
            completion(std::unexpected(HTTPFailure {HTTPFailure::invalidAddress}));
        });
        return;
    }

    const Transport &config = transport();
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("User-Agent", "CreditGauge/" CREDITGAUGE_VERSION);
    // Qt's default would carry the Authorization header along to any host a redirect names.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    if (config.tls)
        request.setSslConfiguration(*config.tls);

    // The address only: it names the endpoint and carries no secret. The headers stay unlogged.
    qCDebug(log::network).noquote() << "GET" << url.toDisplayString();
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = network()->get(request);
    auto transfer = BoundedBody::collect(reply, maxBodyBytes, config.timeout);
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [reply, transfer, clock, completion = std::move(completion)] {
                         RequestResult result = HttpReply::classify(reply, *transfer);
                         logOutcome(reply, *transfer, result, clock.elapsed());
                         reply->deleteLater();
                         completion(std::move(result));
                     });
}

// Sends the step's request and follows its answer to the balance, or to the next step.
void run(QueryStep step, const QString &key, Completion completion)
{
    const QString address = transport().route && !step.address.isEmpty()
        ? transport().route(step.address)
        : step.address;
    get(address, key,
        [step = std::move(step), key,
         completion = std::move(completion)](RequestResult response) mutable {
            StepOutcome outcome = step.next(response);
            if (auto *next = std::get_if<QueryStep>(&outcome))
                return run(std::move(*next), key, std::move(completion));
            completion(std::move(std::get<BalanceResult>(outcome)));
        });
}

} // namespace

Transport defaultTransport()
{
    return Transport {{}, std::chrono::milliseconds(20000), std::nullopt};
}

void setTransportForTesting(const Transport &config)
{
    transport() = config;
}

void fetch(Provider provider, const QString &key, Completion completion,
           const ProviderOptions &options)
{
    if (!ApiKey::isAcceptable(key)) {
        postToMainThread([completion = std::move(completion)] {
            completion(
                std::unexpected(Err {QStringLiteral("API-Key enthält unzulässige Zeichen")}));
        });
        return;
    }
    run(provider.description().query(options), key, std::move(completion));
}

} // namespace creditgauge::ProviderClient
