#include "FakeProviderServer.h"
#include "providers/ProviderClient.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using Response = FakeProviderServer::Response;

Q_DECLARE_METATYPE(creditgauge::Provider::Case)
Q_DECLARE_METATYPE(creditgauge::BalanceResult)
Q_DECLARE_METATYPE(FakeProviderServer::Response)

namespace creditgauge {
// Lets QCOMPARE print both sides of a mismatch.
char *toString(const BalanceResult &r)
{
    if (!r)
        return QTest::toString(u"Err(%1)"_s.arg(r.error().m));
    QString s = u"Balance(%1, %2"_s.arg(r->currency).arg(r->total, 0, 'g', 17);
    for (const BalanceDetail &d : r->details)
        s += u", %1=%2"_s.arg(d.name).arg(d.amount, 0, 'g', 17);
    return QTest::toString(s + u')');
}
} // namespace creditgauge

namespace {

const QByteArray dsPath = "/user/balance";
const QByteArray orCreditsPath = "/api/v1/credits";
const QByteArray orKeyPath = "/api/v1/key";
const QByteArray msPath = "/v1/users/me/balance";

BalanceResult ok(const QString &currency, double total, const QList<BalanceDetail> &details = {})
{
    return Balance { currency, total, details };
}

BalanceResult fail(const QString &message)
{
    return std::unexpected(Err { message });
}

Response answer(int status, const QByteArray &body = {}, std::chrono::milliseconds delay = {})
{
    Response r;
    r.status = status;
    r.body = body;
    r.delay = delay;
    return r;
}

Response hanging()
{
    Response r;
    r.hang = true;
    return r;
}

// Announces all of `body`, sends `sent` bytes of it, and closes.
Response closedMidBody(const QByteArray &body, qsizetype sent)
{
    Response r = answer(200, body);
    r.closeAfter = sent;
    return r;
}

// A body with no length that ends with the connection.
Response streamed(qsizetype bytes)
{
    Response r;
    r.streamBytes = bytes;
    return r;
}

// A JSON answer padded with trailing blanks to exactly `size` bytes.
QByteArray padded(const QByteArray &json, qint64 size)
{
    return json + QByteArray(size - json.size(), ' ');
}

const QByteArray dsBody = R"({"balance_infos":[{"currency":"USD","total_balance":"5.50"}]})";
const QByteArray msBody = R"({"code":0,"data":{"available_balance":3.25}})";
const QByteArray orKeyBody = R"({"data":{"usage":1.5,"limit":10,"limit_remaining":8.5}})";
const BalanceResult dsBalance = ok(u"USD"_s, 5.5);
const BalanceResult msBalance = ok(u"USD"_s, 3.25);
const BalanceResult orKeyBalance =
        ok(u"USD"_s, 8.5, { { u"Key-Limit"_s, 10 }, { u"Verbraucht"_s, 1.5 } });
const QString unreadable = u"Antwort nicht lesbar"_s;
const QString noTotal = u"Antwort ohne Guthabenangabe"_s;
const QString networkError = u"Netzwerkfehler"_s;

// The path a provider's answer comes from; for OpenRouter, the key step's.
QByteArray pathOf(Provider p)
{
    return p == Provider::deepseek ? dsPath : p == Provider::moonshot ? msPath : orKeyPath;
}

QByteArray bodyOf(Provider p)
{
    return p == Provider::deepseek ? dsBody : p == Provider::moonshot ? msBody : orKeyBody;
}

struct Call
{
    int count = 0;
    bool duringFetch = false;
    bool offMainThread = false;
    std::optional<BalanceResult> result;
};

std::shared_ptr<Call> startFetch(Provider provider, const QString &key,
                                 QStringList *order = nullptr)
{
    auto call = std::make_shared<Call>();
    ProviderClient::fetch(provider, key, [call, provider, order](BalanceResult r) {
        ++call->count;
        call->offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        call->result = std::move(r);
        if (order)
            order->append(provider.rawValue());
    });
    call->duringFetch = call->count > 0;
    return call;
}

std::shared_ptr<Call> fetchAndWait(Provider provider, const QString &key = u"sk-test"_s)
{
    auto call = startFetch(provider, key);
    (void)QTest::qWaitFor([&] { return call->count > 0; }, 5000);
    return call;
}

BalanceResult resultOf(const Call &call)
{
    return call.result.value_or(fail(u"<no completion>"_s));
}

// Waits a little past the first completion, so that a second one would show.
void verifySingleCompletion(const Call &call)
{
    QTest::qWait(100);
    QCOMPARE(call.count, 1);
    QVERIFY2(!call.duringFetch, "completion ran before fetch returned");
    QVERIFY2(!call.offMainThread, "completion ran off the main thread");
}

ProviderClient::Transport transportFor(const FakeProviderServer &server)
{
    ProviderClient::Transport t;
    t.deepseekBalance = server.url(QString::fromLatin1(dsPath));
    t.openrouterCredits = server.url(QString::fromLatin1(orCreditsPath));
    t.openrouterKey = server.url(QString::fromLatin1(orKeyPath));
    t.moonshotBalance = server.url(QString::fromLatin1(msPath));
    t.timeout = 1000ms;
    return t;
}

} // namespace

class TestProviderClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeProviderServer> m_server;
    QTemporaryDir m_certDir;
    QString m_tlsUnavailable; // why the TLS test cannot run here
    QString m_certificateError; // why the certificates could not be made
    QSslCertificate m_ca;
    QSslCertificate m_serverCert;
    QSslKey m_serverKey;

    QString makeCertificates(const QString &openssl);

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void requestHeaders_data();
    void requestHeaders();
    void invalidKeySendsNothing_data();
    void invalidKeySendsNothing();
    void singleRequestAssembly_data();
    void singleRequestAssembly();
    void openrouterSteps_data();
    void openrouterSteps();
    void failureMessages_data();
    void failureMessages();
    void endlessBodyIsCut_data();
    void endlessBodyIsCut();
    void unreachableAddresses_data();
    void unreachableAddresses();
    void redirects_data();
    void redirects();
    void overlappingQueries();
    void tls_data();
    void tls();
};

void TestProviderClient::initTestCase()
{
    // For the TLS test: a CA of our own, and a certificate it issued for 127.0.0.1.
    const QString openssl = QStandardPaths::findExecutable(u"openssl"_s);
    if (openssl.isEmpty()) {
        m_tlsUnavailable = u"openssl not found in PATH; cannot create a test CA"_s;
        return;
    }
    if (!QSslSocket::supportsSsl()) {
        m_tlsUnavailable = u"Qt has no TLS backend here"_s;
        return;
    }
    m_certificateError = makeCertificates(openssl);
}

