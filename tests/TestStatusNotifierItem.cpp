#include "app/AppDelegate.h"
#include "providers/ProviderClient.h"
#include "session/Autostart.h"
#include "store/Settings.h"
#include "tray/DBusTypes.h"
#include "tray/StatusNotifierItem.h"

#include "FakeProviderServer.h"
#include "TestSession.h"

#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using TestSession::SecretService;

namespace {

const QString watcherName = u"org.kde.StatusNotifierWatcher"_s;

} // namespace

// A StatusNotifierWatcher and host of the test's own, on a connection of its own: what the
// item registers, every property a host reads, the exported menu as a host first gets it,
// and what the host's clicks do.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"watcher"_s);
    QStringList registrations;
    QStringList signalsSeen;

    bool hostRegistered() const { return true; }
    QStringList items() const { return registrations; }
    int protocolVersion() const { return 0; }

    bool start()
    {
        if (bus.objectRegisteredAt(u"/StatusNotifierWatcher"_s) != this)
            bus.registerObject(u"/StatusNotifierWatcher"_s, this,
                               QDBusConnection::ExportAllSlots
                                   | QDBusConnection::ExportAllProperties);
        return bus.registerService(watcherName);
    }
    bool stop() { return bus.unregisterService(watcherName); }

    // Asked without blocking: the item answers from this same thread.
    QDBusMessage call(const QString &path, const QString &interface, const QString &method,
                      const QVariantList &args = {})
    {
        QDBusMessage message
            = QDBusMessage::createMethodCall(registrations.value(0), path, interface, method);
        message.setArguments(args);
        QDBusPendingCall pending = bus.asyncCall(message, 5000);
        (void)QTest::qWaitFor([&] { return pending.isFinished(); }, 6000);
        return pending.reply();
    }
    QVariantMap itemProperties()
    {
        const QDBusMessage reply
            = call(u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s, u"GetAll"_s,
                   {u"org.kde.StatusNotifierItem"_s});
        if (reply.type() != QDBusMessage::ReplyMessage)
            return {};
        return qdbus_cast<QVariantMap>(reply.arguments().value(0));
    }
    DBusMenuLayoutItem layout()
    {
        const QDBusMessage reply = call(u"/MenuBar"_s, u"com.canonical.dbusmenu"_s, u"GetLayout"_s,
                                        {0, -1, QStringList()});
        DBusMenuLayoutItem root;
        if (reply.type() == QDBusMessage::ReplyMessage)
            reply.arguments().value(1).value<QDBusArgument>() >> root;
        return root;
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service) { registrations << service; }
    void RegisterStatusNotifierHost(const QString &) { }
    void itemSignal(const QDBusMessage &message) { signalsSeen << message.member(); }
    // What a host that caches the menu hears of labels that change.
    void propertiesUpdated(const QDBusMessage &message)
    {
        DBusMenuItemList updated;
        message.arguments().value(0).value<QDBusArgument>() >> updated;
        for (const DBusMenuItem &item : updated) {
            if (item.properties.contains(u"label"_s))
                cachedLabels[item.id] = item.properties.value(u"label"_s).toString();
        }
    }

public:
    // The top-level labels as GNOME's AppIndicator extension keeps them: from each new layout
    // it takes only the items it has not seen; the others change only through
    // ItemsPropertiesUpdated.
    QMap<int, QString> cachedLabels;
    QMap<int, QString> labels()
    {
        QMap<int, QString> labels;
        for (const DBusMenuLayoutItem &item : layout().children)
            labels[item.id] = item.properties.value(u"label"_s).toString();
        return labels;
    }
    void cacheNewItems()
    {
        const QMap<int, QString> now = labels();
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            cachedLabels.insert(it.key(), cachedLabels.value(it.key(), it.value()));
    }
};

class TestStatusNotifierItem : public QObject
{
    Q_OBJECT
public:
    TestStatusNotifierItem() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void initTestCase() { registerDBusTypes(); }
    void init()
    {
        if (!TestSession::startFresh(m_config.path()) || !TestSession::has(SecretService::Shared))
            QSKIP("needs the session bus and keyring of scripts/test-session.sh");
        m_server = FakeProviderServer::standIn();
        QVERIFY(m_server);
        m_watcher = std::make_unique<Watcher>();
        QVERIFY(m_watcher->start());
    }
    void cleanup()
    {
        m_app.reset();
        m_watcher.reset();
        m_server.reset();
    }

