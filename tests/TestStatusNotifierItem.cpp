#include "app/AppDelegate.h"
#include "tray/DBusTypes.h"
#include "tray/StatusNotifierItem.h"

#include "FakeProviderServer.h"
#include "TestSession.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

// A StatusNotifierWatcher and host of the test's own, on a connection of its own.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
public:
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"watcher"_s);
    QStringList registrations;
    uint revision = 0; // of the last layout
    QMap<int, QString> shown; // GNOME keeps an item's label until ItemsPropertiesUpdated

    // Asked without blocking: the item answers from this same thread.
    QDBusMessage call(const QString &method, const QVariantList &args = {})
    {
        const bool menu = method == u"GetLayout" || method == u"Event";
        QDBusMessage message = QDBusMessage::createMethodCall(
            registrations.value(0), menu ? u"/MenuBar"_s : u"/StatusNotifierItem"_s,
            menu ? u"com.canonical.dbusmenu"_s : QString(), method);
        message.setArguments(args);
        QDBusPendingCall pending = bus.asyncCall(message, 5000);
        (void)QTest::qWaitFor([&] { return pending.isFinished(); }, 6000);
        return pending.reply();
    }
    QVariantMap properties()
    {
        return qdbus_cast<QVariantMap>(
            call(u"GetAll"_s, {u"org.kde.StatusNotifierItem"_s}).arguments().value(0));
    }
    // The whole menu, or one submenu; its revision kept.
    DBusMenuLayoutItem layout(int parent = 0)
    {
        const QDBusMessage reply = call(u"GetLayout"_s, {parent, -1, QStringList()});
        revision = reply.arguments().value(0).toUInt();
        return qdbus_cast<DBusMenuLayoutItem>(reply.arguments().value(1));
    }
    QMap<int, QString> labels() // by id, as GNOME's extension shows them
    {
        QMap<int, QString> labels;
        for (const DBusMenuLayoutItem &item : layout().children)
            labels[item.id] = shown.value(item.id, item.properties.value(u"label"_s).toString());
        return shown = labels;
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service) { registrations << service; }
    void RegisterStatusNotifierHost(const QString &) { }
    void ItemsPropertiesUpdated(const QDBusMessage &signal)
    {
        for (const DBusMenuItem &item : qdbus_cast<DBusMenuItemList>(signal.arguments().value(0)))
            shown[item.id] = item.properties.value(u"label"_s).toString();
    }
};

// The StatusNotifierItem and its exported menu, as the watcher and host above see them.
class TestStatusNotifierItem : public QObject
{
    Q_OBJECT
public:
    TestStatusNotifierItem() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void initTestCase()
    {
        registerDBusTypes();
        if (!TestSession::startFresh(m_config.path())
            || !TestSession::has(TestSession::SecretService::Shared))
            QSKIP("needs the session bus and keyring of scripts/test-session.sh");
    }

    // Complete before any AboutToShow: Xfce opens its own menu over an empty one. Label, status
    // and the menu follow the state, from a missing key (an alarm) to a balance, each new layout
    // with a new revision. The icon, the clicks, a panel that restarts: the tray hosts' run.
    void whatAHostShows()
    {
        const std::unique_ptr<FakeProviderServer> server = FakeProviderServer::standIn();
        QVERIFY(server);
        Watcher watcher;
        QVERIFY(watcher.bus.registerObject(u"/StatusNotifierWatcher"_s, &watcher,
                                           QDBusConnection::ExportAllSlots)
                && watcher.bus.registerService(u"org.kde.StatusNotifierWatcher"_s)
                && watcher.bus.connect({}, {}, {}, u"ItemsPropertiesUpdated"_s, &watcher,
                                       SLOT(ItemsPropertiesUpdated(QDBusMessage))));
        AppDelegate app(std::make_unique<StatusNotifierItem>(),
                        RefreshCycle::Options {.watchNetwork = false});
        app.applicationDidFinishLaunching();
        QTRY_VERIFY(watcher.labels().values().contains(u"Kein API-Key für DeepSeek hinterlegt."_s));
        QVERIFY(watcher.labels().values().contains(u"Beenden"_s));
        QCOMPARE(watcher.registrations.value(0), QDBusConnection::sessionBus().baseService());
        const qsizetype items = watcher.labels().size();
        const uint revision = watcher.revision;
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        server->setResponse("/user/balance", 200,
                            R"({"balance_infos": [{"currency": "USD", "total_balance": 1234.5,
                                  "topped_up_balance": 1000, "granted_balance": 234.5}]})");
        app.cycle().refresh(RefreshCycle::Trigger::User);
        QTRY_COMPARE(watcher.properties().value(u"XAyatanaLabel"_s).toString(), u"$ 1.235"_s);
        QTRY_VERIFY(watcher.labels().key(u"$ 1.234,50"_s) > 0 && watcher.shown.size() > items);
        QCOMPARE_GT(watcher.revision, revision);

        // Attention for a fall below the low mark, until the menu opens; not for the next one.
        const auto statusAfter = [&](double total, const QString &label) {
            server->setResponse("/user/balance", 200, deepseekBody(total));
            app.cycle().refresh(RefreshCycle::Trigger::User);
            (void)QTest::qWaitFor([&] { return watcher.properties()[u"XAyatanaLabel"_s] == label; });
            return watcher.properties()[u"Status"_s].toString();
        };
        QCOMPARE(statusAfter(1.5, u"$ 2"_s), u"NeedsAttention"_s);
        watcher.call(u"Event"_s, {0, u"opened"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
        QCOMPARE(watcher.properties()[u"Status"_s].toString(), u"Active"_s);
        QCOMPARE(statusAfter(1.25, u"$ 1"_s), u"Active"_s);

        // Moonshot's region, only while Moonshot is chosen: two radio items; a click stores one.
        const int menu = watcher.labels().key(u"Moonshot-Region"_s);
        const auto regions = [&] {
            const DBusMenuLayoutItem layout = watcher.layout(menu);
            QString seen = layout.properties.value(u"visible"_s, true).toString();
            for (const DBusMenuLayoutItem &item : layout.children)
                for (const QString &name : {u"label"_s, u"toggle-type"_s, u"toggle-state"_s})
                    seen += u' ' + item.properties[name].toString();
            return seen;
        };
        QCOMPARE(regions(), u"false International radio 1 China radio 0"_s);
        app.cycle().selectProvider(Provider::moonshot);
        QTRY_COMPARE(regions(), u"true International radio 1 China radio 0"_s);
        const int china = watcher.layout(menu).children.value(1).id;
        watcher.call(u"Event"_s, {china, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
        QTRY_COMPARE(regions(), u"true International radio 0 China radio 1"_s);
        QCOMPARE(app.cycle().moonshotRegion(), MoonshotRegion::china);

        watcher.call(u"ProvideXdgActivationToken"_s, {u"token"_s});
        watcher.call(u"Activate"_s, {0, 0}); // the token is in the environment only meanwhile
        QVERIFY(qgetenv("XDG_ACTIVATION_TOKEN").isEmpty());
    }

private:
    QTemporaryDir m_config;
};

QTEST_MAIN(TestStatusNotifierItem)
#include "TestStatusNotifierItem.moc"
