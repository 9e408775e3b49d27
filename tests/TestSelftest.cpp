#include "app/CreditGaugeApp.h"
#include "providers/ProviderClient.h"

#include "FakeProviderServer.h"

#include <QTest>

using namespace creditgauge;
using namespace std::chrono_literals;

namespace {

QProcessEnvironment environment(const QMap<QString, QString> &vars)
{
    QProcessEnvironment env;
    for (auto it = vars.cbegin(); it != vars.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

} // namespace

class TestSelftest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void resultLine_data();
    void resultLine();
    void providerAndKeyFromEnvironment_data();
    void providerAndKeyFromEnvironment();
    void deadlineGivesOneTimeoutLine();

private:
    QString run(const QProcessEnvironment &env, std::chrono::milliseconds deadline = 10s);

    std::unique_ptr<FakeProviderServer> m_server;
};

void TestSelftest::init()
{
    m_server = std::make_unique<FakeProviderServer>();
    QVERIFY(m_server->listen());
    ProviderClient::Transport transport = ProviderClient::defaultTransport();
    transport.deepseekBalance = m_server->url(QStringLiteral("/user/balance"));
    transport.openrouterCredits = m_server->url(QStringLiteral("/api/v1/credits"));
    transport.openrouterKey = m_server->url(QStringLiteral("/api/v1/key"));
    transport.moonshotBalance = m_server->url(QStringLiteral("/v1/users/me/balance"));
    transport.timeout = 5s;
    ProviderClient::setTransportForTesting(transport);
}

QString TestSelftest::run(const QProcessEnvironment &env, std::chrono::milliseconds deadline)
{
    QString output;
    QTextStream out(&output);
    CreditGaugeApp::selftestRun(env, out, deadline);
    return output;
}

void TestSelftest::resultLine_data()
{
    QTest::addColumn<QString>("provider");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");

    QTest::newRow("deepseek with details")
            << "deepseek" << QByteArray("/user/balance") << 200
            << QByteArray(R"({"is_available": true, "balance_infos": [{"currency": "CNY",
                "total_balance": "110.00", "granted_balance": "10.00", "topped_up_balance": "100.00"}]})")
            << "OK deepseek CNY total=\u00a5 110,00 Aufgeladen=\u00a5 100,00 Geschenkt=\u00a5 10,00\n";
    QTest::newRow("no details keeps the blank after the total")
            << "moonshot" << QByteArray("/v1/users/me/balance") << 200
            << QByteArray(R"({"code": 0, "data": {"available_balance": 1234.5}})")
            << "OK moonshot USD total=$ 1.234,50 \n";
    QTest::newRow("openrouter credits")
            << "openrouter" << QByteArray("/api/v1/credits") << 200
            << QByteArray(R"({"data": {"total_credits": 10, "total_usage": 12.5}})")
            << "OK openrouter USD total=$ -2,50 Aufgeladen=$ 10,00 Verbraucht=$ 12,50\n";
    QTest::newRow("unknown currency code stays")
            << "deepseek" << QByteArray("/user/balance") << 200
            << QByteArray(R"({"balance_infos": [{"currency": "chf", "total_balance": 7}]})")
            << "OK deepseek chf total=chf 7,00 \n";
    QTest::newRow("rejected key")
            << "deepseek" << QByteArray("/user/balance") << 401 << QByteArray("{}")
            << "FEHLER deepseek API-Key ungültig (401)\n";
    QTest::newRow("unreadable answer")
            << "moonshot" << QByteArray("/v1/users/me/balance") << 200 << QByteArray("<html>")
            << "FEHLER moonshot Antwort nicht lesbar\n";
}

void TestSelftest::resultLine()
{
    QFETCH(QString, provider);
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    m_server->setResponse(path, status, body);
    QTEST(run(environment({ { QStringLiteral("CREDITGAUGE_PROVIDER"), provider },
                            { QStringLiteral("CREDITGAUGE_KEY"), QStringLiteral("sk-test") } })),
          "expected");
}

void TestSelftest::providerAndKeyFromEnvironment_data()
{
    QTest::addColumn<QProcessEnvironment>("env");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("linePrefix");
    QTest::addColumn<QByteArray>("authorization"); // empty: the placeholder key

    const QString p = QStringLiteral("CREDITGAUGE_PROVIDER");
    const QString k = QStringLiteral("CREDITGAUGE_KEY");
    QTest::newRow("nothing set") << environment({}) << QByteArray("/user/balance")
                                 << "FEHLER deepseek " << QByteArray();
    QTest::newRow("capitalised provider") << environment({ { p, QStringLiteral("Moonshot") }, { k, QStringLiteral("k") } })
                                          << QByteArray("/user/balance") << "FEHLER deepseek "
                                          << QByteArray("Bearer k");
    QTest::newRow("moonshot") << environment({ { p, QStringLiteral("moonshot") }, { k, QStringLiteral("k") } })
                              << QByteArray("/v1/users/me/balance") << "FEHLER moonshot "
                              << QByteArray("Bearer k");
    QTest::newRow("empty key is sent empty")
            << environment({ { p, QStringLiteral("deepseek") }, { k, QString() } })
            << QByteArray("/user/balance") << "FEHLER deepseek " << QByteArray("Bearer");
}

void TestSelftest::providerAndKeyFromEnvironment()
{
    QFETCH(QProcessEnvironment, env);
    QFETCH(QByteArray, path);
    QFETCH(QString, linePrefix);
    QFETCH(QByteArray, authorization);

    m_server->setResponse(path, 403, "{}");
    const QString line = run(env);
    QVERIFY2(line.startsWith(linePrefix), qPrintable(line));
    QCOMPARE(line.count(QLatin1Char('\n')), 1);

    const auto requests = m_server->requestsFor(path);
    QCOMPARE(requests.size(), 1);
    const QByteArray sent = requests.front().header("Authorization").value_or("missing");
    if (authorization.isEmpty()) {
        QVERIFY2(sent.startsWith("Bearer sk-"), sent.constData());
        QCOMPARE(sent.size(), qsizetype(strlen("Bearer ") + 14));
    } else {
        QCOMPARE(sent, authorization);
    }
}

void TestSelftest::deadlineGivesOneTimeoutLine()
{
    FakeProviderServer::Response late;
    late.body = R"({"balance_infos": [{"total_balance": 5}]})";
    late.delay = 600ms;
    m_server->setResponse("/user/balance", late);

    QCOMPARE(run(environment({}), 200ms), QStringLiteral("FEHLER Timeout\n"));

    // The answer that arrives after the deadline must not add a second line anywhere.
    QString output;
    QTextStream out(&output);
    CreditGaugeApp::selftestRun(environment({}), out, 100ms);
    QTest::qWait(1000);
    QCOMPARE(output, QStringLiteral("FEHLER Timeout\n"));
}

QTEST_GUILESS_MAIN(TestSelftest)
#include "TestSelftest.moc"
