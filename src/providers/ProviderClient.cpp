#include "ProviderClient.h"

#include "ResponseRecords.h"
#include "core/BoundedBody.h"
#include "core/MainThread.h"

#include <QCoreApplication>
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

// One manager for the whole process, on the main thread, owned by the application object so
// that it goes away before Qt's own teardown.
QNetworkAccessManager *network()
{
    static QPointer<QNetworkAccessManager> manager;
    if (!manager)
        manager = new QNetworkAccessManager(QCoreApplication::instance());
    return manager;
}

// Qt sends header bytes verbatim, so a CR or LF in a key would start a header of its own.
bool isSafeForHeader(const QString &key)
{
    for (const QChar c : key) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

QString message(std::int64_t status)
{
    switch (status) {
    case HTTPFailure::noResponse:
        return QStringLiteral("Netzwerkfehler");
    case HTTPFailure::invalidAddress:
        return QStringLiteral("Ungültige Adresse");
    case 401:
    case 403:
        return QStringLiteral("API-Key ungültig (%1)").arg(status);
    case 429:
        return QStringLiteral("Zu viele Abfragen (429)");
    default:
        return QStringLiteral("Serverfehler (HTTP %1)").arg(status);
    }
}

RequestResult classify(QNetworkReply *reply, BoundedBody &transfer)
{
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const std::optional<std::int64_t> status = statusAttribute.isValid()
        ? std::optional<std::int64_t>(statusAttribute.toLongLong())
        : std::nullopt;
    const QNetworkReply::NetworkError error = reply->error();

    if (transfer.tooLarge) {
        // An oversized error page still tells its status; an oversized answer is unreadable,
        // which the decoders report for an empty body.
        if (status && *status != 200)
            return std::unexpected(HTTPFailure {*status});
        return QByteArray();
    }
    if (error == QNetworkReply::NoError) {
        if (!status)
            return std::unexpected(HTTPFailure {HTTPFailure::noResponse});
        if (*status != 200)
            return std::unexpected(HTTPFailure {*status});
        return transfer.take(reply);
    }
    // Below 200 Qt reports failures of the transfer itself (connection, time-out, TLS, a body
    // cut short); a redirect that was not followed still carries its 3xx answer.
    const bool redirectRefused = error == QNetworkReply::InsecureRedirectError
        || error == QNetworkReply::TooManyRedirectsError;
    const bool transferFailed = error < QNetworkReply::ContentAccessDenied && !redirectRefused;
    if (transferFailed || !status || *status == 200)
        return std::unexpected(HTTPFailure {HTTPFailure::noResponse});
    return std::unexpected(HTTPFailure {*status});
}

// Sends an authenticated GET and hands the body or the failure to `completion`, once, on the
// main thread, never before this returns.
void get(const QString &address, const QString &key, RequestCompletion completion)
{
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
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
    request.setTransferTimeout(static_cast<int>(config.timeout.count()));
    // Qt's default would carry the Authorization header along to any host a redirect names.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    if (config.tls)
        request.setSslConfiguration(*config.tls);

    QNetworkReply *reply = network()->get(request);
    auto transfer = BoundedBody::collect(reply, maxBodyBytes);
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [reply, transfer, completion = std::move(completion)] {
                         RequestResult result = classify(reply, *transfer);
                         reply->deleteLater();
                         completion(std::move(result));
                     });
}

BalanceResult deepseekBalance(const RequestResult &response)
{
    if (!response)
        return std::unexpected(Err {message(response.error().status)});
    const std::optional<DSResponse> decoded = DSResponse::decode(*response);
    if (!decoded)
        return std::unexpected(Err {QStringLiteral("Antwort nicht lesbar")});
    if (!decoded->balanceInfos || decoded->balanceInfos->isEmpty())
        return std::unexpected(Err {QStringLiteral("Antwort ohne Guthabenangabe")});
    const DSInfo &info = decoded->balanceInfos->front();
    const std::optional<double> total = amountOf(info.totalBalance);
    if (!total)
        return std::unexpected(Err {QStringLiteral("Antwort ohne Guthabenangabe")});
    if (decoded->isAvailable == false)
        return std::unexpected(Err {QStringLiteral("Guthaben nicht verfügbar")});

    Balance balance {info.currency.value_or(QStringLiteral("USD")), *total, {}};
    if (const auto toppedUp = amountOf(info.toppedUpBalance))
        balance.details.append({QStringLiteral("Aufgeladen"), *toppedUp});
    if (const auto granted = amountOf(info.grantedBalance))
        balance.details.append({QStringLiteral("Geschenkt"), *granted});
    return balance;
}