// Returns what went wrong, or nothing.
QString TestProviderClient::makeCertificates(const QString &openssl)
{
    if (!m_certDir.isValid())
        return u"no temporary directory"_s;
    // A config of our own, so that the system's openssl.cnf cannot change the certificates.
    QFile config(m_certDir.filePath(u"test.cnf"_s));
    if (!config.open(QIODevice::WriteOnly))
        return config.errorString();
    config.write("[req]\ndistinguished_name=dn\n[dn]\n"
                 "[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
                 "[server]\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                 "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    config.close();
    const QStringList newKey { u"-config"_s, u"test.cnf"_s, u"-nodes"_s, u"-newkey"_s, u"ec"_s,
                               u"-pkeyopt"_s, u"ec_paramgen_curve:prime256v1"_s };
    const QList<QStringList> steps {
        QStringList { u"req"_s, u"-x509"_s, u"-extensions"_s, u"ca"_s, u"-subj"_s,
                      u"/CN=CreditGauge Test CA"_s, u"-days"_s, u"2"_s, u"-keyout"_s,
                      u"ca.key"_s, u"-out"_s, u"ca.crt"_s }
                + newKey,
        QStringList { u"req"_s, u"-new"_s, u"-subj"_s, u"/CN=localhost"_s, u"-keyout"_s,
                      u"server.key"_s, u"-out"_s, u"server.csr"_s }
                + newKey,
        { u"x509"_s, u"-req"_s, u"-in"_s, u"server.csr"_s, u"-CA"_s, u"ca.crt"_s, u"-CAkey"_s,
          u"ca.key"_s, u"-set_serial"_s, u"2"_s, u"-days"_s, u"2"_s, u"-extfile"_s,
          u"test.cnf"_s, u"-extensions"_s, u"server"_s, u"-out"_s, u"server.crt"_s },
    };
    for (const QStringList &args : steps) {
        QProcess p;
        p.setWorkingDirectory(m_certDir.path());
        p.start(openssl, args);
        const bool done = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit;
        if (!done || p.exitCode() != 0) {
            const QString why = QString::fromLocal8Bit(p.readAllStandardError());
            return u"openssl %1 failed: %2"_s.arg(args.first(), why);
        }
    }
    const auto read = [this](const QString &name) {
        QFile f(m_certDir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    m_ca = QSslCertificate(read(u"ca.crt"_s));
    m_serverCert = QSslCertificate(read(u"server.crt"_s));
    m_serverKey = QSslKey(read(u"server.key"_s), QSsl::Ec);
    if (m_ca.isNull() || m_serverCert.isNull() || m_serverKey.isNull())
        return u"generated certificates or key unreadable"_s;
    return {};
}

void TestProviderClient::init()
{
    m_server = std::make_unique<FakeProviderServer>();
    QVERIFY(m_server->listen());
    ProviderClient::setTransportForTesting(transportFor(*m_server));
}

void TestProviderClient::cleanup()
{
    m_server.reset();
}

void TestProviderClient::requestHeaders_data()
{
    QTest::addColumn<Provider::Case>("provider");
    QTest::addColumn<QString>("key");

    QTest::newRow("deepseek") << Provider::deepseek << u"sk-abc123"_s;
    QTest::newRow("moonshot") << Provider::moonshot << u"sk-abc123"_s;
    QTest::newRow("openrouter, both steps") << Provider::openrouter << u"sk-or-v1-abc"_s;
    QTest::newRow("empty key") << Provider::deepseek << QString();
    QTest::newRow("non-ASCII key as UTF-8") << Provider::moonshot << u"sk-\u00e4\u20ac"_s;
    QTest::newRow("blanks kept") << Provider::deepseek << u" sk-a b "_s;
}

void TestProviderClient::requestHeaders()
{
    QFETCH(Provider::Case, provider);
    QFETCH(QString, key);

    m_server->setResponse(pathOf(provider), 200, bodyOf(provider));
    m_server->setResponse(orCreditsPath, 403, "{}"); // so that the key step is asked, too
    const auto call = fetchAndWait(provider, key);
    QCOMPARE(call->count, 1);

    const QList<QByteArray> paths = provider == Provider::openrouter
            ? QList<QByteArray> { orCreditsPath, orKeyPath }
            : QList<QByteArray> { pathOf(provider) };
    const QList<FakeProviderServer::Request> requests = m_server->requests();
    QCOMPARE(requests.size(), paths.size());
    for (qsizetype i = 0; i < requests.size(); ++i) {
        const FakeProviderServer::Request &r = requests[i];
        QCOMPARE(r.method, "GET"_ba);
        QCOMPARE(r.target, paths[i]);
        // The fake trims header values, so the exact bytes come from the raw head.
        const QByteArray expected[] = { "Authorization: Bearer " + key.toUtf8(),
                                        "Accept: application/json",
                                        "User-Agent: CreditGauge/" CREDITGAUGE_VERSION };
        for (const QByteArray &line : expected)
            QVERIFY2(r.head.contains("\r\n" + line + "\r\n"), r.head.constData());
        for (const char *name : { "Authorization", "Accept", "User-Agent" })
            QCOMPARE(r.headerCount(name), qsizetype(1));
    }
}

void TestProviderClient::invalidKeySendsNothing_data()
{
    QTest::addColumn<Provider::Case>("provider");
    QTest::addColumn<QString>("key");

    const QList<std::pair<const char *, QChar>> controls {
        { "CR", u'\r' },  { "LF", u'\n' },         { "NUL", QChar(0) },     { "TAB", u'\t' },
        { "ESC", QChar(0x1b) }, { "US", QChar(0x1f) }, { "DEL", QChar(0x7f) },
    };
    for (const auto &[name, c] : controls)
        QTest::addRow("deepseek, %s", name) << Provider::deepseek << u"sk-a"_s + c + u"b"_s;
    // The header injection the check exists for, on the other providers and at the key's ends.
    QTest::newRow("openrouter, CRLF") << Provider::openrouter << u"sk-or\r\nX-Evil: 1"_s;
    QTest::newRow("openrouter, trailing LF") << Provider::openrouter << u"sk-or\n"_s;
    QTest::newRow("moonshot, leading TAB") << Provider::moonshot << u"\tsk-m"_s;
    QTest::newRow("moonshot, DEL") << Provider::moonshot << u"sk-m\u007f"_s;
}

void TestProviderClient::invalidKeySendsNothing()
{
    QFETCH(Provider::Case, provider);
    QFETCH(QString, key);

    m_server->setResponse(pathOf(provider), 200, bodyOf(provider));
    const auto call = fetchAndWait(provider, key);
    QCOMPARE(resultOf(*call), fail(u"API-Key enthält unzulässige Zeichen"_s));
    verifySingleCompletion(*call);
    QVERIFY(m_server->requests().isEmpty());
}

void TestProviderClient::singleRequestAssembly_data()
{
    QTest::addColumn<Provider::Case>("provider");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<BalanceResult>("expected");

    const auto deepseek = [](const char *name, const char *body, const BalanceResult &expected) {
        QTest::addRow("deepseek, %s", name) << Provider::deepseek << QByteArray(body) << expected;
    };
    deepseek("all fields",
             R"({"is_available":true,"balance_infos":[{"currency":"CNY","total_balance":"110.50",
                 "granted_balance":"10.50","topped_up_balance":"100.00"}]})",
             ok(u"CNY"_s, 110.5, { { u"Aufgeladen"_s, 100 }, { u"Geschenkt"_s, 10.5 } }));
    deepseek("decimal comma, only topped up",
             R"({"balance_infos":[{"currency":"USD","total_balance":"7,25",
                 "topped_up_balance":7.25}]})",
             ok(u"USD"_s, 7.25, { { u"Aufgeladen"_s, 7.25 } }));
    deepseek("only granted",
             R"({"balance_infos":[{"currency":"USD","total_balance":2,"granted_balance":2}]})",
             ok(u"USD"_s, 2, { { u"Geschenkt"_s, 2 } }));
    deepseek("unreadable detail left out",
             R"({"balance_infos":[{"total_balance":4,"topped_up_balance":"n/a",
                 "granted_balance":"0.5"}]})",
             ok(u"USD"_s, 4, { { u"Geschenkt"_s, 0.5 } }));
    deepseek("currency absent", R"({"balance_infos":[{"total_balance":1.5}]})", ok(u"USD"_s, 1.5));
    deepseek("empty currency kept", R"({"balance_infos":[{"currency":"","total_balance":1.5}]})",
             ok(u""_s, 1.5));
    deepseek("first entry only",
             R"({"balance_infos":[{"currency":"CNY","total_balance":1},
                 {"currency":"USD","total_balance":9,"granted_balance":9}]})",
             ok(u"CNY"_s, 1));
    deepseek("first entry unreadable",
             R"({"balance_infos":[{"total_balance":"abc"},{"total_balance":9}]})", fail(noTotal));
    deepseek("empty list", R"({"balance_infos":[]})", fail(noTotal));
    deepseek("not available",
             R"({"is_available":false,"balance_infos":[{"total_balance":"0.00"}]})",
             fail(u"Guthaben nicht verfügbar"_s));
    deepseek("not available, no total", R"({"is_available":false})", fail(noTotal));
    deepseek("not JSON", "<html>busy</html>", fail(unreadable));
    deepseek("empty 200 body", "", fail(unreadable));
    QTest::newRow("deepseek, body of exactly the bound")
            << Provider::deepseek << padded(dsBody, ProviderClient::maxBodyBytes) << dsBalance;
    QTest::newRow("deepseek, body one byte over the bound")
            << Provider::deepseek << padded(dsBody, ProviderClient::maxBodyBytes + 1)
            << fail(unreadable);

    const auto moonshot = [](const char *name, const char *body, const BalanceResult &expected) {
        QTest::addRow("moonshot, %s", name) << Provider::moonshot << QByteArray(body) << expected;
    };
    moonshot("all fields",
             R"({"code":0,"data":{"available_balance":49.5,"voucher_balance":"10",
                 "cash_balance":"39,5"}})",
             ok(u"USD"_s, 49.5, { { u"Bargeld"_s, 39.5 }, { u"Gutschein"_s, 10 } }));
    moonshot("only voucher", R"({"code":0,"data":{"available_balance":1,"voucher_balance":1}})",
             ok(u"USD"_s, 1, { { u"Gutschein"_s, 1 } }));
    moonshot("code ignored", R"({"code":401,"data":{"available_balance":"-0.75"}})",
             ok(u"USD"_s, -0.75));
    moonshot("available absent", R"({"code":0,"data":{"cash_balance":5,"voucher_balance":1}})",
             fail(noTotal));
    moonshot("available unreadable", R"({"code":0,"data":{"available_balance":"viel"}})",
             fail(noTotal));
    moonshot("data absent", R"({"code":0})", fail(unreadable));
    moonshot("code as text", R"({"code":"0","data":{"available_balance":3}})", fail(unreadable));
    moonshot("not JSON", "Bad Gateway", fail(unreadable));
}

