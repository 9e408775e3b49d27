#include "history/BalanceHistory.h"
#include "notify/LowBalanceNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

// The desktop's notification service, played by the test on a connection of its own.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown
    {
        QString appName, summary, body;
        QStringList actions;
        QVariantMap hints;
    };
    QList<Shown> shown;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake"_s);

    bool start()
    {
        return bus.registerObject(u"/org/freedesktop/Notifications"_s, this,
                                  QDBusConnection::ExportAllSlots)
            && bus.registerService(u"org.freedesktop.Notifications"_s);
    }
    ~FakeNotifications() override
    {
        bus.unregisterService(u"org.freedesktop.Notifications"_s);
        QDBusConnection::disconnectFromBus(u"fake"_s);
    }
    void invoke(uint id, const QString &action)
    {
        QDBusMessage signal
            = QDBusMessage::createSignal(u"/org/freedesktop/Notifications"_s,
                                         u"org.freedesktop.Notifications"_s, u"ActionInvoked"_s);
        signal << id << action;
        bus.send(signal);
    }

public Q_SLOTS:
    uint Notify(const QString &appName, uint, const QString &, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int)
    {
        shown.append({appName, summary, body, actions, hints});
        return uint(shown.size()) + 100;
    }
};

namespace {

Balance usd(double total)
{
    return {u"USD"_s, total, {}};
}

std::optional<SpendingForecast> lasting(double days)
{
    if (days < 0)
        return std::nullopt;
    return SpendingForecast {u"USD"_s, 1.0, days};
}

} // namespace

// The low-balance rules against a notification service of the test's own, on the private
// session bus of scripts/test-session.sh.
class TestLowBalanceNotifier : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("needs a session bus (scripts/test-session.sh)");
        m_dir.emplace();
        m_history.emplace(m_dir->filePath(u"history.sqlite"_s));
        m_server.emplace();
        QVERIFY(m_server->start());
        m_notifier.emplace(*m_history);
    }
    void cleanup()
    {
        m_notifier.reset();
        m_server.reset();
        m_history.reset();
    }

    // Each balance in turn, as the user sees it; which of them brought a notification.
    void onceUntilItRecovers_data()
    {
        QTest::addColumn<QList<double>>("totals");
        QTest::addColumn<QList<double>>("daysLeft"); // -1: no forecast
        QTest::addColumn<QStringList>("summaries"); // one per balance, empty: none
        const QString low = u"DeepSeek-Guthaben niedrig"_s,
                      soon = u"DeepSeek-Guthaben bald aufgebraucht"_s;
        QTest::newRow("falls, stays, recovers, falls again")
            << QList<double> {5, 1.5, 1.2, 2.5, 1.0} << QList<double> {-1, -1, -1, -1, -1}
            << QStringList {{}, low, {}, {}, low};
        QTest::newRow("low from the first balance")
            << QList<double> {1.5, 1.0} << QList<double> {-1, -1} << QStringList {low, {}};
        QTest::newRow("forecast under three days, again after three or more")
            << QList<double> {30, 20, 18, 40, 15} << QList<double> {10, 2.5, 2, 5, 2.9}
            << QStringList {{}, soon, {}, {}, soon};
        QTest::newRow("no forecast keeps the state")
            << QList<double> {30, 20, 19} << QList<double> {2.5, -1, 2}
            << QStringList {soon, {}, {}};
        QTest::newRow("minus infinity is no amount")
            << QList<double> {5, -qInf(), 1.5} << QList<double> {-1, -1, -1}
            << QStringList {{}, {}, low};
        QTest::newRow("both at once: one notification")
            << QList<double> {30, 1.5, 1.2} << QList<double> {10, 1, 0.5}
            << QStringList {{}, low, {}};
    }
    void onceUntilItRecovers()
    {
        QFETCH(QList<double>, totals);
        QFETCH(QList<double>, daysLeft);
        QFETCH(QStringList, summaries);
        QStringList seen;
        for (qsizetype i = 0; i < totals.size(); ++i) {
            const qsizetype before = m_server->shown.size();
            m_notifier->balanceShown(Provider::deepseek, usd(totals[i]), lasting(daysLeft[i]));
            QTest::qWait(50);
            QTRY_VERIFY(m_server->shown.size() <= before + 1);
            seen << (m_server->shown.size() > before ? m_server->shown.last().summary : QString());
        }
        QTRY_COMPARE(seen, summaries);
    }

    void whatItSaysAndOffers()
    {
        m_notifier->balanceShown(Provider::deepseek, usd(1.5),
                                 SpendingForecast {u"USD"_s, 1.2, 1.25});
        QTRY_COMPARE(m_server->shown.size(), 1);
        const FakeNotifications::Shown &n = m_server->shown.first();
        QCOMPARE(n.appName, u"CreditGauge"_s);
        QCOMPARE(n.body,
                 u"Noch $ 1,50, weniger als $ 2,00.\n≈ $ 1,20 pro Tag · reicht noch ≈ 1 Tag"_s);
        QCOMPARE(n.actions,
                 (QStringList {u"default"_s, u"Guthaben aufladen"_s, u"top-up"_s,
                               u"Guthaben aufladen"_s}));
        QCOMPARE(n.hints.value(u"desktop-entry"_s).toString(), u"creditgauge"_s);
    }

    void actionOpensTheProvidersPage_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QString>("page");
        QTest::newRow("deepseek") << u"deepseek"_s << u"https://platform.deepseek.com/top_up"_s;
        QTest::newRow("openrouter")
            << u"openrouter"_s << u"https://openrouter.ai/settings/credits"_s;
        QTest::newRow("moonshot") << u"moonshot"_s << u"https://platform.moonshot.ai/console/pay"_s;
    }
    void actionOpensTheProvidersPage()
    {
        QFETCH(QString, provider);
        QList<QUrl> opened;
        m_notifier->openUrl = [&opened](const QUrl &url) {
            opened << url;
        };
        m_notifier->balanceShown(*Provider::fromRawValue(provider), usd(1), std::nullopt);
        QTRY_COMPARE(m_server->shown.size(), 1);
        QTest::qWait(100); // the id has come back
        m_server->invoke(999, u"top-up"_s); // someone else's notification
        m_server->invoke(101, u"top-up"_s);
        QTRY_COMPARE(opened.size(), 1);
        QTEST(opened.first().toString(), "page");
        m_server->invoke(101, u"default"_s); // a click on the notification itself
        QTRY_COMPARE(opened.size(), 2);
    }

    // What was said survives a restart: the next process does not say it again.
    void restartDoesNotRepeat()
    {
        m_notifier->balanceShown(Provider::moonshot, usd(1), std::nullopt);
        QTRY_COMPARE(m_server->shown.size(), 1);
        m_notifier.reset();
        m_history.emplace(m_dir->filePath(u"history.sqlite"_s));
        LowBalanceNotifier next(*m_history);
        next.balanceShown(Provider::moonshot, usd(0.5), std::nullopt);
        QTest::qWait(200);
        QCOMPARE(m_server->shown.size(), 1);
    }

    void noServiceNoNoise()
    {
        m_server.reset();
        QTest::failOnWarning(QRegularExpression(u".*"_s));
        m_notifier->balanceShown(Provider::deepseek, usd(1), lasting(1));
        QTest::qWait(300);
    }

private:
    std::optional<QTemporaryDir> m_dir;
    std::optional<BalanceHistory> m_history;
    std::optional<FakeNotifications> m_server;
    std::optional<LowBalanceNotifier> m_notifier;
};

QTEST_GUILESS_MAIN(TestLowBalanceNotifier)
#include "TestLowBalanceNotifier.moc"
