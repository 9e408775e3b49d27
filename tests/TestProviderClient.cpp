#include "FakeProviderServer.h"
#include "providers/ProviderClient.h"

#include <QSslSocket>
#include <QStandardPaths>
#include <QTest>

#include <memory>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using R = FakeProviderServer::Response;
using Transport = ProviderClient::Transport;

namespace {

const QByteArray orCredits = "/api/v1/credits";
const QByteArray dsBody = R"({"balance_infos":[{"currency":"USD","total_balance":"5.50"}]})";
const QByteArray msBody = R"({"code":0,"data":{"available_balance":3.25}})";
const QByteArray orKeyBody = R"({"data":{"usage":1.5,"limit":10,"limit_remaining":8.5}})";
const QString dsResult = u"USD 5.5"_s, msResult = u"USD 3.25"_s;
const QString orKeyResult = u"USD 8.5; Key-Limit 10; Verbraucht 1.5"_s;
const QString unreadable = u"Antwort nicht lesbar"_s;
const QString networkError = u"Netzwerkfehler"_s, badKey = u"API-Key enthält unzulässige Zeichen"_s;
constexpr qsizetype bound = ProviderClient::maxBodyBytes;

// In Provider::Case order; for OpenRouter the key step, which follows the credits step.
const struct
{
    QByteArray path, body;
    QString Transport::*address;
} endpoints[] = {{"/user/balance", dsBody, &Transport::deepseekBalance},
                 {"/api/v1/key", orKeyBody, &Transport::openrouterKey},
                 {"/v1/users/me/balance", msBody, &Transport::moonshotBalance}};

// A result as one comparable line: "USD 8.5; Key-Limit 10; Verbraucht 1.5", or the message.
QString show(const BalanceResult &r)
{
    if (!r)
        return r.error().m;
    QString s = r->currency + u' ' + QString::number(r->total, 'g', 17);
    for (const BalanceDetail &d : r->details)
        s += u"; %1 %2"_s.arg(d.name, QString::number(d.amount, 'g', 17));
    return s;
}

// The result, provided the completion ran exactly once and not inside fetch().
QString fetched(Provider p, const QString &key)
{
    const auto results = std::make_shared<QStringList>();
    ProviderClient::fetch(p, key, [results](const BalanceResult &r) { results->append(show(r)); });
    if (!results->isEmpty())
        return u"<completed inside fetch()>"_s;
    (void)QTest::qWaitFor([&] { return !results->isEmpty(); }, 5000);
    QTest::qWait(50); // a second completion would show by now
    return results->join(u" + "_s); // empty: it never completed
}

struct Row
{
    R credits {.status = 403}; // OpenRouter's first step
    QString key = u"sk-test"_s;
    QString address {}; // instead of the fake's; {closed}: a port nobody listens on
    int requests = -1; // the fake receives; -1: one per step, less one sent elsewhere
};

} // namespace

Q_DECLARE_METATYPE(FakeProviderServer::Response)
Q_DECLARE_METATYPE(Row)

class TestProviderClient : public QObject
{
    Q_OBJECT
    std::unique_ptr<FakeProviderServer> m_server;
    Transport m_transport;

private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<FakeProviderServer>();
        QVERIFY(m_server->listen());
        m_transport = {};
        m_transport.timeout = 1000ms;
        m_transport.openrouterCredits = m_server->url(QString::fromLatin1(orCredits));
        for (const auto &e : endpoints)
            m_transport.*e.address = m_server->url(QString::fromLatin1(e.path));
        ProviderClient::setTransportForTesting(m_transport);
    }
    void fetch_data();
    void fetch();
    void overlappingQueries();
    void tls();
};