// The credits answer needs a management key; nothing of its failure is shown, since the key
// endpoint that follows tells the user more.
std::optional<Balance> openrouterCreditsBalance(const RequestResult &response)
{
    if (!response)
        return std::nullopt;
    const std::optional<ORCredits> decoded = ORCredits::decode(*response);
    if (!decoded || !decoded->data)
        return std::nullopt;
    const std::optional<double> credits = amountOf(decoded->data->totalCredits);
    if (!credits)
        return std::nullopt;
    const double usage = amountOf(decoded->data->totalUsage).value_or(0.0);
    return Balance {
        QStringLiteral("USD"),
        *credits - usage,
        {{QStringLiteral("Aufgeladen"), *credits}, {QStringLiteral("Verbraucht"), usage}}};
}

BalanceResult openrouterKeyBalance(const RequestResult &response)
{
    if (!response)
        return std::unexpected(Err {message(response.error().status)});
    const std::optional<ORKey> decoded = ORKey::decode(*response);
    if (!decoded || !decoded->data)
        return std::unexpected(Err {QStringLiteral("Antwort nicht lesbar")});
    const ORKey::Inner &data = *decoded->data;
    const double usage = amountOf(data.usage).value_or(0.0);
    const std::optional<double> limit = amountOf(data.limit);
    double total = 0.0;
    double keyLimit = 0.0;
    if (const auto remaining = amountOf(data.limitRemaining)) {
        total = *remaining;
        keyLimit = limit.value_or(usage + *remaining);
    } else if (!limit) {
        return std::unexpected(Err {QStringLiteral("Guthaben braucht Management-Key")});
    } else {
        total = *limit - usage;
        keyLimit = *limit;
    }
    return Balance {
        QStringLiteral("USD"),
        total,
        {{QStringLiteral("Key-Limit"), keyLimit}, {QStringLiteral("Verbraucht"), usage}}};
}

BalanceResult moonshotBalance(const RequestResult &response)
{
    if (!response)
        return std::unexpected(Err {message(response.error().status)});
    const std::optional<MSResponse> decoded = MSResponse::decode(*response);
    if (!decoded || !decoded->data)
        return std::unexpected(Err {QStringLiteral("Antwort nicht lesbar")});
    const MSResponse::Inner &data = *decoded->data;
    const std::optional<double> available = amountOf(data.availableBalance);
    if (!available)
        return std::unexpected(Err {QStringLiteral("Antwort ohne Guthabenangabe")});

    Balance balance {QStringLiteral("USD"), *available, {}};
    if (const auto cash = amountOf(data.cashBalance))
        balance.details.append({QStringLiteral("Bargeld"), *cash});
    if (const auto voucher = amountOf(data.voucherBalance))
        balance.details.append({QStringLiteral("Gutschein"), *voucher});
    return balance;
}

void fetchDeepSeek(const QString &key, Completion completion)
{
    get(transport().deepseekBalance, key,
        [completion = std::move(completion)](RequestResult response) {
            completion(deepseekBalance(response));
        });
}

void fetchOpenRouter(const QString &key, Completion completion)
{
    get(transport().openrouterCredits, key,
        [key, completion = std::move(completion)](RequestResult response) mutable {
            if (std::optional<Balance> balance = openrouterCreditsBalance(response)) {
                completion(std::move(*balance));
                return;
            }
            get(transport().openrouterKey, key,
                [completion = std::move(completion)](RequestResult keyResponse) {
                    completion(openrouterKeyBalance(keyResponse));
                });
        });
}

void fetchMoonshot(const QString &key, Completion completion)
{
    get(transport().moonshotBalance, key,
        [completion = std::move(completion)](RequestResult response) {
            completion(moonshotBalance(response));
        });
}

} // namespace

Transport defaultTransport()
{
    return Transport {
        QStringLiteral("https://api.deepseek.com/user/balance"),
        QStringLiteral("https://openrouter.ai/api/v1/credits"),
        QStringLiteral("https://openrouter.ai/api/v1/key"),
        QStringLiteral("https://api.moonshot.ai/v1/users/me/balance"),
        std::chrono::milliseconds(20000),
        std::nullopt,
    };
}

void setTransportForTesting(const Transport &config)
{
    transport() = config;
}

void fetch(Provider provider, const QString &key, Completion completion)
{
    if (!isSafeForHeader(key)) {
        postToMainThread([completion = std::move(completion)] {
            completion(
                std::unexpected(Err {QStringLiteral("API-Key enthält unzulässige Zeichen")}));
        });
        return;
    }
    switch (provider.value()) {
    case Provider::deepseek:
        return fetchDeepSeek(key, std::move(completion));
    case Provider::openrouter:
        return fetchOpenRouter(key, std::move(completion));
    case Provider::moonshot:
        return fetchMoonshot(key, std::move(completion));
    }
}

} // namespace creditgauge::ProviderClient
