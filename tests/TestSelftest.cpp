#include "app/CreditGaugeApp.h"

#include "FakeProviderServer.h"

#include <QTest>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

// The self-test's deadline, in-process against a fake provider; its lines for each provider
// and failure come from the real binary over real HTTPS in tests/e2e/selftest_https.sh.
class TestSelftest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void deadlineGivesOneTimeoutLine()
    {
        const auto server = FakeProviderServer::standIn();
        QVERIFY(server);
        server->setResponse(
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
