#include "history/BalanceHistory.h"
#include "refresh/RefreshCycle.h"
#include "store/Settings.h"

#include "FakeProviderServer.h"
#include "TestSession.h"

#include <QLoggingCategory>
#include <QMutex>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Kind = RefreshState::Kind;
using TestSession::SecretService;

namespace {

// What a front end shows of a state: "title|alarm|message".
QString shown(const RefreshState &s)
{
    return s.title() + (s.alarm() ? u"|alarm|"_s : u"|normal|"_s) + s.message;
}

} // namespace

// The refresh cycle against real parts: fake providers on loopback, the session's secret
// service and stand-in system bus (logind's sleep signal, a stand-in NetworkManager), settings
// in a temporary folder. No display.
class TestRefreshCycle : public QObject
{
    Q_OBJECT
public:
    TestRefreshCycle() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void initTestCase()
    {
        // Network information settles on a backend the first time it is asked, so the stand-in
        // NetworkManager must be up before any cycle starts.
        if (!qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
            QVERIFY(m_network.start());
    }
    void init()
    {
        if (!TestSession::startFresh(m_config.path()))
            QSKIP("needs the secret service of scripts/test-session.sh");
        if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
            QSKIP("needs the stand-in system bus of scripts/test-session.sh");
        QVERIFY(m_network.setOnline(true));
        m_server = FakeProviderServer::standIn();
        QVERIFY(m_server);
    }
    void cleanup()
    {
        m_cycle.reset();
        m_server.reset();
    }

    void startWithoutKeyAsksNothing()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        start();
        QTRY_COMPARE(m_cycle->state().kind, Kind::NoKey);
        QCOMPARE(shown(m_cycle->state()), u"$ –|alarm|"_s);
        QTest::qWait(100);
        QCOMPARE(requests(), 0);
        // The periodic refresh first comes one interval after the start.
        QCOMPARE(m_cycle->timer().intervalAsDuration(), 1800s);
        QVERIFY(m_cycle->timer().remainingTimeAsDuration() > 1790s);
    }