void TestProviderClient::singleRequestAssembly()
{
    QFETCH(Provider::Case, provider);
    QFETCH(QByteArray, body);
    QFETCH(BalanceResult, expected);

    m_server->setResponse(pathOf(provider), 200, body);
    const auto call = fetchAndWait(provider);
    QCOMPARE(resultOf(*call), expected);
}

void TestProviderClient::openrouterSteps_data()
{
    QTest::addColumn<Response>("credits");
    QTest::addColumn<Response>("key");
    QTest::addColumn<BalanceResult>("expected");
    QTest::addColumn<bool>("keyAsked");

    const auto credits = [](double total, double used) {
        return ok(u"USD"_s, total,
                  { { u"Aufgeladen"_s, total + used }, { u"Verbraucht"_s, used } });
    };
    const auto viaKey = [](double total, double limit, double used) {
        return ok(u"USD"_s, total, { { u"Key-Limit"_s, limit }, { u"Verbraucht"_s, used } });
    };
    const Response keyOk = answer(200, orKeyBody);

    QTest::newRow("credits")
            << answer(200, R"({"data":{"total_credits":25,"total_usage":7.25}})") << keyOk
            << credits(17.75, 7.25) << false;
    QTest::newRow("credits without usage")
            << answer(200, R"({"data":{"total_credits":4}})") << keyOk << credits(4, 0) << false;
    QTest::newRow("credits overspent, not clamped")
            << answer(200, R"({"data":{"total_credits":"5","total_usage":"7,5"}})") << keyOk
            << credits(-2.5, 7.5) << false;

    // Every way the credits step can fail leads quietly to the key step.
    const auto toKey = [&](const char *name, const Response &creditsAnswer) {
        QTest::addRow("credits %s", name) << creditsAnswer << keyOk << orKeyBalance << true;
    };
    toKey("403", answer(403, "{}"));
    toKey("not JSON", answer(200, "oops"));
    toKey("without data", answer(200, "{}"));
    toKey("without total", answer(200, R"({"data":{"total_usage":1}})"));
    toKey("total unreadable", answer(200, R"({"data":{"total_credits":"?","total_usage":1}})"));
    toKey("closed mid-body", closedMidBody(R"({"data":{"total_credits":25}})", 6));
    toKey("over the bound", answer(200, padded(R"({"data":{"total_credits":25}})",
                                               ProviderClient::maxBodyBytes + 1)));
    toKey("streamed without length", streamed(8 * 1024 * 1024));
    toKey("time out", hanging());

    const auto key = [](const char *name, const char *body, const BalanceResult &expected) {
        QTest::addRow("key %s", name) << answer(403, "{}") << answer(200, body) << expected << true;
    };
    key("without remaining", R"({"data":{"usage":2.5,"limit":10}})", viaKey(7.5, 10, 2.5));
    key("overspent, not clamped", R"({"data":{"usage":6.5,"limit":5}})", viaKey(-1.5, 5, 6.5));
    key("limit from remaining", R"({"data":{"usage":"2","limit_remaining":"8,5"}})",
        viaKey(8.5, 10.5, 2));
    key("without usage", R"({"data":{"limit":10,"limit_remaining":4}})", viaKey(4, 10, 0));
    key("without any limit", R"({"data":{"usage":3,"limit":null}})",
        fail(u"Guthaben braucht Management-Key"_s));
    key("without data", "{}", fail(unreadable));
    key("not JSON", "[", fail(unreadable));
}

