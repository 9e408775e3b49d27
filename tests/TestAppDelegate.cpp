#include "app/AppDelegate.h"
#include "providers/ProviderClient.h"
#include "store/KeyStore.h"
#include "store/Settings.h"
#include "ui/BalanceViewController.h"

#include "FakeProviderServer.h"
#include "RecordingStatusItem.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Title = RecordingStatusItem::Title;

Q_DECLARE_METATYPE(Title)

namespace {

const QString noAmount = u"$ –"_s;

QByteArray deepseekBody(double total, const QString &currency = u"USD"_s)
{
    return u"{\"balance_infos\": [{\"currency\": \"%1\", \"total_balance\": %2}]}"_s.arg(currency)
        .arg(total)
        .toUtf8();
}

bool withSecretService()
{
    return qEnvironmentVariable("CREDITGAUGE_TEST_SECRET_SERVICE") != "none"_L1;
}

bool storeKey(const QString &key, const QString &account)
{
    std::optional<bool> saved;
    KeyStore::save(key, account, [&saved](bool ok) { saved = ok; });
    return QTest::qWaitFor([&] { return saved.has_value(); }, 10000) && *saved;
}

std::optional<QString> storedKey(const QString &account)
{
    std::optional<std::optional<QString>> answer;
    KeyStore::read(account, [&answer](std::optional<QString> key) { answer = key; });
    return QTest::qWaitFor([&] { return answer.has_value(); }, 10000) ? *answer : std::nullopt;
}

QAction *action(QMenu *menu, const QString &text)
{
    for (QAction *a : menu->actions()) {
        if (a->text() == text)
            return a;
    }
    return nullptr;
}

QStringList checked(QMenu *menu)
{
    QStringList marked;
    for (const QAction *a : action(menu, u"Anbieter"_s)->menu()->actions()) {
        if (a->isChecked())
            marked << a->text();
    }
    return marked;
}

QMessageBox *visibleMessageBox()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box;
    }
    return nullptr;
}

} // namespace

// The controller against real parts: fake providers on loopback, the secret service and the
// stand-in system bus of the test session, settings in a temporary folder. Only the tray is a
// stand-in; tests/e2e/tray_app.sh drives the real one.
class TestAppDelegate : public QObject
{
    Q_OBJECT
public:
    TestAppDelegate() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void init()
    {
        if (withSecretService() && qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("needs the secret service of scripts/test-session.sh");
        QFile::remove(m_config.path() + u"/creditgauge/creditgauge.conf"_s);
        for (const Provider p : Provider::allCases()) {
            if (withSecretService())
                QProcess::execute(
                    u"secret-tool"_s,
                    {u"clear"_s, u"server"_s, u"creditgauge"_s, u"user"_s, p.keychainAccount()});
        }
        m_server = std::make_unique<FakeProviderServer>();
        QVERIFY(m_server->listen());
        ProviderClient::setTransportForTesting(m_server->transport(5s));
    }
    void cleanup()
    {
        m_app.reset();
        for (QWidget *w : QApplication::topLevelWidgets())
            delete qobject_cast<QDialog *>(w);
        m_server.reset();
    }

    void launchWithoutKeyShowsNoKeyAndAsksNothing()
    {
        launch();
        QCOMPARE(m_item->titles.value(0), (Title {noAmount, false}));
        QTRY_COMPARE(m_item->lastTitle(), (Title {noAmount, true}));
        QCOMPARE(m_app->content()->statusText(), u"Kein API-Key für DeepSeek hinterlegt."_s);
        QVERIFY(m_item->toolTip.contains(m_app->content()->statusText()));
        QTest::qWait(100);
        QCOMPARE(requests(), 0);
        QVERIFY(!m_app->keyDialog() && !m_app->popover()->isShown());
        // The periodic refresh first fires one interval after launch.
        QCOMPARE(m_app->refreshTimer().intervalAsDuration(), 1800s);
        QVERIFY(m_app->refreshTimer().remainingTimeAsDuration() > 1790s);
    }

    void balanceSetsTitleAndAlarm_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Title>("title");
        QTest::newRow("2.0 is not low") << deepseekBody(2.0) << Title {u"$ 2"_s, false};
        QTest::newRow("1.5 rounds up, still low") << deepseekBody(1.5) << Title {u"$ 2"_s, true};
        QTest::newRow("negative") << deepseekBody(-3) << Title {u"$ -3"_s, true};
        QTest::newRow("yuan") << deepseekBody(120.4, u"CNY"_s) << Title {u"¥ 120"_s, false};
        QTest::newRow("low in any currency")
            << deepseekBody(1.5, u"CNY"_s) << Title {u"¥ 2"_s, true};
    }
    void balanceSetsTitleAndAlarm()
    {
        QFETCH(QByteArray, body);
        QFETCH(Title, title);
        QVERIFY(storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, body);
        launch();
        QTRY_COMPARE(m_item->lastTitle(), title);
        QCOMPARE(m_server->requests().value(0).header("Authorization"),
                 std::optional<QByteArray>("Bearer sk-test"));
        QVERIFY(m_item->toolTip.contains(title.text));
    }

