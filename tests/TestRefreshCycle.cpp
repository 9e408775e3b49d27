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

QList<double> totals(const QList<BalanceSample> &samples)
{
    QList<double> result;
    for (const BalanceSample &s : samples)
        result << s.balance.total;
    return result;
}

// Every diagnostic line, Qt's own too, as "category: message", for as long as it lives.
class LogCapture
{
public:
    LogCapture()
    {
        lines().clear();
        QLoggingCategory::setFilterRules(u"*.debug=true"_s);
        m_previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &context, const QString &message) {
                const QMutexLocker lock(&mutex());
                lines() << QString::fromLatin1(context.category) + u": "_s + message;
            });
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    QString all() const
    {
        const QMutexLocker lock(&mutex());
        return lines().join(u'\n');
    }
    qsizetype count(const QString &part) const
    {
        const QMutexLocker lock(&mutex());
        return std::ranges::count_if(lines(), [&](const QString &l) { return l.contains(part); });
    }

private:
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
    static QStringList &lines()
    {
        static QStringList l;
        return l;
    }
    QtMessageHandler m_previous;
};

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

    // Queries overlap when a key is saved while an earlier one waits on a slow server. The
    // earlier answer, arriving last, is neither shown nor kept.
    void lateAnswerNeverOverwritesANewerOne_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("balance") << 200 << deepseekBody(50);
        QTest::newRow("server error") << 500 << QByteArray("oops");
    }
    void lateAnswerNeverOverwritesANewerOne()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        QTemporaryDir data;
        m_server->setResponse("/user/balance", {.status = status, .body = body, .delay = 1500ms});
        start({.watchNetwork = false, .historyPath = data.filePath(u"history.sqlite"_s)});
        QStringList titles;
        connect(m_cycle.get(), &RefreshCycle::stateChanged, this,
                [&titles](const RefreshState &state) { titles << state.title(); });
        QTRY_COMPARE(requests(), 1);
        m_server->setResponse("/user/balance", 200, deepseekBody(10));
        m_cycle->refresh(RefreshCycle::Trigger::KeySaved);
        QTRY_COMPARE(titles, QStringList {u"$ 10"_s});
        // A click waits for the slow query to end: its request says that it has.
        m_cycle->refresh(RefreshCycle::Trigger::User);
        QTRY_COMPARE_WITH_TIMEOUT(requests(), 3, 10000);
        QTRY_COMPARE(titles, (QStringList {u"$ 10"_s, u"$ 10"_s}));
        QCOMPARE(totals(m_cycle->history().samples(Provider::deepseek,
                                                   QDateTime::currentDateTimeUtc().addDays(-1))),
                 QList<double> {10});
    }

    // Clicks, timers and signals come in bursts: while a query is under way they add one more
    // query after it, not one each.
    void burstOfTriggersCostsTwoQueries()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", {.body = deepseekBody(5), .delay = 300ms});
        start({.watchNetwork = false});
        QSignalSpy states(m_cycle.get(), &RefreshCycle::stateChanged);
        QTRY_COMPARE(requests(), 1);
        for (int i = 0; i < 1000; ++i)
            m_cycle->refresh(i % 2 ? RefreshCycle::Trigger::User : RefreshCycle::Trigger::Timer);
        QTRY_COMPARE(states.size(), 2);
        QTest::qWait(500);
        QCOMPARE(requests(), 2);
        QCOMPARE(states.size(), 2);
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

    // A choice that cannot be stored holds for the session, and the user is told so once.
    void unsavedChoiceHoldsAndIsSaid()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        start();
        QTRY_COMPARE(m_cycle->state().kind, Kind::NoKey);
        QVERIFY(QDir(m_config.filePath(u"creditgauge"_s)).removeRecursively());
        QFile blocker(m_config.filePath(u"creditgauge"_s)); // the settings folder's name taken
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const auto unblock = qScopeGuard([&blocker] { blocker.remove(); });
        const LogCapture log;
        for (const Provider p : {Provider::moonshot, Provider::openrouter}) {
            m_cycle->selectProvider(p);
            QCOMPARE(m_cycle->provider(), p);
            QTRY_COMPARE(m_cycle->state().provider, p);
            QCOMPARE(m_cycle->state().notices.size(), 1);
        }
        QCOMPARE(log.count(u"Anbieterwahl"_s), 1);
        QVERIFY(blocker.remove());
        m_cycle->selectProvider(Provider::deepseek);
        QTRY_COMPARE(m_cycle->state().provider, Provider::deepseek);
        QCOMPARE(m_cycle->state().notices, QStringList());
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

    // A keyring that stalls (an unlock prompt nobody answers, a stopped daemon) or restarts
    // never freezes the cycle: once it answers again, the balance follows without a click,
    // and a restarted one is read on a new connection.
    void keyringThatComesBack_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("stalled briefly") << u"stall"_s;
        QTest::newRow("stalled past the bus time-out") << u"long stall"_s;
        QTest::newRow("restarted") << u"restart"_s;
    }
    void keyringThatComesBack()
    {
        TEST_SESSION_REQUIRE(SecretService::Private);
        QFETCH(QString, fault);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(7));
        const LogCapture log;
        if (fault == u"restart") {
            start();
            QTRY_COMPARE(requests(), 1);
            QVERIFY(TestSession::restartKeyring());
            m_cycle->refresh(RefreshCycle::Trigger::User);
            QTRY_COMPARE(requests(), 2);
            return;
        }
        const qint64 keyring = TestSession::keyringPid();
        QVERIFY(keyring > 0 && ::kill(pid_t(keyring), SIGSTOP) == 0);
        auto resume = qScopeGuard([keyring] { ::kill(pid_t(keyring), SIGCONT); });
        start({.keyReadDeadline = 300ms});
        QTRY_COMPARE(m_cycle->state().kind, Kind::StoreUnavailable);
        QCOMPARE(shown(m_cycle->state()), u"$ !|alarm|Der Schlüsselbund antwortet nicht."_s);
        QSignalSpy states(m_cycle.get(), &RefreshCycle::stateChanged);
        m_cycle->refresh(RefreshCycle::Trigger::User);
        QTRY_COMPARE(states.size(), 1); // answered again, not left waiting
        if (fault == u"long stall") // the bus gives up on the call to the stopped daemon
            QTRY_VERIFY_WITH_TIMEOUT(log.count(u"unreadable"_s) > 0, 40000);
        QCOMPARE(requests(), 0);
        resume.dismiss();
        ::kill(pid_t(keyring), SIGCONT);
        QTRY_COMPARE_WITH_TIMEOUT(m_cycle->state().title(), u"$ 7"_s, 15000);
        QCOMPARE(requests(), 1);
    }

    // Each finite balance goes into the history and the forecast comes from it; a history file
    // that SQLite calls damaged is moved aside and never stands between the user and the
    // balance. Infinity is shown as it came, and neither kept nor read as a pace.
    void balanceIsKeptAndForecast_data()
    {
        QTest::addColumn<bool>("damaged");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("kept");
        QTest::addColumn<QString>("forecast");
        QTest::newRow("history of three days") << false << deepseekBody(12) << u"$ 12"_s << 4
                                               << u"≈ $ 1,00 pro Tag · reicht noch ≈ 12 Tage"_s;
        QTest::newRow("damaged file") << true << deepseekBody(12) << u"$ 12"_s << 1 << QString();
        QTest::newRow("infinite amount")
            << false
            << QByteArray(
                   R"({"balance_infos": [{"currency": "USD", "total_balance": "Infinity"}]})")
            << u"$ ∞"_s << 3 << QString();
    }
    void balanceIsKeptAndForecast()
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
        QFETCH(QByteArray, body);
        m_server->setResponse("/user/balance", 200, body);
        start({.watchNetwork = false, .historyPath = path});
        QTRY_COMPARE(m_cycle->state().kind, Kind::Balance);
        QTEST(m_cycle->state().title(), "title");
        QTEST(int(BalanceHistory(path)
                      .samples(Provider::deepseek, QDateTime::currentDateTimeUtc().addDays(-7))
                      .size()),
              "kept");
        QTEST(m_cycle->state().forecastLine(), "forecast");
    }

    // A history that cannot be written (here: its folder's name taken by a file) costs the
    // user nothing but a notice, said once; the rows wait and are written once it can be.
    void unwritableHistoryIsSaidOnceAndCaughtUp()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QTemporaryDir data;
        QFile blocker(data.filePath(u"blocked"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const QString path = data.filePath(u"blocked/history.sqlite"_s);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        const LogCapture log;
        start({.watchNetwork = false, .historyPath = path});
        for (const double total : {12.0, 11.0, 10.0}) {
            m_server->setResponse("/user/balance", 200, deepseekBody(total));
            if (total != 12.0)
                m_cycle->refresh(RefreshCycle::Trigger::User);
            QTRY_COMPARE(m_cycle->state().title(), u"$ %1"_s.arg(total));
            QCOMPARE(m_cycle->state().notices.size(), total == 10.0 ? 0 : 1);
            if (total == 11.0)
                QVERIFY(blocker.remove());
        }
        QCOMPARE(log.count(u"Verlauf"_s), 1);
        QCOMPARE(totals(BalanceHistory(path).samples(Provider::deepseek,
                                                     QDateTime::currentDateTimeUtc().addDays(-1))),
                 (QList<double> {12, 11, 10}));
    }

    // Every category on, Qt's own too: the diagnostics tell host, status, Qt's error and time,
    // and the key is nowhere, not even as the Authorization header.
    void diagnosticsNeverCarryTheKey()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        const QString key = u"sk-diagnostics-4711"_s;
        QVERIFY(TestSession::storeKey(key, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(12));

        const LogCapture log;
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

        const QString all = log.all();
        QVERIFY2(!all.contains(key), qPrintable(all));
        QVERIFY2(!all.contains(u"Bearer"_s, Qt::CaseInsensitive), qPrintable(all));
        for (const QString &expected :
             {u"creditgauge.store: api-key found"_s, u"creditgauge.network: GET http://127.0.0.1"_s,
              u"HTTP 200"_s, u"HTTP 401"_s, u"ConnectionRefusedError (Connection refused)"_s,
              u"creditgauge.refresh: query 1 for deepseek"_s})
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