void TestProviderClient::fetch_data()
{
    QTest::addColumn<int>("provider");
    QTest::addColumn<R>("answer"); // to the provider's request; OpenRouter's key step
    QTest::addColumn<Row>("row");
    QTest::addColumn<QString>("expected");
    const auto add = [](const char *name, int p, const R &answer, const QString &expected,
                        const Row &row = {}) {
        QTest::newRow(name) << p << answer << row << expected;
    };
    const int ds = Provider::deepseek, ms = Provider::moonshot, ork = Provider::openrouter;
    const R dsOk {.body = dsBody}, msOk {.body = msBody}, orOk {.body = orKeyBody};

    // Every row checks the request lines and headers; these vary the key.
    add("openrouter, both steps", ork, orOk, orKeyResult);
    add("deepseek, empty key", ds, dsOk, dsResult, {.key = u""_s});
    add("moonshot, UTF-8 key", ms, msOk, msResult, {.key = u"sk-\u00e4\u20ac"_s});
    add("CR in key", ork, orOk, badKey, {.key = u"sk\r\nX-Evil: 1"_s, .requests = 0});
    add("LF in key", ms, msOk, badKey, {.key = u"sk\n"_s, .requests = 0});
    add("NUL in key", ds, dsOk, badKey, {.key = u"sk-"_s + QChar(0) + u"1"_s, .requests = 0});
    add("DEL in key", ds, dsOk, badKey, {.key = u"sk-\u007f"_s, .requests = 0});
    add("NEL in key", ds, dsOk, badKey, {.key = u"sk-\u0085"_s, .requests = 0});
    add("line separator in key", ds, dsOk, badKey, {.key = u"sk-\u2028"_s, .requests = 0});

    // The status reaches the message; OpenRouter rows answer the key step, and the credits
    // step's 403 before it is never shown.
    add("401", ds, {.status = 401}, u"API-Key ungültig (401)"_s);
    add("403", ork, {.status = 403}, u"API-Key ungültig (403)"_s);
    add("500", ds, {.status = 500}, u"Serverfehler (HTTP 500)"_s);
    add("500, page without end", ork, {.status = 500, .streamBytes = 2 * bound},
        u"Serverfehler (HTTP 500)"_s);
    add("302 without Location", ds, {.status = 302}, u"Serverfehler (HTTP 302)"_s);
    add("ds 200 empty", ds, {}, unreadable);
    add("openrouter 200 empty", ork, {}, unreadable);
    add("closed mid-body", ms, {.body = msBody, .closeAfter = 10}, networkError);
    add("time-out", ds, {.hang = true}, networkError);
    add("refused", ork, orOk, networkError, {.address = u"http://127.0.0.1:{closed}/"_s});
    add("invalid address", ms, msOk, u"Ungültige Adresse"_s, {.address = u"http://[::1/"_s});

    add("ds body of the bound", ds, {.body = dsBody.leftJustified(bound)}, dsResult);
    add("ds body over the bound", ds, {.body = dsBody.leftJustified(bound + 1)}, unreadable);
    add("ds body without end", ds, {.streamBytes = 2 * bound}, unreadable);
    // Qt's transfer time-out restarts with every byte; the request's own does not.
    add("trickling answer", ms, {.body = msBody, .trickle = 100ms}, networkError);

    const QByteArray credits = R"({"data":{"total_credits":25,"total_usage":7.25}})";
    add("credits answer, no key step", ork, orOk, u"USD 17.75; Aufgeladen 25; Verbraucht 7.25"_s,
        {.credits = {.body = credits}, .requests = 1});
    // Any failure of the credits step leads quietly to the key step.
    add("credits not JSON", ork, orOk, orKeyResult, {.credits = {.body = "oops"}});
    add("credits closed mid-body", ork, orOk, orKeyResult,
        {.credits = {.body = credits, .closeAfter = 6}});
    add("credits over the bound", ork, orOk, orKeyResult,
        {.credits = {.body = credits.leftJustified(bound + 1)}});
    add("credits without end", ork, orOk, orKeyResult, {.credits = {.streamBytes = 2 * bound}});
    add("credits time-out", ork, orOk, orKeyResult, {.credits = {.hang = true}});

    // {self} and {other}: the origins of the fake and of another server.
    add("redirect, same origin", ds, {.status = 302, .headers = {{"Location", "{self}/moved"}}},
        dsResult, {.requests = 2});
    add("redirect, other port", ds, {.status = 307, .headers = {{"Location", "{other}/moved"}}},
        u"Serverfehler (HTTP 307)"_s);
}