void TestProviderClient::openrouterSteps()
{
    QFETCH(Response, credits);
    QFETCH(Response, key);
    QFETCH(BalanceResult, expected);
    QFETCH(bool, keyAsked);

    m_server->setResponse(orCreditsPath, credits);
    m_server->setResponse(orKeyPath, key);
    const auto call = fetchAndWait(Provider::openrouter, u"sk-or-1"_s);
    QCOMPARE(resultOf(*call), expected);
    QVERIFY(!m_server->requestsFor(orCreditsPath).isEmpty());
    QCOMPARE(!m_server->requestsFor(orKeyPath).isEmpty(), keyAsked);
}

void TestProviderClient::failureMessages_data()
{
    QTest::addColumn<Provider::Case>("provider");
    QTest::addColumn<Response>("response");
    // OpenRouter only: the credits step fails like this before the key step gets `response`.
    QTest::addColumn<Response>("credits");
    QTest::addColumn<QString>("message");

    const Response busy = answer(503, "{}");
    const QList<std::pair<int, QString>> statuses {
        { 401, u"API-Key ungültig (401)"_s },  { 403, u"API-Key ungültig (403)"_s },
        { 429, u"Zu viele Abfragen (429)"_s }, { 404, u"Serverfehler (HTTP 404)"_s },
        { 500, u"Serverfehler (HTTP 500)"_s }, { 503, u"Serverfehler (HTTP 503)"_s },
        { 204, u"Serverfehler (HTTP 204)"_s }, { 302, u"Serverfehler (HTTP 302)"_s }, // no Location
    };
    for (const Provider p : { Provider::deepseek, Provider::moonshot }) {
        for (const auto &[status, message] : statuses) {
            QTest::addRow("%s %d", qPrintable(p.rawValue()), status)
                    << p.value() << answer(status) << busy << message;
        }
    }
    // Only the key step's status is ever shown.
    QTest::newRow("openrouter 401 after 503") << Provider::openrouter << answer(401) << busy
                                              << u"API-Key ungültig (401)"_s;
    QTest::newRow("openrouter 500 after 403") << Provider::openrouter << answer(500)
                                              << answer(403) << u"Serverfehler (HTTP 500)"_s;
    QTest::newRow("openrouter 429 after undecodable") << Provider::openrouter << answer(429)
                                                      << answer(200, "x")
                                                      << u"Zu viele Abfragen (429)"_s;

    const Response midBody = closedMidBody(dsBody, 10);
    QTest::newRow("deepseek closed mid-body")
            << Provider::deepseek << midBody << busy << networkError;
    QTest::newRow("moonshot closed mid-body")
            << Provider::moonshot << midBody << busy << networkError;
    QTest::newRow("deepseek time-out") << Provider::deepseek << hanging() << busy << networkError;
    QTest::newRow("openrouter both steps time out")
            << Provider::openrouter << hanging() << hanging() << networkError;

    const Response endless = streamed(8 * 1024 * 1024);
    QTest::newRow("deepseek streamed") << Provider::deepseek << endless << busy << unreadable;
    QTest::newRow("moonshot over the bound")
            << Provider::moonshot << answer(200, padded(msBody, ProviderClient::maxBodyBytes + 1))
            << busy << unreadable;
    QTest::newRow("openrouter key over the bound")
            << Provider::openrouter
            << answer(200, padded(orKeyBody, ProviderClient::maxBodyBytes + 1)) << busy
            << unreadable;
}

