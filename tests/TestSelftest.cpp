#include "app/CreditGaugeApp.h"

#include "FakeProviderServer.h"

#include <QTest>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

// The self-test run in-process against a fake provider; the real binary, every provider's
// line with its details, is driven over real HTTPS by tests/e2e/selftest_https.sh.
class TestSelftest : public QObject
{
    Q_OBJECT
    std::unique_ptr<FakeProviderServer> m_server;

    QString run(const QString &provider, const std::optional<QString> &key)
    {
        QProcessEnvironment env;
        if (!provider.isEmpty())
            env.insert(u"CREDITGAUGE_PROVIDER"_s, provider);
        if (key)
            env.insert(u"CREDITGAUGE_KEY"_s, *key);
        QString output;
        QTextStream out(&output);
        CreditGaugeApp::selftestRun(env, out, 10s);
        return output;
    }

private Q_SLOTS:
    void init()
    {
        m_server = FakeProviderServer::standIn();
        QVERIFY(m_server);
    }

    // Nothing set: DeepSeek, asked with a placeholder key of a real key's shape.
    void defaults()
    {
        m_server->setResponse("/user/balance", 401, "{}");
        QCOMPARE(run({}, std::nullopt), u"FEHLER deepseek API-Key ungültig (401)\n"_s);
        const QByteArray sent = m_server->requests().value(0).header("Authorization").value_or("");
        QVERIFY2(sent.startsWith("Bearer sk-") && sent.size() == 7 + 14, sent.constData());
        // An empty key is sent empty; a provider's name is exact, or it is DeepSeek.
        m_server->setResponse("/user/balance", 200, "<html>");
        QCOMPARE(run(u"Moonshot"_s, u""_s), u"FEHLER deepseek Antwort nicht lesbar\n"_s);
        QCOMPARE(m_server->requests().value(1).header("Authorization"), QByteArray("Bearer"));
        // A balance without details keeps the blank before them.
        m_server->setResponse("/v1/users/me/balance", 200,
                              R"({"data": {"available_balance": 1234.5}})");
        QCOMPARE(run(u"moonshot"_s, u"k"_s), u"OK moonshot USD total=$ 1.234,50 \n"_s);
    }

    void deadlineGivesOneTimeoutLine()
    {
        m_server->setResponse(
            "/user/balance",
            {.body = R"({"balance_infos": [{"total_balance": 5}]})", .delay = 500ms});
        QString output;
        QTextStream out(&output);
        CreditGaugeApp::selftestRun({}, out, 100ms);
        QTest::qWait(900); // the late answer must add nothing
        QCOMPARE(output, u"FEHLER Timeout\n"_s);
    }
};

QTEST_GUILESS_MAIN(TestSelftest)
#include "TestSelftest.moc"
