#include "FakeProviderServer.h"
#include "providers/ProviderClient.h"

#include <QTest>

#include <memory>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using R = FakeProviderServer::Response;

namespace {

const QByteArray orCredits = "/api/v1/credits";
const QByteArray dsBody = R"({"balance_infos":[{"currency":"USD","total_balance":"5.50"}]})";
const QByteArray msBody = R"({"code":0,"data":{"available_balance":3.25}})";
const QByteArray orKeyBody = R"({"data":{"usage":1.5,"limit":10,"limit_remaining":8.5}})";
const QString badKey = u"API-Key enthält unzulässige Zeichen"_s;
constexpr qsizetype bound = ProviderClient::maxBodyBytes;

// In Provider::Case order; for OpenRouter the key step, which follows the credits step.
const struct
{
    QByteArray path, body;
} endpoints[]
    = {{"/user/balance", dsBody}, {"/api/v1/key", orKeyBody}, {"/v1/users/me/balance", msBody}};

// "USD 3.25" or the message; provided the completion ran exactly once and not inside fetch().
QString fetched(Provider p, const QString &key, MoonshotRegion region)
{
    const auto results = std::make_shared<QStringList>();
    ProviderClient::fetch(
        p, key,
        [results](const BalanceResult &r) {
            results->append(r ? r->currency + u' ' + QString::number(r->total) : r.error().m);
        },
        region);
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
    int requests = -1; // the fake receives; -1: one per step
    MoonshotRegion region = MoonshotRegion::international;
};

} // namespace

Q_DECLARE_METATYPE(FakeProviderServer::Response)
Q_DECLARE_METATYPE(Row)

// The transport against a real HTTP server on loopback; TestBalanceAssembly covers what the
// answers mean.
class TestProviderClient : public QObject
{
    Q_OBJECT
    std::unique_ptr<FakeProviderServer> m_server;

private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<FakeProviderServer>();
        QVERIFY(m_server->listen());
        ProviderClient::setTransportForTesting(m_server->transport(1000ms));
    }

    void fetch_data()
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
        const R orOk {.body = orKeyBody};

        // Every row checks the request lines and headers; these vary the key.
        add("UTF-8 key", ms, {.body = msBody}, u"USD 3.25"_s, {.key = u"sk-\u00e4\u20ac"_s});
        add("CR in key", ork, orOk, badKey, {.key = u"sk\r\nX-Evil: 1"_s, .requests = 0});
        add("line separator in key", ds, {}, badKey, {.key = u"sk-\u2028"_s, .requests = 0});

        // The status reaches the message; the credits step's 403 before it is never shown.
        add("403", ork, {.status = 403}, u"API-Key ungültig (403)"_s);
        // Moonshot's China platform: its own address and currency. A refused key may be one of
        // the other region's; it is never tried there unasked.
        const Row cn {.region = MoonshotRegion::china};
        add("China", ms, {.body = msBody}, u"CNY 3.25"_s, cn);
        add("401, International", ms, {.status = 401},
            u"API-Key ungültig (401) – Key der Region China? Region im Menü wählen"_s);
        add("401, China", ms, {.status = 401},
            u"API-Key ungültig (401) – Key der Region International? Region im Menü wählen"_s, cn);
        add("500, page without end", ork, {.status = 500, .streamBytes = 2 * bound},
            u"Serverfehler (HTTP 500)"_s);
        add("time-out", ds, {.delay = 1h}, u"Netzwerkfehler"_s);
        add("body without end", ds, {.streamBytes = 2 * bound}, u"Antwort nicht lesbar"_s);

        // Any failure of the credits step leads quietly to the key step; a good credits answer
        // and a 403 before the key step are the HTTPS selftest's.
        add("credits not JSON", ork, orOk, u"USD 8.5"_s, {.credits = {.body = "oops"}});

        // {self} and {other}: the origins of the fake and of another server.
        add("redirect, same origin", ds, {.status = 302, .headers = {{"Location", "{self}/moved"}}},
            u"USD 5.5"_s, {.requests = 2});
        add("redirect, other port", ds, {.status = 307, .headers = {{"Location", "{other}/moved"}}},
            u"Serverfehler (HTTP 307)"_s);
    }
    void fetch()
    {
        QFETCH(int, provider);
        QFETCH(R, answer);
        QFETCH(Row, row);
        const auto &endpoint = endpoints[provider];
        const QByteArray path
            = row.region == MoonshotRegion::china ? "/cn/v1/users/me/balance"_ba : endpoint.path;
        FakeProviderServer other;
        QVERIFY(other.listen());
        for (auto &[name, value] : answer.headers)
            value.replace("{self}", m_server->url({}).toUtf8())
                .replace("{other}", other.url({}).toUtf8());
        m_server->setResponse(path, answer);
        m_server->setResponse(orCredits, row.credits);
        m_server->setResponse("/moved", 200, endpoint.body);
        other.setResponse("/moved", 200, endpoint.body);

        QTEST(fetched(Provider::Case(provider), row.key, row.region), "expected");
        QVERIFY2(other.requests().isEmpty(), "the key went to another origin");
        const auto requests = m_server->requests();
        const int steps = provider == Provider::openrouter ? 2 : 1;
        QCOMPARE(requests.size(), row.requests < 0 ? steps : row.requests);
        const QList<QByteArray> paths
            = steps == 2 ? QList {orCredits, endpoint.path} : QList {path, "/moved"_ba};
        for (qsizetype i = 0; i < requests.size(); ++i) {
            const QByteArray &head = requests[i].head; // verbatim: the fake trims header values
            QVERIFY2(head.startsWith("GET " + paths[i] + " HTTP/1.1\r\n"), head);
            QVERIFY2(head.contains("\r\nAuthorization: Bearer " + row.key.toUtf8() + "\r\n"), head);
            QCOMPARE(requests[i].headerCount("Authorization"), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestProviderClient)
#include "TestProviderClient.moc"