void TestProviderClient::failureMessages()
{
    QFETCH(Provider::Case, provider);
    QFETCH(Response, response);
    QFETCH(Response, credits);
    QFETCH(QString, message);

    m_server->setResponse(pathOf(provider), response);
    m_server->setResponse(orCreditsPath, credits);
    const auto call = fetchAndWait(provider);
    QCOMPARE(resultOf(*call), fail(message));
    verifySingleCompletion(*call);
    if (provider == Provider::openrouter)
        QVERIFY(!m_server->requestsFor(orKeyPath).isEmpty());
}

void TestProviderClient::endlessBodyIsCut_data()
{
    QTest::addColumn<Provider::Case>("provider");
    QTest::addColumn<BalanceResult>("expected");

    QTest::newRow("deepseek") << Provider::deepseek << fail(unreadable);
    QTest::newRow("moonshot") << Provider::moonshot << fail(unreadable);
    QTest::newRow("openrouter credits, then key") << Provider::openrouter << orKeyBalance;
}

void TestProviderClient::endlessBodyIsCut()
{
    QFETCH(Provider::Case, provider);
    QFETCH(BalanceResult, expected);

    // Unlike the fake's streamed answer this one never ends, so without the bound the client
    // would wait for the time-out and report a network error instead.
    QTcpServer endless;
    QVERIFY(endless.listen(QHostAddress::LocalHost));
    connect(&endless, &QTcpServer::newConnection, &endless, [&endless] {
        while (QTcpSocket *s = endless.nextPendingConnection()) {
            connect(s, &QTcpSocket::readyRead, s, [s] {
                if (!s->readAll().endsWith("\r\n\r\n"))
                    return;
                s->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n");
                s->write(QByteArray(2 * ProviderClient::maxBodyBytes, ' '));
            });
        }
    });
    const QString url = u"http://127.0.0.1:%1/"_s.arg(endless.serverPort());
    ProviderClient::Transport t = transportFor(*m_server);
    t.deepseekBalance = t.moonshotBalance = t.openrouterCredits = url;
    ProviderClient::setTransportForTesting(t);
    m_server->setResponse(orKeyPath, 200, orKeyBody);

    const auto call = fetchAndWait(provider);
    QCOMPARE(resultOf(*call), expected);
    verifySingleCompletion(*call);
}