void TestProviderClient::fetch()
{
    QFETCH(int, provider);
    QFETCH(R, answer);
    QFETCH(Row, row);
    QFETCH(QString, expected);
    const auto &endpoint = endpoints[provider];
    FakeProviderServer other;
    QTcpServer closed; // bound and released: nothing listens on its port
    QVERIFY(other.listen() && closed.listen(QHostAddress::LocalHost));
    closed.close();
    for (auto &[name, value] : answer.headers) {
        value.replace("{self}", m_server->url({}).toUtf8())
            .replace("{other}", other.url({}).toUtf8());
    }
    if (!row.address.isEmpty()) {
        m_transport.*endpoint.address
            = row.address.replace(u"{closed}"_s, QString::number(closed.serverPort()));
        ProviderClient::setTransportForTesting(m_transport);
    }
    m_server->setResponse(endpoint.path, answer);
    m_server->setResponse(orCredits, row.credits);
    m_server->setResponse("/moved", 200, endpoint.body);
    other.setResponse("/moved", 200, endpoint.body);

    QCOMPARE(fetched(Provider::Case(provider), row.key), expected);
    QVERIFY2(other.requests().isEmpty(), "the key went to another origin");
    const auto requests = m_server->requests();
    const int steps = provider == Provider::openrouter ? 2 : 1;
    QCOMPARE(requests.size(), row.requests < 0 ? steps - !row.address.isEmpty() : row.requests);
    const QList<QByteArray> paths
        = steps == 2 ? QList {orCredits, endpoint.path} : QList {endpoint.path, "/moved"_ba};
    for (qsizetype i = 0; i < requests.size(); ++i) {
        const QByteArray &head = requests[i].head; // verbatim: the fake trims header values
        QVERIFY2(head.startsWith("GET " + paths[i] + " HTTP/1.1\r\n"), head);
        for (const QByteArray &line :
             {"Authorization: Bearer " + row.key.toUtf8(), QByteArray("Accept: application/json"),
              QByteArray("User-Agent: CreditGauge/" CREDITGAUGE_VERSION)})
            QVERIFY2(head.count("\r\n" + line + "\r\n") == 1, head);
        QCOMPARE(requests[i].headerCount("Authorization"), 1);
    }
}

void TestProviderClient::overlappingQueries()
{
    m_server->setResponse("/user/balance", {.body = dsBody, .delay = 600ms});
    m_server->setResponse(orCredits, {.status = 500, .delay = 250ms});
    m_server->setResponse("/api/v1/key", 200, orKeyBody);
    m_server->setResponse("/v1/users/me/balance", {.body = msBody, .delay = 50ms});
    const auto done = std::make_shared<QStringList>();
    for (const Provider p : Provider::allCases()) {
        ProviderClient::fetch(p, u"sk-test"_s, [done, p](const BalanceResult &r) {
            done->append(p.rawValue() + u": "_s + show(r));
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(done->size(), 3, 5000);
    QCOMPARE(*done,
             (QStringList {u"moonshot: "_s + msResult, u"openrouter: "_s + orKeyResult,
                           u"deepseek: "_s + dsResult}));
}

// A self-signed certificate for 127.0.0.1, trusted only where the transport says so.
void TestProviderClient::tls()
{
    if (QStandardPaths::findExecutable(u"openssl"_s).isEmpty() || !QSslSocket::supportsSsl())
        QSKIP("no openssl or no TLS backend");
    const auto [cert, key] = FakeProviderServer::selfSignedCertificate();
    QVERIFY(!cert.isNull() && !key.isNull());
    for (const bool trusted : {false, true}) { // a new origin each: Qt reuses connections
        FakeProviderServer server;
        QVERIFY(server.listenTls(cert, key));
        server.setResponse("/user/balance", 200, dsBody);
        m_transport.deepseekBalance = server.url(u"/user/balance"_s);
        if (trusted) {
            m_transport.tls = QSslConfiguration::defaultConfiguration();
            m_transport.tls->addCaCertificate(cert);
        }
        ProviderClient::setTransportForTesting(m_transport);
        QCOMPARE(fetched(Provider::deepseek, u"sk-test"_s), trusted ? dsResult : networkError);
        QCOMPARE(server.requests().size(), trusted ? 1 : 0);
    }
    QVERIFY2(!QSslConfiguration::defaultConfiguration().caCertificates().contains(cert),
             "the certificate leaked into Qt's default configuration");
}

QTEST_GUILESS_MAIN(TestProviderClient)
#include "TestProviderClient.moc"