    void registersAndAnswersEveryProperty()
    {
        launch();
        QTRY_COMPARE(m_watcher->registrations.size(), 1);
        QVERIFY(m_watcher->registrations[0].startsWith(u"org.kde.StatusNotifierItem-"_s));
        const QVariantMap p = m_watcher->itemProperties();
        for (const char *name : {"Category",
                                 "Id",
                                 "Title",
                                 "Status",
                                 "WindowId",
                                 "IconThemePath",
                                 "Menu",
                                 "ItemIsMenu",
                                 "IconName",
                                 "IconPixmap",
                                 "IconAccessibleDesc",
                                 "OverlayIconName",
                                 "OverlayIconPixmap",
                                 "AttentionIconName",
                                 "AttentionIconPixmap",
                                 "AttentionAccessibleDesc",
                                 "AttentionMovieName",
                                 "ToolTip",
                                 "XAyatanaLabel",
                                 "XAyatanaLabelGuide",
                                 "XAyatanaOrderingIndex"})
            QVERIFY2(p.contains(QLatin1String(name)), name);
        QCOMPARE(p[u"Id"_s].toString(), u"creditgauge"_s);
        QCOMPARE(p[u"Menu"_s].value<QDBusObjectPath>().path(), u"/MenuBar"_s);
        QCOMPARE(p[u"ItemIsMenu"_s].toBool(), false);
        DBusImageList icons;
        p[u"IconPixmap"_s].value<QDBusArgument>() >> icons;
        QVERIFY(!icons.isEmpty());
        for (const DBusImage &icon : std::as_const(icons))
            QCOMPARE(icon.pixels.size(), icon.width * icon.height * 4);

        // A panel that restarts brings a watcher that knows nothing of the item.
        QVERIFY(m_watcher->stop());
        m_watcher->registrations.clear();
        QVERIFY(m_watcher->start());
        QTRY_COMPARE(m_watcher->registrations.size(), 1);
    }