void TestProviderClient::unreachableAddresses_data()
{
    QTest::addColumn<Provider::Case>("provider");
    // Per endpoint: 's' served by the fake, 'r' refused, 'i' not a valid address.
    // OpenRouter reads two letters: credits, then key.
    QTest::addColumn<QByteArray>("endpoints");
    QTest::addColumn<BalanceResult>("expected");

    const BalanceResult refused = fail(networkError);
    const BalanceResult invalid = fail(u"Ungültige Adresse"_s);
    QTest::newRow("deepseek refused") << Provider::deepseek << "r"_ba << refused;
    QTest::newRow("deepseek invalid") << Provider::deepseek << "i"_ba << invalid;
    QTest::newRow("moonshot refused") << Provider::moonshot << "r"_ba << refused;
    QTest::newRow("moonshot invalid") << Provider::moonshot << "i"_ba << invalid;
    QTest::newRow("openrouter both refused") << Provider::openrouter << "rr"_ba << refused;
    QTest::newRow("openrouter both invalid") << Provider::openrouter << "ii"_ba << invalid;
    QTest::newRow("openrouter invalid, then refused") << Provider::openrouter << "ir"_ba << refused;
    QTest::newRow("openrouter refused, then key")
            << Provider::openrouter << "rs"_ba << orKeyBalance;
}

void TestProviderClient::unreachableAddresses()
{
    QFETCH(Provider::Case, provider);
    QFETCH(QByteArray, endpoints);
    QFETCH(BalanceResult, expected);

    // A port that was just bound and released: nothing listens there.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();

    const auto address = [&](char kind, const QByteArray &path) -> QString {
        if (kind == 'r')
            return u"http://127.0.0.1:%1%2"_s.arg(closedPort).arg(QString::fromLatin1(path));
        if (kind == 'i')
            return u"http://[::1"_s + QString::fromLatin1(path);
        return m_server->url(QString::fromLatin1(path));
    };
    m_server->setResponse(orKeyPath, 200, orKeyBody);
    ProviderClient::Transport t = transportFor(*m_server);
    t.deepseekBalance = address(endpoints.front(), dsPath);
    t.moonshotBalance = address(endpoints.front(), msPath);
    t.openrouterCredits = address(endpoints.front(), orCreditsPath);
    t.openrouterKey = address(endpoints.back(), orKeyPath);
    ProviderClient::setTransportForTesting(t);

    const auto call = fetchAndWait(provider);
    QCOMPARE(resultOf(*call), expected);
    verifySingleCompletion(*call);
}

void TestProviderClient::redirects_data()
{
    QTest::addColumn<Provider::Case>("provider");
    QTest::addColumn<int>("status");
    // "{self}" and "{other}" stand for the origins of the provider's server and another one.
    QTest::addColumn<QString>("location");
    QTest::addColumn<BalanceResult>("expected");

    const QString self = u"{self}/moved"_s;
    const QString other = u"{other}/moved"_s;
    QTest::newRow("same origin") << Provider::deepseek << 302 << self << dsBalance;
    QTest::newRow("same origin, 307") << Provider::deepseek << 307 << self << dsBalance;
    QTest::newRow("same origin, relative") << Provider::moonshot << 301 << u"/moved"_s << msBalance;
    QTest::newRow("deepseek to other port")
            << Provider::deepseek << 302 << other << fail(u"Serverfehler (HTTP 302)"_s);
    QTest::newRow("moonshot to other port")
            << Provider::moonshot << 307 << other << fail(u"Serverfehler (HTTP 307)"_s);
    QTest::newRow("to https, same host and port") << Provider::deepseek << 302
                                                  << u"https://127.0.0.1:{port}/moved"_s
                                                  << fail(u"Serverfehler (HTTP 302)"_s);
    QTest::newRow("openrouter key to other port")
            << Provider::openrouter << 302 << other << fail(u"Serverfehler (HTTP 302)"_s);
}

