#include "app/CreditGaugeApp.h"
#include "providers/ProviderClient.h"

#include "FakeProviderServer.h"

#include <QTest>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

using Env = QMap<QString, QString>;

// The self-test run in-process against a fake provider; the real binary is driven over real
// HTTPS by tests/e2e/selftest_https.sh.
class TestSelftest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_server = FakeProviderServer::standIn();
        QVERIFY(m_server);
    }

    void oneLine_data()
    {
        QTest::addColumn<Env>("env");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QByteArray>("authorization"); // empty: the 14-character placeholder
        const QString p = u"CREDITGAUGE_PROVIDER"_s, k = u"CREDITGAUGE_KEY"_s;
        QTest::newRow("details")
            << Env {{p, u"deepseek"_s}, {k, u"sk-1"_s}} << QByteArray("/user/balance") << 200
            << QByteArray(R"({"balance_infos": [{"currency": "CNY", "total_balance": "110.00",
                              "granted_balance": "10.00", "topped_up_balance": "100.00"}]})")
            << u"OK deepseek CNY total=¥ 110,00 Aufgeladen=¥ 100,00 Geschenkt=¥ 10,00\n"_s
            << QByteArray("Bearer sk-1");
        QTest::newRow("no details keeps the blank")
            << Env {{p, u"moonshot"_s}, {k, u"k"_s}} << QByteArray("/v1/users/me/balance") << 200
            << QByteArray(R"({"data": {"available_balance": 1234.5}})")
            << u"OK moonshot USD total=$ 1.234,50 \n"_s << QByteArray("Bearer k");
        QTest::newRow("rejected, nothing set")
            << Env {} << QByteArray("/user/balance") << 401 << QByteArray("{}")
            << u"FEHLER deepseek API-Key ungültig (401)\n"_s << QByteArray();
        QTest::newRow("capitalised provider is deepseek")
            << Env {{p, u"Moonshot"_s}, {k, u"k"_s}} << QByteArray("/user/balance") << 200
            << QByteArray("<html>") << u"FEHLER deepseek Antwort nicht lesbar\n"_s
            << QByteArray("Bearer k");
        QTest::newRow("empty key is sent empty")
            << Env {{k, QString()}} << QByteArray("/user/balance") << 403 << QByteArray()
            << u"FEHLER deepseek API-Key ungültig (403)\n"_s << QByteArray("Bearer");
    }
    void oneLine()
    {
        QFETCH(Env, env);
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, authorization);
        m_server->setResponse(path, status, body);
        QTEST(run(env, 10s), "line");
        QCOMPARE(m_server->requests().size(), 1);
        const QByteArray sent
            = m_server->requests().front().header("Authorization").value_or("none");
        if (authorization.isEmpty())
            QVERIFY2(sent.startsWith("Bearer sk-") && sent.size() == 7 + 14, sent.constData());
        else
            QCOMPARE(sent, authorization);
    }

    void deadlineGivesOneTimeoutLine()
    {
        FakeProviderServer::Response late;
        late.body = R"({"balance_infos": [{"total_balance": 5}]})";
        late.delay = 500ms;
        m_server->setResponse("/user/balance", late);
        QString output;
        QTextStream out(&output);
        CreditGaugeApp::selftestRun(QProcessEnvironment(), out, 100ms);
        QTest::qWait(900); // the late answer must add nothing
        QCOMPARE(output, u"FEHLER Timeout\n"_s);
    }

private:
    QString run(const Env &vars, std::chrono::milliseconds deadline)
    {
        QProcessEnvironment env;
        for (auto it = vars.cbegin(); it != vars.cend(); ++it)
            env.insert(it.key(), it.value());
        QString output;
        QTextStream out(&output);
        CreditGaugeApp::selftestRun(env, out, deadline);
        return output;
    }

    std::unique_ptr<FakeProviderServer> m_server;
};

QTEST_GUILESS_MAIN(TestSelftest)
#include "TestSelftest.moc"