    void clickTogglesPanelAndRefreshes()
    {
        QVERIFY(storeKey(u"sk-test"_s, u"api-key"_s));
        FakeProviderServer::Response slow {.body = deepseekBody(5), .delay = 400ms};
        m_server->setResponse("/user/balance", slow);
        launch();
        QTRY_COMPARE(m_item->lastTitle().text, u"$ 5"_s);

        m_item->click();
        QVERIFY(m_app->popover()->isShown());
        QTRY_COMPARE(m_app->content()->statusText(), u"Lade …"_s);
        QTRY_COMPARE(m_app->content()->statusText(), u"Alles in Ordnung."_s);
        m_item->click();
        QVERIFY(!m_app->popover()->isShown());
        QTRY_COMPARE(requests(), 3);
        QTest::qWait(100); // a refresh with the panel closed shows no loading state
        QCOMPARE(m_app->content()->statusText(), u"Alles in Ordnung."_s);

        openMenu(); // the menu neither toggles the panel nor refreshes
        QTest::qWait(500);
        QVERIFY(!m_app->popover()->isShown());
        QCOMPARE(requests(), 3);
    }

    void menuContentsAndCheckMark_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("checked");
        QTest::newRow("nothing stored") << QByteArray() << u"DeepSeek"_s;
        QTest::newRow("openrouter")
            << QByteArray("[General]\nprovider=openrouter\n") << u"OpenRouter"_s;
        QTest::newRow("unknown value")
            << QByteArray("[General]\nprovider=Moonshot\n") << u"DeepSeek"_s;
    }
    void menuContentsAndCheckMark()
    {
        QFETCH(QByteArray, settings);
        if (!settings.isEmpty()) {
            QDir().mkpath(m_config.path() + u"/creditgauge"_s);
            QFile f(m_config.path() + u"/creditgauge/creditgauge.conf"_s);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(settings) > 0);
        }
        launch();
        QMenu *menu = openMenu();
        QStringList items;
        for (const QAction *a : menu->actions())
            items << (a->isSeparator() ? u"---"_s : a->text() + a->shortcut().toString());
        QCOMPARE(items,
                 (QStringList {u"AktualisierenCtrl+R"_s, u"Anbieter"_s, u"---"_s,
                               u"Nach Updates suchen …"_s, u"---"_s, u"API-Key ändern …"_s,
                               u"---"_s, u"BeendenCtrl+Q"_s}));
        QStringList names;
        for (const QAction *a : action(menu, u"Anbieter"_s)->menu()->actions())
            names << a->text();
        QCOMPARE(names, (QStringList {u"DeepSeek"_s, u"OpenRouter"_s, u"Moonshot"_s}));
        QFETCH(QString, checked);
        QCOMPARE(::checked(menu), QStringList {checked});
        QCOMPARE(openMenu()->actions().size(), items.size()); // rebuilt, not doubled
        QCOMPARE(menu->findChildren<QMenu *>().size(), 1); // nor the submenu piling up
    }

    void pickingProviderStoresItAndKeepsTheTimer()
    {
        QVERIFY(storeKey(u"sk-moon"_s, u"api-key-moonshot"_s));
        m_server->setResponse("/v1/users/me/balance", 200,
                              R"({"code": 0, "data": {"available_balance": 42}})");
        launch();
        QTRY_COMPARE(m_item->lastTitle(), (Title {noAmount, true})); // no DeepSeek key
        const auto before = m_app->refreshTimer().remainingTimeAsDuration();
        QTest::qWait(1100);

        action(action(openMenu(), u"Anbieter"_s)->menu(), u"Moonshot"_s)->trigger();
        QCOMPARE(Settings::provider(), Provider::moonshot);
        QCOMPARE(m_app->content()->titleText(), u"Moonshot-Guthaben"_s);
        QTRY_COMPARE(m_item->lastTitle(), (Title {u"$ 42"_s, false}));
        QCOMPARE(checked(openMenu()), QStringList {u"Moonshot"_s});
        // Neither a switch nor a saved key restarts the 30-minute period.
        QVERIFY(storeKey(u"sk-moon-2"_s, u"api-key-moonshot"_s));
        QVERIFY(m_app->refreshTimer().remainingTimeAsDuration() < before - 1s);
    }

    void answersApplyInArrivalOrderAndFailuresShowAsExclamation()
    {
        QVERIFY(storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(1));
        launch();
        QTRY_COMPARE(m_item->lastTitle().text, u"$ 1"_s);

        m_server->setResponse("/user/balance", {.body = deepseekBody(10), .delay = 600ms});
        action(openMenu(), u"Aktualisieren"_s)->trigger();
        QTRY_COMPARE(requests(), 2);
        m_server->setResponse("/user/balance", 200, deepseekBody(20));
        action(openMenu(), u"Aktualisieren"_s)->trigger();
        // The later request answers first; the earlier one lands last and stays.
        QTRY_COMPARE(m_item->lastTitle().text, u"$ 20"_s);
        QTRY_COMPARE(m_item->lastTitle().text, u"$ 10"_s);

        m_server->setResponse("/user/balance", 500, "oops");
        action(openMenu(), u"Aktualisieren"_s)->trigger();
        QTRY_COMPARE(m_item->lastTitle(), (Title {u"$ !"_s, true}));
        QCOMPARE(m_app->content()->statusText(), u"Serverfehler (HTTP 500)"_s);
    }

    void wakeRefreshes()
    {
        if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
            QSKIP("needs the stand-in system bus of scripts/test-session.sh");
        QVERIFY(storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(3));
        launch();
        QTRY_COMPARE(requests(), 1);
        const auto prepareForSleep = [](const QString &sleeping) {
            return QProcess::execute(u"dbus-send"_s,
                                     {u"--system"_s, u"--sender=org.freedesktop.login1"_s,
                                      u"--type=signal"_s, u"/org/freedesktop/login1"_s,
                                      u"org.freedesktop.login1.Manager.PrepareForSleep"_s,
                                      sleeping});
        };
        QCOMPARE(prepareForSleep(u"boolean:true"_s), 0);
        QTest::qWait(300);
        QCOMPARE(requests(), 1); // going to sleep is no reason to ask
        QCOMPARE(prepareForSleep(u"boolean:false"_s), 0);
        QTRY_COMPARE(requests(), 2);
    }

    void keyDialog_data()
    {
        QTest::addColumn<QString>("typed"); // null: left as filled in
        QTest::addColumn<bool>("save");
        QTest::addColumn<QString>("stored");
        QTest::newRow("new key") << u"sk-new"_s << true << u"sk-new"_s;
        QTest::newRow("trimmed") << u" \tsk-new\n "_s << true << u"sk-new"_s;
        QTest::newRow("unchanged field saves again") << QString() << true << u"sk-old"_s;
        QTest::newRow("empty keeps the old key") << u""_s << true << u"sk-old"_s;
        QTest::newRow("blanks keep the old key") << u"  \t\n"_s << true << u"sk-old"_s;
        QTest::newRow("cancel keeps the old key") << u"sk-new"_s << false << u"sk-old"_s;
    }
    void keyDialog()
    {
        QFETCH(QString, typed);
        QFETCH(bool, save);
        QFETCH(QString, stored);
        QVERIFY(Settings::setProvider(Provider::moonshot));
        QVERIFY(storeKey(u"sk-old"_s, u"api-key-moonshot"_s));
        m_server->setResponse("/v1/users/me/balance", 200, R"({"data": {"available_balance": 7}})");
        launch();
        m_item->click(); // the dialog closes the panel when it opens
        QTRY_COMPARE(requests(), 2);

        KeyDialog *dialog = openKeyDialog();
        QVERIFY(dialog && dialog->isVisible() && !m_app->popover()->isShown());
        QCOMPARE(KeyDialog::heading(dialog->provider()), u"Moonshot-API-Key"_s);
        QVERIFY(KeyDialog::explanation(Provider::moonshot)
                    .endsWith(u"(Schlüsselbund „creditgauge“, Konto „api-key-moonshot“.)"_s));
        QCOMPARE(dialog->field()->echoMode(), QLineEdit::Password);
        QCOMPARE(dialog->field()->placeholderText(), u"sk-…"_s);
        QTRY_COMPARE(dialog->field()->text(), u"sk-old"_s);
        if (!typed.isNull())
            dialog->field()->setText(typed);
        QTest::mouseClick(save ? dialog->saveButton() : dialog->cancelButton(), Qt::LeftButton);
        QTRY_VERIFY(!m_app->keyDialog());

        QTRY_COMPARE(storedKey(u"api-key-moonshot"_s), std::optional(stored));
        const bool refreshes = save && (typed.isNull() || !typed.trimmed().isEmpty());
        QTRY_COMPARE(requests(), refreshes ? 3 : 2);
        QTest::qWait(300);
        QCOMPARE(requests(), refreshes ? 3 : 2);
        QCOMPARE(m_server->requests().last().header("Authorization"),
                 std::optional("Bearer " + stored.toUtf8()));
        QVERIFY(!visibleMessageBox());
    }

    void refusedKeyIsReportedAndNotUsed()
    {
        if (withSecretService())
            QSKIP("runs on a bus without a secret service (see tests/CMakeLists.txt)");
        launch();
        QTRY_COMPARE(m_item->lastTitle(), (Title {noAmount, true}));
        KeyDialog *dialog = openKeyDialog();
        QVERIFY(dialog);
        dialog->field()->setText(u"sk-nowhere"_s);
        QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        QTRY_VERIFY(visibleMessageBox());
        QCOMPARE(visibleMessageBox()->text(), u"Der API-Key wurde nicht gespeichert."_s);
        QTest::qWait(200);
        QCOMPARE(requests(), 0);
    }

private:
    void launch()
    {
        auto item = std::make_unique<RecordingStatusItem>();
        m_item = item.get();
        m_app = std::make_unique<AppDelegate>(std::move(item));
        m_app->applicationDidFinishLaunching();
    }
    int requests() const { return int(m_server->requests().size()); }
    QMenu *openMenu()
    {
        m_item->popUpMenu();
        return m_item->menu;
    }
    KeyDialog *openKeyDialog()
    {
        action(openMenu(), u"API-Key ändern …"_s)->trigger();
        return m_app->keyDialog();
    }

    QTemporaryDir m_config;
    std::unique_ptr<FakeProviderServer> m_server;
    std::unique_ptr<AppDelegate> m_app;
    RecordingStatusItem *m_item = nullptr;
};

QTEST_MAIN(TestAppDelegate)
#include "TestAppDelegate.moc"