void TestProviderClient::redirects()
{
    QFETCH(Provider::Case, provider);
    QFETCH(int, status);
    QFETCH(QString, location);
    QFETCH(BalanceResult, expected);

    FakeProviderServer other;
    QVERIFY(other.listen());
    for (FakeProviderServer *s : { m_server.get(), &other }) {
        s->setResponse("/moved", 200, bodyOf(provider));
        s->setResponse(pathOf(provider), 200, bodyOf(provider));
    }
    location.replace(u"{self}"_s, m_server->url({}))
            .replace(u"{other}"_s, other.url({}))
            .replace(u"{port}"_s, QString::number(m_server->port()));
    Response moved = answer(status);
    moved.headers = { { "Location", location.toUtf8() } };
    m_server->setResponse(pathOf(provider), moved);
    m_server->setResponse(orCreditsPath, 403, "{}");

    const auto call = fetchAndWait(provider);
    QCOMPARE(resultOf(*call), expected);
    QVERIFY2(other.requests().isEmpty(), "the key went to another origin");
    const QList<FakeProviderServer::Request> followed = m_server->requestsFor("/moved");
    QCOMPARE(followed.size(), qsizetype(expected ? 1 : 0));
    if (expected)
        QCOMPARE(followed[0].header("Authorization").value_or(QByteArray()), "Bearer sk-test"_ba);
}

void TestProviderClient::overlappingQueries()
{
    m_server->setResponse(dsPath, answer(200, dsBody, 600ms));
    m_server->setResponse(orCreditsPath, answer(500, {}, 250ms));
    m_server->setResponse(orKeyPath, 200, orKeyBody);
    m_server->setResponse(msPath, answer(200, msBody, 50ms));

    QStringList order;
    const auto slow = startFetch(Provider::deepseek, u"sk-1"_s, &order);
    const auto middle = startFetch(Provider::openrouter, u"sk-2"_s, &order);
    const auto fast = startFetch(Provider::moonshot, u"sk-3"_s, &order);
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), qsizetype(3), 5000);
    QCOMPARE(order, (QStringList { u"moonshot"_s, u"openrouter"_s, u"deepseek"_s }));
    QCOMPARE(resultOf(*slow), dsBalance);
    QCOMPARE(resultOf(*middle), orKeyBalance);
    QCOMPARE(resultOf(*fast), msBalance);
    for (const auto &call : { slow, middle, fast })
        QCOMPARE(call->count, 1);
}

void TestProviderClient::tls_data()
{
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<BalanceResult>("expected");

    QTest::newRow("unknown CA is refused") << false << fail(networkError);
    QTest::newRow("test CA trusted for these requests") << true << dsBalance;
}

void TestProviderClient::tls()
{
    QFETCH(bool, trustTestCa);
    QFETCH(BalanceResult, expected);
    if (!m_tlsUnavailable.isEmpty())
        QSKIP(qPrintable(m_tlsUnavailable));
    if (!m_certificateError.isEmpty())
        QFAIL(qPrintable(m_certificateError));

    FakeProviderServer server;
    QVERIFY(server.listenTls(m_serverCert, m_serverKey));
    server.setResponse(dsPath, 200, dsBody);
    ProviderClient::Transport t = transportFor(server);
    QVERIFY(t.deepseekBalance.startsWith(u"https://127.0.0.1:"_s));
    if (trustTestCa) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificate(m_ca);
        t.tls = tls;
    }
    ProviderClient::setTransportForTesting(t);

    const auto call = fetchAndWait(Provider::deepseek);
    QCOMPARE(resultOf(*call), expected);
    QCOMPARE(server.requests().size(), qsizetype(trustTestCa ? 1 : 0));
    QVERIFY2(!QSslConfiguration::defaultConfiguration().caCertificates().contains(m_ca),
             "the test CA leaked into Qt's default configuration");
}

QTEST_GUILESS_MAIN(TestProviderClient)
#include "TestProviderClient.moc"
