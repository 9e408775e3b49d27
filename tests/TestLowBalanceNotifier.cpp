#include "history/BalanceHistory.h"
#include "notify/LowBalanceNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

const QString path = u"/org/freedesktop/Notifications"_s, name = u"org.freedesktop.Notifications"_s;

// The desktop's notification service, played by the test on a connection of its own.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList shown; // summary, body, actions and desktop-entry of each, one line apiece
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake"_s);

    ~FakeNotifications() override
    {
        bus.unregisterService(name);
        QDBusConnection::disconnectFromBus(u"fake"_s);
    }
    void invoke(uint id, const QString &action)
    {
        bus.send(QDBusMessage::createSignal(path, name, u"ActionInvoked"_s) << id << action);
    }

public Q_SLOTS:
    uint Notify(const QString &appName, uint, const QString &, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int)
    {
        shown.append(QStringList {appName, summary, body, actions.join(u','),
                                  hints.value(u"desktop-entry"_s).toString()}
                         .join(u'|'));
        return uint(shown.size()) + 100;
    }
    void Sync() { }
};

// The low-balance rules against a notification service of the test's own, on the private
// session bus of scripts/test-session.sh.
class TestLowBalanceNotifier : public QObject
{
    Q_OBJECT
    std::optional<QTemporaryDir> m_dir;
    std::optional<BalanceHistory> m_history;
    std::optional<FakeNotifications> m_server;
    std::optional<LowBalanceNotifier> m_notifier;

    // A balance in USD, with a forecast of daysLeft at 1.20 a day when that is not negative;
    // returns once the service has heard what the notifier sent for it, and the notifier its
    // answer: a call on the notifier's connection is answered after the calls before it.
    void show(const Account &account, double total, double daysLeft = -1)
    {
        const auto forecast = SpendingForecast {u"USD"_s, 1.2, daysLeft};
        m_notifier->balanceShown(account, {u"USD"_s, total, {}},
                                 daysLeft < 0 ? std::nullopt : std::optional(forecast));
        QDBusPendingCallWatcher sync(QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(name, path, name, u"Sync"_s)));
        QVERIFY(QSignalSpy(&sync, &QDBusPendingCallWatcher::finished).wait());
    }

private Q_SLOTS:
    void init()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("needs a session bus (scripts/test-session.sh)");
        m_dir.emplace();
        m_history.emplace(m_dir->filePath(u"history.sqlite"_s));
        m_server.emplace();
        QVERIFY(m_server->bus.registerObject(path, &*m_server, QDBusConnection::ExportAllSlots)
                && m_server->bus.registerService(name));
        m_notifier.emplace(*m_history);
    }
    void cleanup()
    {
        m_notifier.reset();
        m_server.reset();
        m_history.reset();
    }

    // Each balance in turn ("TOTAL" or "TOTAL/DAYS_LEFT"; "off" and "on" switch notifications);
    // which brought a notification: L low, S running out, . none.
    void onceUntilItRecovers_data()
    {
        QTest::addColumn<QString>("row");
        for (const char *row : {"5 1.5 1.2 2.5 1 -> .L..L", // falls, stays, recovers, falls again
                                "30/10 20/2.5 18/2 40/5 15/2.9 -> .S..S", // under three days
                                "30/2.5 20 19/2 -> S..", // no forecast keeps the state
                                "5 -inf 1.5 -> ..L", // minus infinity is no amount
                                "30/10 1.5/1 1.2/0.5 -> .L.", // both at once: one
                                "5 off 1.5 on 1.2 2.5 1 -> ....L"}) // silenced, not repeated
            QTest::newRow(row) << QString::fromLatin1(row);
    }
    void onceUntilItRecovers()
    {
        QFETCH(QString, row);
        QString seen;
        for (const QString &balance : row.section(u" -> "_s, 0, 0).split(u' ')) {
            if (balance == u"on" || balance == u"off") {
                m_notifier->setEnabled(balance == u"on");
                continue;
            }
            const qsizetype before = m_server->shown.size();
            show(Account::first(Provider::deepseek), balance.section(u'/', 0, 0).toDouble(),
                 balance.contains(u'/') ? balance.section(u'/', 1).toDouble() : -1);
            QVERIFY(m_server->shown.size() <= before + 1);
            seen += m_server->shown.size() == before            ? u'.'
                : m_server->shown.last().contains(u"niedrig"_s) ? u'L'
                                                                : u'S';
        }
        QCOMPARE(seen, row.section(u" -> "_s, 1));
    }

    // What it says and offers; its action opens the provider's page.
    void notification()
    {
        QList<QUrl> opened;
        m_notifier->openUrl = [&opened](const QUrl &url) {
            opened << url;
        };
        show(Account::first(Provider::openrouter), 1.5, 1.25);
        QCOMPARE(m_server->shown.size(), 1);
        QCOMPARE(m_server->shown.first(),
                 u"CreditGauge|OpenRouter-Guthaben niedrig|Noch $ 1,50, weniger als $ 2,00.\n"
                 "≈ $ 1,20 pro Tag · reicht noch ≈ 1 Tag|default,Guthaben aufladen,top-up,"
                 "Guthaben aufladen|io.github.creditgauge.CreditGauge"_s);
        m_server->invoke(999, u"top-up"_s); // someone else's notification
        m_server->invoke(101, u"top-up"_s);
        QTRY_COMPARE(opened, QList<QUrl> {QUrl(u"https://openrouter.ai/settings/credits"_s)});
        m_server->invoke(101, u"default"_s); // a click on the notification itself
        QTRY_COMPARE(opened.size(), 2);
        // The page of the platform whose balance it tells, whichever is chosen by then; low
        // under the account's own mark. A second account at the provider is told of on its own.
        show({u"moonshot"_s, Provider::moonshot, {}, MoonshotRegion::china, 20}, 15);
        QVERIFY(m_server->shown.last().contains(u"Noch $ 15,00, weniger als $ 20,00."_s));
        m_server->invoke(102, u"top-up"_s);
        QTRY_COMPARE(opened.last().host(), u"platform.moonshot.cn"_s);
        show({u"moonshot-2"_s, Provider::moonshot, u"Arbeit"_s, {}, 20}, 15);
        QVERIFY(m_server->shown.last().contains(u"|Moonshot-Guthaben niedrig (Arbeit)|"_s));
    }
};

QTEST_GUILESS_MAIN(TestLowBalanceNotifier)
#include "TestLowBalanceNotifier.moc"
