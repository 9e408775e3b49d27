#include "history/BalanceHistory.h"
#include "refresh/RefreshCycle.h"
#include "store/Keychain.h"
#include "store/Settings.h"

#include "FakeProviderServer.h"
#include "TestSession.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <QMutex>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Kind = RefreshState::Kind;
using Trigger = RefreshCycle::Trigger;
using TestSession::SecretService;

namespace {

const QString key = u"sk-test-4711"_s;

// Every diagnostic line since the test began, Qt's too, as "category: message"; warnings also
// go on to QtTest.
QStringList logged;
QMutex loggedMutex;
QtMessageHandler qtestHandler = nullptr;
void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        qtestHandler(type, context, message);
    const QMutexLocker lock(&loggedMutex);
    logged << QString::fromLatin1(context.category) + u": "_s + message;
}
QString log()
{
    const QMutexLocker lock(&loggedMutex);
    return logged.join(u'\n');
}

} // namespace

// Against real parts: fake providers on loopback, the session's keyring, a stand-in NetworkManager
// on the stand-in system bus, temporary folders. Each test starts with a key and DeepSeek at $ 3.
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
            QVERIFY(m_network.start({u"network-manager"_s}));
        QLoggingCategory::setFilterRules(u"*.debug=true"_s);
        qtestHandler = qInstallMessageHandler(capture);
    }
    void init()
    {
        if (!TestSession::startFresh(m_config.path())
            || qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
            QSKIP("needs the keyring and system bus of scripts/test-session.sh");
        QVERIFY(m_network.send("online"));
        m_server = FakeProviderServer::standIn();
        QVERIFY(m_server);
        m_server->setResponse("/user/balance", 200, deepseekBody(3));
        QVERIFY(TestSession::storeKey(key, u"api-key"_s));
        m_data.emplace();
        const QMutexLocker lock(&loggedMutex);
        logged.clear();
    }
    // Whatever went wrong, the key is nowhere in the diagnostics, not even as the header.
    void cleanup()
    {
        m_cycle.reset();
        m_server.reset();
        QVERIFY(!log().contains(key) && !log().contains(u"Bearer"_s, Qt::CaseInsensitive));
    }

    // Queries overlap when a key is saved while an earlier one waits on a slow server: the
    // earlier answer, arriving last, is neither shown nor kept.
    void lateAnswerNeverOverwritesANewerOne()
    {
        m_server->setResponse("/user/balance", {.body = deepseekBody(50), .delay = 1500ms});
        start();
        QSignalSpy states(m_cycle.get(), &RefreshCycle::stateChanged);
        QTRY_COMPARE(requests(), 1);
        m_server->setResponse("/user/balance", 200, deepseekBody(10));
        m_cycle->refresh(Trigger::KeySaved);
        QTRY_COMPARE(m_cycle->state().title(), u"$ 10"_s);
        // Clicks and timers while a query is under way add one query after it, not one each.
        for (int i = 0; i < 1000; ++i)
            m_cycle->refresh(i % 2 ? Trigger::User : Trigger::Timer);
        QTRY_COMPARE_WITH_TIMEOUT(states.size(), 2, 10000);
        QTRY_VERIFY(log().contains(u"answer of query 1 for deepseek dropped"_s));
        QCOMPARE(requests(), 3);
        QCOMPARE(states.size(), 2);
        QCOMPARE(m_cycle->state().title(), u"$ 10"_s);
        const QList<BalanceSample> kept
            = BalanceHistory(historyPath())
                  .samples(Provider::deepseek, QDateTime::currentDateTimeUtc().addDays(-1));
        QCOMPARE(kept.size(), 1);
        QCOMPARE(kept.value(0).balance.total, 10.0);

        // Over a second after the start: picking a provider leaves the period as it runs.
        m_cycle->selectProvider(Provider::deepseek);
        QVERIFY(m_cycle->timer().remainingTime() < 1'799'000);
        // With a server that answers at once, a burst still costs two queries.
        m_server->setResponse("/user/balance", 200, deepseekBody(10));
        const int asked = requests();
        for (int i = 0, seen = asked + folded(); i < 20; ++i, seen = requests() + folded()) {
            m_cycle->refresh(Trigger::User);
            QTRY_VERIFY(requests() + folded() > seen); // sent, or left for the follow-up
        }
        QVERIFY(requests() - asked <= 3);
        QTRY_VERIFY(requests() > asked);
    }

    // A late DeepSeek answer must not land under OpenRouter's name, even while OpenRouter's own
    // is still on its way.
    void answerForAProviderNoLongerSelectedIsDropped()
    {
        QVERIFY(TestSession::storeKey(u"sk-or"_s, u"api-key-openrouter"_s));
        m_server->setResponse("/user/balance", {.body = deepseekBody(50), .delay = 300ms});
        m_server->setResponse(
            "/api/v1/credits",
            {.body = R"({"data": {"total_credits": 10, "total_usage": 3}})", .delay = 1000ms});
        start({.allProviders = false});
        QTRY_COMPARE(requests(), 1);
        QSignalSpy states(m_cycle.get(), &RefreshCycle::stateChanged);
        m_cycle->selectProvider(Provider::openrouter);
        QCOMPARE(m_cycle->state().provider, Provider::openrouter); // at once, nothing yet
        QCOMPARE(m_cycle->state().title(), u"$ –"_s);
        QTRY_COMPARE(m_cycle->state().title(), u"$ 7"_s);
        QCOMPARE(states.size(), 2);
        QVERIFY(!m_cycle->state().alarm());
        // A mark set elsewhere (the tray's, read by a bar) counts from the next answer on.
        QVERIFY(Settings::saveAccount({u"openrouter"_s, Provider::openrouter, {}, {}, 7.5}));
        m_cycle->refresh(Trigger::User);
        QTRY_VERIFY(m_cycle->state().alarm());
    }

    // A relay is asked at the address stored for it, with its own key.
    void relayAskedAtItsAddress()
    {
        QVERIFY(TestSession::storeKey(u"sk-relay"_s, u"api-key-relay"_s));
        QVERIFY(Settings::saveAccount(
            {u"relay"_s, Provider::relay, {}, {{}, m_server->url(u"/v1/"_s)}}));
        m_server->setResponse("/v1/dashboard/billing/subscription", 200, R"({"hard_limit_usd": 3})");
        m_server->setResponse("/v1/dashboard/billing/usage", 200, R"({"total_usage": 125})");
        QVERIFY(Settings::setProvider(Provider::relay));
        start({.allProviders = false});
        QTRY_COMPARE(m_cycle->state().title(), u"$ 2"_s);
        QCOMPARE(m_server->requests().last().header("Authorization"),
                 std::optional("Bearer sk-relay"_ba));
    }

    // A second key at the same provider is an account of its own: asked beside the first with
    // its own key, kept and judged on its own, selected by its id; removed, its key goes and
    // its rows stay.
    void twoAccountsAtOneProvider()
    {
        const Account work {u"deepseek-2"_s, Provider::deepseek, u"Arbeit"_s, {}, 50};
        QVERIFY(Settings::saveAccount(work)
                && TestSession::storeKey(u"sk-work"_s, u"api-key-deepseek-2"_s));
        m_server->setResponse("/user/balance sk-work", 200, deepseekBody(40));
        start();
        QTRY_COMPARE(m_cycle->others().size(), 1);
        const RefreshState other = m_cycle->others().constFirst();
        QCOMPARE(other.label() + u' ' + other.title(), u"DeepSeek · Arbeit $ 40"_s);
        QVERIFY(other.alarm()); // under its own mark of 50
        QTRY_COMPARE(m_cycle->state().title(), u"$ 3"_s);
        QVERIFY(!m_cycle->state().alarm());
        BalanceHistory history(historyPath());
        const auto day = QDateTime::currentDateTimeUtc().addDays(-1);
        QCOMPARE(history.samples(work.id, day).value(0).balance.total, 40.0);
        QCOMPARE(history.samples(Provider::deepseek, day).value(0).balance.total, 3.0);
        for (const auto &request : m_server->requests()) // each key to its own provider only
            QVERIFY(request.header("Authorization") != "Bearer sk-work"
                    || request.target == "/user/balance");

        m_cycle->selectAccount(work.id);
        QCOMPARE(m_cycle->state().title(), u"$ 40"_s); // what is known, at once
        QCOMPARE(m_cycle->others().constFirst().accountId, u"deepseek"_s);
        QCOMPARE(Settings::provider(), Provider::deepseek);
        QCOMPARE(Settings::selectedAccount().id, work.id);

        m_cycle->removeAccount(work.id);
        QCOMPARE(m_cycle->state().label(), u"DeepSeek"_s);
        QTRY_COMPARE(TestSession::readKey(u"api-key-deepseek-2"_s),
                     KeyStore::ReadResult(std::optional<QString>()));
        QVERIFY(m_cycle->others().isEmpty() && !Settings::account(work.id));
        QCOMPARE(history.samples(work.id, day).size(), 1);
        // A new account never takes the id, and so the rows, of one removed.
        QCOMPARE(Settings::newAccountId(Provider::deepseek), u"deepseek-3"_s);
    }

    // What today's program wrote is read as the first accounts without a step by the user, and
    // stays readable for it after accounts were added.
    void upgradeFromStoredChoices()
    {
        QVERIFY(TestSession::storeKey(u"sk-ms"_s, u"api-key-moonshot"_s));
        const QString conf = m_config.filePath(u"creditgauge/creditgauge.conf"_s);
        QFile file(conf);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\nallProviders=false\nmoonshotRegion=china\nnotifications=false\n"
                   "provider=moonshot\n\n[lowMark]\nmoonshot=20\n");
        file.close();
        const auto earlier = QDateTime::currentDateTimeUtc().addDays(-2);
        QVERIFY(
            BalanceHistory(historyPath()).record(Provider::moonshot, {u"CNY"_s, 30, {}}, earlier));
        m_server->setResponse("/cn/v1/users/me/balance", 200,
                              R"({"data": {"available_balance": 10}})");
        start();
        QTRY_COMPARE(m_cycle->state().title(), u"¥ 10"_s);
        QVERIFY(m_cycle->state().alarm()); // under the mark of 20
        QCOMPARE(m_cycle->state().recent.size(), 2);
        QCOMPARE(requests(), 1); // the others are not asked

        m_cycle->saveAccount({u"moonshot-2"_s, Provider::moonshot, u"Privat"_s});
        m_cycle->selectAccount(u"moonshot-2"_s);
        const QSettings written(conf, QSettings::IniFormat);
        for (const auto &[key, value] : {std::pair {"provider", "moonshot"},
                                         {"moonshotRegion", "china"},
                                         {"allProviders", "false"},
                                         {"notifications", "false"},
                                         {"lowMark/moonshot", "20"}})
            QCOMPARE(written.value(QLatin1String(key)).toString(), QLatin1String(value));
    }

    // The others with a key are asked on the same occasions, kept in the history and listed;
    // one without a key costs no request; a failing one is listed red; a slow one's answer
    // that comes after the watch is switched off is dropped.
    void othersAreAskedBesideTheSelected()
    {
        QVERIFY(TestSession::storeKey(u"sk-ms"_s, u"api-key-moonshot"_s));
        m_server->setResponse("/v1/users/me/balance", 500, "{}");
        start();
        QTRY_COMPARE(m_cycle->others().size(), 1);
        QCOMPARE(m_cycle->others().constFirst().provider, Provider::moonshot);
        QVERIFY(m_cycle->others().constFirst().alarm());
        QTRY_COMPARE(m_cycle->state().title(), u"$ 3"_s);

        m_server->setResponse("/v1/users/me/balance", 200, R"({"data": {"available_balance": 5}})");
        m_cycle->refresh(Trigger::Timer);
        QTRY_COMPARE(m_cycle->others().constFirst().title(), u"$ 5"_s);
        const auto utc = QDateTime::currentDateTimeUtc().addDays(-1);
        QCOMPARE(BalanceHistory(historyPath()).samples(Provider::moonshot, utc).size(), 1);
        for (const auto &request : m_server->requests())
            QVERIFY2(!request.target.startsWith("/api/"), request.target);
        // A key stored past KeyStore (as secret-tool would): asked for once the keyring says so.
        Keychain::write(u"api-key-openrouter"_s, u"sk-or"_s, [](const Keychain::Answer &) {});
        QTRY_COMPARE(m_cycle->others().size(), 2);

        // What is known shows at once on selecting it, here or in the tray (a text bar's
        // SIGUSR1 follows); the one selected before joins the list, each listed once.
        QSignalSpy states(m_cycle.get(), &RefreshCycle::stateChanged);
        m_server->setResponse("/v1/users/me/balance",
                              {.body = R"({"data": {"available_balance": 4}})", .delay = 400ms});
        m_server->setResponse("/user/balance", {.body = deepseekBody(9), .delay = 800ms});
        QVERIFY(Settings::setProvider(Provider::moonshot));
        m_cycle->refresh(Trigger::User);
        QCOMPARE(states.size(), 1);
        QCOMPARE(m_cycle->state().title(), u"$ 5"_s);
        QCOMPARE(m_cycle->others().constFirst().provider, Provider::deepseek);
        QTRY_COMPARE(m_cycle->state().title(), u"$ 4"_s);
        QCOMPARE(m_cycle->others().constFirst().title(), u"$ 3"_s);
        m_cycle->setQueriesAll(false);
        QVERIFY(m_cycle->others().isEmpty());
        QTRY_VERIFY(log().contains(u"for deepseek dropped: no longer selected"_s));
        QVERIFY(m_cycle->others().isEmpty());
    }

    // A Moonshot key counts on one platform: once the region changed, what the other platform
    // said is dropped, also when it comes before the new region's answer.
    void answerForTheOtherMoonshotRegionIsDropped()
    {
        QVERIFY(TestSession::storeKey(key, u"api-key-moonshot"_s));
        const QByteArray ms = R"({"data": {"available_balance": 50}})";
        m_server->setResponse("/v1/users/me/balance", {.body = ms, .delay = 500ms});
        m_server->setResponse("/cn/v1/users/me/balance",
                              {.body = QByteArray(ms).replace("50", "10"), .delay = 1000ms});
        // DeepSeek's key, stored for every test, is not asked beside it.
        start({.provider = Provider::moonshot, .allProviders = false});
        QTRY_COMPARE(requests(), 1);
        QSignalSpy states(m_cycle.get(), &RefreshCycle::stateChanged);
        m_cycle->selectMoonshotRegion(MoonshotRegion::china);
        QTRY_COMPARE(m_cycle->state().title(), u"¥ 10"_s);
        QCOMPARE(states.size(), 1);
    }

    // Once, when the network returns after an automatic query failed for want of it; and a wake.
    void failedAutomaticQueryIsRetriedOnceWhenTheNetworkReturns()
    {
        QVERIFY(m_network.send("offline"));
        m_server->setResponse("/user/balance", {.body = deepseekBody(3), .closeAfter = 0});
        start();
        QTRY_COMPARE(m_cycle->state().message, u"Netzwerkfehler"_s);
        m_server->setResponse("/user/balance", 200, deepseekBody(3));
        QVERIFY(m_network.send("online"));
        QTRY_COMPARE(m_cycle->state().title(), u"$ 3"_s);
        QCOMPARE(requests(), 2);
        // After a wake, with nothing told about the network, the short delay, not a minute.
        start({.wakeDelay = 10ms, .watchNetwork = false});
        QTRY_COMPARE(requests(), 3);
        QVERIFY(QDBusConnection::systemBus().registerService(u"org.freedesktop.login1"_s));
        QDBusConnection::systemBus().send(
            QDBusMessage::createSignal(u"/org/freedesktop/login1"_s,
                                       u"org.freedesktop.login1.Manager"_s, u"PrepareForSleep"_s)
            << false);
        QTRY_COMPARE(requests(), 4);
    }

    // A keyring that stalls past the bus time-out (an unlock prompt nobody answers, a stopped
    // daemon) never freezes the cycle: once it answers again, the balance follows without a
    // click.
    void keyringThatComesBack()
    {
        TEST_SESSION_REQUIRE(SecretService::Private);
        const qint64 keyring = TestSession::keyringPid();
        QVERIFY(keyring > 0 && ::kill(pid_t(keyring), SIGSTOP) == 0);
        auto resume = qScopeGuard([keyring] { ::kill(pid_t(keyring), SIGCONT); });
        start({.keyReadDeadline = 300ms});
        QTRY_COMPARE(m_cycle->state().kind, Kind::StoreUnavailable);
        QCOMPARE(m_cycle->state().message, u"Der Schlüsselbund antwortet nicht."_s);
        QVERIFY(!log().contains(u"for openrouter"_s)); // no prompt per provider
        QSignalSpy states(m_cycle.get(), &RefreshCycle::stateChanged);
        m_cycle->refresh(Trigger::User);
        QTRY_COMPARE(states.size(), 1); // answered again, not left waiting
        // The bus gives up on the call to the stopped daemon.
        QTRY_VERIFY_WITH_TIMEOUT(log().contains(u"unreadable"_s), 40000);
        QCOMPARE(requests(), 0);
        resume.dismiss();
        ::kill(pid_t(keyring), SIGCONT);
        QTRY_COMPARE_WITH_TIMEOUT(m_cycle->state().title(), u"$ 3"_s, 15000);
        QCOMPARE(requests(), 1);
    }

private:
    void start(RefreshCycle::Options options = {})
    {
        options.historyPath = historyPath();
        m_cycle = std::make_unique<RefreshCycle>(options);
        m_cycle->start();
    }
    int requests() const { return int(m_server->requests().size()); }
    int folded() const { return int(log().count(u"follows the query under way"_s)); }
    QString historyPath() const { return m_data->filePath(u"history.sqlite"_s); }

    QTemporaryDir m_config;
    std::optional<QTemporaryDir> m_data;
    TestSession::FakeDBusService m_network;
    std::unique_ptr<FakeProviderServer> m_server;
    std::unique_ptr<RefreshCycle> m_cycle;
};

QTEST_GUILESS_MAIN(TestRefreshCycle)
#include "TestRefreshCycle.moc"