    void labelStatusAndDescriptionFollowTheTitle_data()
    {
        QTest::addColumn<double>("total");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("itemStatus");
        QTest::newRow("balance") << 1234.5 << u"$ 1.235"_s << u"Active"_s;
        QTest::newRow("low") << 1.5 << u"$ 2"_s << u"NeedsAttention"_s;
    }
    void labelStatusAndDescriptionFollowTheTitle()
    {
        QFETCH(double, total);
        QFETCH(QString, label);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(total));
        launch();
        QTRY_COMPARE(m_watcher->itemProperties().value(u"XAyatanaLabel"_s).toString(), label);
        const QVariantMap p = m_watcher->itemProperties();
        QTEST(p[u"Status"_s].toString(), "itemStatus");
        QCOMPARE(p[u"IconAccessibleDesc"_s].toString(),
                 u"CreditGauge, DeepSeek-Guthaben: "_s + label);
        DBusToolTip tip;
        p[u"ToolTip"_s].value<QDBusArgument>() >> tip;
        QCOMPARE(tip.title, u"CreditGauge · "_s + label);
        QVERIFY(tip.text.startsWith(u"DeepSeek-Guthaben\n"_s));
    }

    // Complete before any AboutToShow: Xfce opens its own menu over an empty one.
    void menuLayoutWithoutAboutToShow()
    {
        QVERIFY(Settings::setProvider(Provider::openrouter));
        launch();
        const auto rows = [this] {
            QStringList items;
            for (const DBusMenuLayoutItem &item : m_watcher->layout().children) {
                const QVariantMap &p = item.properties;
                QString row = p.value(u"type"_s).toString() == u"separator"_s
                    ? u"---"_s
                    : p.value(u"label"_s).toString();
                if (!p.value(u"enabled"_s, true).toBool())
                    row += u" (disabled)"_s;
                if (p.contains(u"shortcut"_s))
                    row += u" "_s
                        + qdbus_cast<DBusMenuShortcut>(p[u"shortcut"_s]).value(0).join(u'+');
                if (p.contains(u"toggle-type"_s))
                    row += u" "_s + p[u"toggle-type"_s].toString()
                        + QString::number(p[u"toggle-state"_s].toInt());
                for (const DBusMenuLayoutItem &child : item.children)
                    row += u" ["_s + child.properties[u"label"_s].toString() + u' '
                        + child.properties[u"toggle-type"_s].toString()
                        + QString::number(child.properties[u"toggle-state"_s].toInt()) + u']';
                items << row;
            }
            return items;
        };
        // The summary lines follow the key read; the layout is read until it has settled.
        QTRY_COMPARE(
            rows(),
            (QStringList {
                u"OpenRouter-Guthaben (disabled)"_s, u"$ – (disabled)"_s,
                u"Kein API-Key für OpenRouter hinterlegt. (disabled)"_s,
                u"Zuletzt abgefragt: – (disabled)"_s, u"---"_s, u"Aktualisieren Control+r"_s,
                u"Anbieter [DeepSeek radio0] [OpenRouter radio1] [Moonshot radio0]"_s, u"---"_s,
                u"Nach Updates suchen …"_s, u"---"_s, u"API-Key ändern …"_s, u"---"_s,
                u"Beim Anmelden starten checkmark0"_s, u"---"_s, u"Beenden Control+q"_s}));
    }

    // The summary grows from the no-key lines to the balance's: hosts that cache the items
    // they know must hear of the new labels of those too.
    void cachingHostSeesTheNewSummary()
    {
        launch();
        QTRY_VERIFY(m_watcher->labels().values().contains(u"Zuletzt abgefragt: –"_s));
        m_watcher->bus.connect(m_watcher->registrations[0], u"/MenuBar"_s,
                               u"com.canonical.dbusmenu"_s, u"ItemsPropertiesUpdated"_s,
                               m_watcher.get(), SLOT(propertiesUpdated(QDBusMessage)));
        m_watcher->cacheNewItems();
        const qsizetype items = m_watcher->cachedLabels.size();
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200,
                              R"({"balance_infos": [{"currency": "USD", "total_balance": 12.5,
                                  "topped_up_balance": 10, "granted_balance": 2.5}]})");
        m_app->cycle().refresh(RefreshCycle::Trigger::User);
        QTRY_VERIFY(m_watcher->labels().size() > items);
        m_watcher->cacheNewItems();
        QCOMPARE(m_watcher->cachedLabels, m_watcher->labels());
    }

    void menuEventsAct()
    {
        launch();
        QTRY_VERIFY(m_watcher->layout().children.size() > 8);
        m_watcher->bus.connect(m_watcher->registrations[0], u"/MenuBar"_s,
                               u"com.canonical.dbusmenu"_s, u"ItemsPropertiesUpdated"_s,
                               m_watcher.get(), SLOT(itemSignal(QDBusMessage)));
        const DBusMenuLayoutItem root = m_watcher->layout();
        const auto find = [&root](const QString &label) {
            std::optional<int> found;
            const std::function<void(const DBusMenuLayoutItem &)> walk = [&](const auto &item) {
                if (item.properties.value(u"label"_s).toString() == label)
                    found = item.id;
                for (const DBusMenuLayoutItem &child : item.children)
                    walk(child);
            };
            walk(root);
            return found.value_or(-1);
        };

        m_watcher->call(
            u"/MenuBar"_s, u"com.canonical.dbusmenu"_s, u"Event"_s,
            {find(u"Moonshot"_s), u"clicked"_s, QVariant::fromValue(QDBusVariant(QString())), 0u});
        QTRY_COMPARE(Settings::provider(), Provider::moonshot);
        QTRY_VERIFY(m_watcher->signalsSeen.contains(u"ItemsPropertiesUpdated"_s));

        // The host draws the check mark from the exported state, which follows the click.
        const int autostart = find(u"Beim Anmelden starten"_s);
        const auto autostartState = [this, autostart] {
            for (const DBusMenuLayoutItem &item : m_watcher->layout().children) {
                if (item.id == autostart)
                    return item.properties.value(u"toggle-state"_s).toInt();
            }
            return -1;
        };
        QCOMPARE(autostartState(), 0);
        m_watcher->call(
            u"/MenuBar"_s, u"com.canonical.dbusmenu"_s, u"Event"_s,
            {autostart, u"clicked"_s, QVariant::fromValue(QDBusVariant(QString())), 0u});
        QTRY_VERIFY(QFile::exists(Autostart::entryPath()));
        QTRY_COMPARE(autostartState(), 1);
        QVERIFY(QFile::remove(Autostart::entryPath()));

        // The real program quits on it (tests/e2e); here the item that quits is what counts.
        QAction *quit = m_app->menu()->actions().constLast();
        QCOMPARE(quit->text(), u"Beenden"_s);
        QSignalSpy quitting(quit, &QAction::triggered);
        m_watcher->call(
            u"/MenuBar"_s, u"com.canonical.dbusmenu"_s, u"Event"_s,
            {find(u"Beenden"_s), u"clicked"_s, QVariant::fromValue(QDBusVariant(QString())), 0u});
        QTRY_COMPARE(quitting.size(), 1);
    }

    // Activate opens the panel where the host says; while it is open no tooltip covers it.
    void activateOpensThePanelWithoutTooltip()
    {
        launch();
        QTRY_COMPARE(m_watcher->registrations.size(), 1);
        m_watcher->call(u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s, u"Activate"_s,
                        {400, 30});
        QTRY_VERIFY(m_app->popover()->isShown());
        const QRect panel = m_app->popover()->geometry();
        QVERIFY2(panel.top() >= 31 && panel.left() <= 400 && panel.right() >= 400,
                 qPrintable(u"%1,%2 %3x%4"_s.arg(panel.x())
                                .arg(panel.y())
                                .arg(panel.width())
                                .arg(panel.height())));
        DBusToolTip tip;
        m_watcher->itemProperties()[u"ToolTip"_s].value<QDBusArgument>() >> tip;
        QVERIFY(tip.title.isEmpty() && tip.text.isEmpty());
        QVERIFY(m_watcher->itemProperties()[u"Title"_s].toString().isEmpty());
        m_watcher->call(u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s, u"Activate"_s,
                        {400, 30});
        QTRY_VERIFY(!m_app->popover()->isShown());
        QTRY_COMPARE(m_watcher->itemProperties()[u"Title"_s].toString(), u"CreditGauge"_s);
    }

    // Any program on the bus may hand over tokens: only the newest of a sane length reaches Qt,
    // and only while an Activate opens the panel. The others never enter the environment,
    // where each value set would stay in memory for good.
    void activationTokenOnlyForTheActivate_data()
    {
        QTest::addColumn<QStringList>("tokens");
        QTest::addColumn<QByteArray>("atActivate");
        QStringList many;
        for (int i = 0; i < 100; ++i)
            many << u"token-%1"_s.arg(i);
        QTest::newRow("the newest of many") << many << QByteArray("token-99");
        QTest::newRow("an over-long one refused")
            << QStringList {u"token-0"_s, QString(1025, u'x')} << QByteArray();
    }
    void activationTokenOnlyForTheActivate()
    {
        QFETCH(QStringList, tokens);
        StatusNotifierItem item;
        QTRY_COMPARE(m_watcher->registrations.size(), 1);
        QByteArray atActivate = "(not clicked)";
        connect(&item, &StatusItem::clicked, this,
                [&atActivate] { atActivate = qgetenv("XDG_ACTIVATION_TOKEN"); });
        const QString itemInterface = u"org.kde.StatusNotifierItem"_s;
        for (const QString &token : std::as_const(tokens)) {
            m_watcher->call(u"/StatusNotifierItem"_s, itemInterface, u"ProvideXdgActivationToken"_s,
                            {token});
            QVERIFY(!qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN"));
        }
        m_watcher->call(u"/StatusNotifierItem"_s, itemInterface, u"Activate"_s, {0, 0});
        QTEST(atActivate, "atActivate");
        QVERIFY(!qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN"));
    }

private:
    void launch()
    {
        m_app = std::make_unique<AppDelegate>(std::make_unique<StatusNotifierItem>(),
                                              RefreshCycle::Options {.watchNetwork = false});
        m_app->applicationDidFinishLaunching();
    }

    QTemporaryDir m_config;
    std::unique_ptr<FakeProviderServer> m_server;
    std::unique_ptr<Watcher> m_watcher;
    std::unique_ptr<AppDelegate> m_app;
};

QTEST_MAIN(TestStatusNotifierItem)
#include "TestStatusNotifierItem.moc"