    void balanceTitleAndAlarm_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("shown");
        QTest::newRow("1.5 rounds up, still low") << deepseekBody(1.5) << u"$ 2|alarm|"_s;
        QTest::newRow("negative") << deepseekBody(-3) << u"$ -3|alarm|"_s;
        QTest::newRow("yuan") << deepseekBody(120.4, u"CNY"_s) << u"¥ 120|normal|"_s;
    }
    void balanceTitleAndAlarm()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QFETCH(QByteArray, body);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, body);
        start();
        QTRY_COMPARE(m_cycle->state().kind, Kind::Balance);
        QTEST(shown(m_cycle->state()), "shown");
        QCOMPARE(m_server->requests().value(0).header("Authorization"),
                 std::optional<QByteArray>("Bearer sk-test"));
    }

    void answersApplyInArrivalOrderAndFailuresShow()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", {.body = deepseekBody(10), .delay = 600ms});
        start();
        QTRY_COMPARE(requests(), 1);
        m_server->setResponse("/user/balance", 200, deepseekBody(20));
        m_cycle->refresh(RefreshCycle::Trigger::User);
        // The later request answers first; the earlier one lands last and stays.
        QTRY_COMPARE(m_cycle->state().title(), u"$ 20"_s);
        QTRY_COMPARE(m_cycle->state().title(), u"$ 10"_s);

        m_server->setResponse("/user/balance", 500, "oops");
        m_cycle->refresh(RefreshCycle::Trigger::User);
        QTRY_COMPARE(m_cycle->state().kind, Kind::Failed);
        QCOMPARE(shown(m_cycle->state()), u"$ !|alarm|Serverfehler (HTTP 500)"_s);
    }

    // A late DeepSeek answer must not land under OpenRouter's name.
    void answerForAProviderNoLongerSelectedIsDropped()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance",
                              {.body = deepseekBody(120, u"CNY"_s), .delay = 500ms});
        start();
        QTRY_COMPARE(requests(), 1);
        m_cycle->selectProvider(Provider::openrouter); // no key stored for it
        QCOMPARE(Settings::provider(), Provider::openrouter);
        QTRY_COMPARE(m_cycle->state().kind, Kind::NoKey);
        QTest::qWait(800);
        QCOMPARE(m_cycle->state().kind, Kind::NoKey);
        QCOMPARE(m_cycle->state().provider, Provider::openrouter);
        QCOMPARE(shown(m_cycle->state()), u"$ –|alarm|"_s);
    }

    void pickingAProviderKeepsThePeriod()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        start();
        QTRY_COMPARE(m_cycle->state().kind, Kind::NoKey);
        const auto before = m_cycle->timer().remainingTimeAsDuration();
        QTest::qWait(1100);
        std::optional<Provider> refreshing;
        connect(m_cycle.get(), &RefreshCycle::refreshing, this,
                [&refreshing](Provider p) { refreshing = p; });
        m_cycle->selectProvider(Provider::moonshot);
        QCOMPARE(refreshing, std::optional<Provider>(Provider::moonshot));
        QVERIFY(m_cycle->timer().remainingTimeAsDuration() < before - 1s);
    }

    // logind announces the wake before Wi-Fi is back: the query waits for the network.
    void wakeWaitsForTheNetwork()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(3));
        start();
        QTRY_COMPARE(requests(), 1);

        QVERIFY(TestSession::prepareForSleep(true));
        QVERIFY(m_network.setOnline(false));
        QVERIFY(TestSession::prepareForSleep(false));
        QTest::qWait(500);
        QCOMPARE(requests(), 1);
        QVERIFY(m_network.setOnline(true));
        QTRY_COMPARE(requests(), 2);

        QVERIFY(TestSession::prepareForSleep(true));
        QTest::qWait(200);
        QCOMPARE(requests(), 2); // going to sleep is no reason to ask
        QVERIFY(TestSession::prepareForSleep(false)); // online already: at once
        QTRY_COMPARE(requests(), 3);
    }

    // Once, when the network returns after an automatic query failed for want of it.
    void failedAutomaticQueryIsRetriedOnceWhenTheNetworkReturns()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        QVERIFY(m_network.setOnline(false));
        m_server->setResponse("/user/balance", {.body = deepseekBody(3), .closeAfter = 0});
        start();
        QTRY_COMPARE(m_cycle->state().message, u"Netzwerkfehler"_s);
        m_server->setResponse("/user/balance", 200, deepseekBody(3));
        QVERIFY(m_network.setOnline(true));
        QTRY_COMPARE(m_cycle->state().title(), u"$ 3"_s);
        QCOMPARE(requests(), 2);

        // A failure the user asked for is theirs to repeat; and the retry is never repeated.
        m_server->setResponse("/user/balance", {.body = deepseekBody(3), .closeAfter = 0});
        QVERIFY(m_network.setOnline(false));
        m_cycle->refresh(RefreshCycle::Trigger::User);
        QTRY_COMPARE(requests(), 3);
        QVERIFY(m_network.setOnline(true));
        QVERIFY(m_network.setOnline(false));
        QVERIFY(m_network.setOnline(true));
        QTest::qWait(500);
        QCOMPARE(requests(), 3);
    }

    void wakeWithoutNetworkInformationWaitsAMoment()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(3));
        start({.wakeDelay = 700ms, .watchNetwork = false});
        QTRY_COMPARE(requests(), 1);
        QVERIFY(TestSession::prepareForSleep(false));
        QTest::qWait(300);
        QCOMPARE(requests(), 1);
        QTRY_COMPARE(requests(), 2);
    }

    // Without a secret service the user is told so, not that they have no key.
    void storeUnavailableIsNotNoKey()
    {
        TEST_SESSION_REQUIRE(SecretService::None);
        start();
        QTRY_COMPARE(m_cycle->state().kind, Kind::StoreUnavailable);
        QCOMPARE(shown(m_cycle->state()), u"$ !|alarm|Der Schlüsselbund ist nicht erreichbar."_s);
        QCOMPARE(requests(), 0);
    }

    // A keyring that never answers (an unlock prompt nobody answers) does not freeze the
    // cycle; when it answers after all, the balance follows by itself.
    void keyringThatDoesNotAnswer()
    {
        TEST_SESSION_REQUIRE(SecretService::Private);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(7));
        const qint64 keyring = TestSession::keyringPid();
        QVERIFY(keyring > 0 && ::kill(pid_t(keyring), SIGSTOP) == 0);
        auto resume = qScopeGuard([keyring] { ::kill(pid_t(keyring), SIGCONT); });
        const auto resumeNow = [&resume, keyring] {
            resume.dismiss();
            ::kill(pid_t(keyring), SIGCONT);
        };

        start({.keyReadDeadline = 300ms});
        QTRY_COMPARE(m_cycle->state().kind, Kind::StoreUnavailable);
        QCOMPARE(shown(m_cycle->state()), u"$ !|alarm|Der Schlüsselbund antwortet nicht."_s);
        QSignalSpy states(m_cycle.get(), &RefreshCycle::stateChanged);
        m_cycle->refresh(RefreshCycle::Trigger::User);
        QTRY_COMPARE(states.size(), 1); // answered again, not left waiting
        QCOMPARE(requests(), 0);

        resumeNow();
        QTRY_COMPARE(m_cycle->state().title(), u"$ 7"_s);
        QCOMPARE(requests(), 1);
    }

    // Each balance goes into the history and the forecast comes from it; a history file that
    // cannot be used is moved aside and never stands between the user and the balance.
    void balanceIsKeptAndForecastWhateverTheHistoryFile_data()
    {
        QTest::addColumn<bool>("damaged");
        QTest::newRow("history of three days") << false;
        QTest::newRow("damaged file") << true;
    }
    void balanceIsKeptAndForecastWhateverTheHistoryFile()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QFETCH(bool, damaged);
        QTemporaryDir data;
        const QString path = data.filePath(u"history.sqlite"_s);
        if (damaged) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, 'x')) > 0);
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot be used"_s));
        } else {
            BalanceHistory earlier(path);
            const QDateTime now = QDateTime::currentDateTimeUtc();
            for (int day = 3; day >= 1; --day)
                QVERIFY(earlier.record(Provider::deepseek, {u"USD"_s, 12.0 + day, {}},
                                       now.addDays(-day)));
        }
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(12));
        start({.watchNetwork = true, .historyPath = path});
        QTRY_COMPARE(m_cycle->state().title(), u"$ 12"_s);
        const QList<BalanceSample> kept = m_cycle->history().samples(
            Provider::deepseek, QDateTime::currentDateTimeUtc().addDays(-7));
        QCOMPARE(kept.size(), damaged ? 1 : 4);
        QCOMPARE(kept.last().balance.total, 12.0);
        QCOMPARE(m_cycle->state().forecastLine(),
                 damaged ? QString() : u"≈ $ 1,00 pro Tag · reicht noch ≈ 12 Tage"_s);
    }

    // Every category on, Qt's own too: the diagnostics tell host, status, Qt's error and time,
    // and the key is nowhere, not even as the Authorization header.
    void diagnosticsNeverCarryTheKey()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        const QString key = u"sk-diagnostics-4711"_s;
        QVERIFY(TestSession::storeKey(key, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(12));

        static QMutex mutex;
        static QStringList lines;
        lines.clear();
        QLoggingCategory::setFilterRules(u"*.debug=true"_s);
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &context, const QString &message) {
                const QMutexLocker lock(&mutex);
                lines << QString::fromLatin1(context.category) + u": "_s + message;
            });
        const auto restore = qScopeGuard([previous] {
            qInstallMessageHandler(previous);
            QLoggingCategory::setFilterRules(QString());
        });

        start();
        QTRY_COMPARE(m_cycle->state().title(), u"$ 12"_s);
        m_server->setResponse("/user/balance", 401, "{}");
        m_cycle->refresh(RefreshCycle::Trigger::User);
        QTRY_COMPARE(m_cycle->state().kind, Kind::Failed);
        ProviderClient::Transport closed = m_server->transport(5s);
        closed.deepseekBalance = u"http://127.0.0.1:1/user/balance"_s; // nobody listens there
        ProviderClient::setTransportForTesting(closed);
        m_cycle->refresh(RefreshCycle::Trigger::User);
        QTRY_VERIFY(m_cycle->state().message != u"API-Key ungültig (401)"_s);

        const QMutexLocker lock(&mutex);
        const QString all = lines.join(u'\n');
        QVERIFY2(!all.contains(key), qPrintable(all));
        QVERIFY2(!all.contains(u"Bearer"_s, Qt::CaseInsensitive), qPrintable(all));
        for (const QString &expected :
             {u"creditgauge.store: api-key found"_s, u"creditgauge.network: GET http://127.0.0.1"_s,
              u"HTTP 200"_s, u"HTTP 401"_s, u"ConnectionRefusedError (Connection refused)"_s,
              u"creditgauge.refresh: refresh for deepseek"_s})
            QVERIFY2(all.contains(expected), qPrintable(expected + u" in\n"_s + all));
    }

private:
    void start(const RefreshCycle::Options &options = {.watchNetwork = true})
    {
        m_cycle = std::make_unique<RefreshCycle>(options);
        m_cycle->start();
    }
    int requests() const { return int(m_server->requests().size()); }

    QTemporaryDir m_config;
    TestSession::FakeNetworkManager m_network;
    std::unique_ptr<FakeProviderServer> m_server;
    std::unique_ptr<RefreshCycle> m_cycle;
};

QTEST_GUILESS_MAIN(TestRefreshCycle)
#include "TestRefreshCycle.moc"
