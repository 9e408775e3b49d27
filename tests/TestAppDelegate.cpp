#include "app/AppDelegate.h"
#include "store/Settings.h"
#include "ui/BalanceViewController.h"

#include "FakeProviderServer.h"
#include "RecordingStatusItem.h"
#include "TestSession.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Title = RecordingStatusItem::Title;
using TestSession::SecretService;

namespace {

const QString noAmount = u"$ –"_s;

QAction *action(QMenu *menu, const QString &text)
{
    const QList<QAction *> actions = menu->actions();
    const auto found = std::ranges::find(actions, text, &QAction::text);
    return found == actions.end() ? nullptr : *found;
}

} // namespace

// The controller's wiring against real parts: fake providers on loopback, the test session's
// secret service, settings in a temporary folder; only the tray is a stand-in (tray.sh drives
// the real one). When queries run and what they mean is TestRefreshCycle's.
class TestAppDelegate : public QObject
{
    Q_OBJECT
public:
    TestAppDelegate() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void init()
    {
        if (!TestSession::startFresh(m_config.path()))
            QSKIP("needs the secret service of scripts/test-session.sh");
        m_server = FakeProviderServer::standIn();
        QVERIFY(m_server);
    }
    void cleanup()
    {
        m_app.reset();
        for (QWidget *w : QApplication::topLevelWidgets())
            delete qobject_cast<QDialog *>(w);
        m_server.reset();
    }

    // Without a balance the item and the panel say why, and nothing is asked: no key stored,
    // or (run without a secret service) no keyring to read one from.
    void launchSaysWhyThereIsNoBalance()
    {
        const bool store = !TestSession::has(SecretService::None);
        const QString why = store ? u"Kein API-Key für DeepSeek hinterlegt."_s
                                  : u"Der Schlüsselbund ist nicht erreichbar."_s;
        launch();
        QCOMPARE(m_item->titles.value(0), (Title {noAmount, false}));
        QTRY_COMPARE(m_app->content()->statusText(), why);
        QCOMPARE(m_item->lastTitle(), (Title {store ? noAmount : u"$ !"_s, true}));
        QVERIFY(m_item->details.contains(why));
        QVERIFY(!m_app->keyDialog() && !m_app->popover()->isShown());
        QCOMPARE(requests(), 0);
    }

    // The stored choice is checked; picking another shows it and keeps it.
    void pickingAProvider()
    {
        QVERIFY(Settings::setProvider(Provider::openrouter));
        launch();
        QMenu *providers = action(openMenu(), u"Anbieter"_s)->menu();
        QVERIFY(action(providers, u"OpenRouter"_s)->isChecked());
        action(providers, u"Moonshot"_s)->trigger();
        QCOMPARE(m_app->content()->titleText(), u"Moonshot-Guthaben"_s);
        QCOMPARE(Settings::provider(), Provider::moonshot);
        providers = action(openMenu(), u"Anbieter"_s)->menu();
        QVERIFY(action(providers, u"Moonshot"_s)->isChecked());
        QVERIFY(!action(providers, u"OpenRouter"_s)->isChecked());
    }

    // The check mark is the entry in the autostart folder, whoever wrote or removed it. A
    // folder that cannot be written leaves it off, and the panel says why. The menu is built
    // anew each time it opens, not added to.
    void autostartItemWritesAndRemovesTheEntry()
    {
        launch();
        const qsizetype items = openMenu()->actions().size();
        const QString entry = m_config.filePath(u"autostart/creditgauge.desktop"_s);
        const auto item = [this] {
            return action(openMenu(), u"Beim Anmelden starten"_s);
        };
        QVERIFY(item()->isCheckable() && !item()->isChecked());
        item()->trigger();
        QVERIFY(QFile::exists(entry) && item()->isChecked());
        QVERIFY(QFile::remove(entry)); // e.g. by the desktop's own settings
        QVERIFY(!item()->isChecked());
        QVERIFY(QDir(m_config.filePath(u"autostart"_s)).removeRecursively());
        QFile blocker(m_config.filePath(u"autostart"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        item()->trigger();
        QVERIFY(!item()->isChecked());
        QVERIFY(m_app->content()->noticeText().startsWith(u"Der Autostart-Eintrag"_s));
        QVERIFY(blocker.remove());
        item()->trigger();
        QVERIFY(QFile::exists(entry) && m_app->content()->noticeText().isEmpty());
        item()->trigger();
        QVERIFY(!QFile::exists(entry) && !item()->isChecked());
        QCOMPARE(openMenu()->actions().size(), items);
        QCOMPARE(m_item->menu->findChildren<QMenu *>().size(), 3); // nor the submenus piling up
    }

    // Notifications are on until switched off in the menu, and stay as chosen.
    void notificationsSwitch()
    {
        launch();
        action(openMenu(), u"Benachrichtigungen"_s)->trigger();
        QVERIFY(!Settings::notificationsEnabled() && !m_app->notifier().isEnabled());
        launch();
        QVERIFY(!action(openMenu(), u"Benachrichtigungen"_s)->isChecked());
        action(openMenu(), u"Benachrichtigungen"_s)->trigger();
        QVERIFY(Settings::notificationsEnabled() && m_app->notifier().isEnabled());
    }

    // Every other provider with a key stands below the main block, read out as one line; its
    // running low is notified of; a click selects it, showing its figure at once. The menu
    // switches the others off.
    void otherProvidersInThePanel()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-ds"_s, u"api-key"_s));
        QVERIFY(TestSession::storeKey(u"sk-ms"_s, u"api-key-moonshot"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(12.5, u"CNY"_s));
        m_server->setResponse("/v1/users/me/balance", 200,
                              R"({"data": {"available_balance": 1.2}})");
        // Kept, not sent: the session's notification service may be another test's.
        QVERIFY(Settings::setNotificationsEnabled(false));
        launch();
        QAccessibleInterface *panel
            = QAccessible::queryAccessibleInterface(m_app->content()->view());
        // As a screen reader finds them: the buttons of the panel that name a provider.
        QList<QAccessibleInterface *> buttons;
        const std::function<void(QAccessibleInterface *)> walk = [&](QAccessibleInterface *node) {
            // Hidden ones are not read out; the panel itself stays closed, since another test
            // on the same display may take the focus that keeps it open.
            if (node->role() == QAccessible::Button
                && !qobject_cast<QWidget *>(node->object())->isHidden()
                && node->text(QAccessible::Name).contains(u':'))
                buttons << node;
            for (int i = 0; i < node->childCount(); ++i)
                walk(node->child(i));
        };
        const auto lines = [&] {
            buttons.clear();
            walk(panel);
            QStringList names;
            for (QAccessibleInterface *button : std::as_const(buttons))
                names << button->text(QAccessible::Name);
            return names;
        };
        QTRY_COMPARE(lines(), QStringList {u"Moonshot: $ 1,20"_s});
        QCOMPARE(m_app->content()->amountText(), u"¥ 12,50"_s);
        QVERIFY(m_item->details.last().startsWith(u"Moonshot: $ 1,20 · "_s));
        QVERIFY(m_app->cycle().history().flag(u"alert.low.moonshot"_s));

        m_server->setResponse("/v1/users/me/balance",
                              {.body = R"({"data": {"available_balance": 1.5}})", .delay = 500ms});
        buttons.constFirst()->actionInterface()->doAction(
            QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(Settings::provider(), Provider::moonshot);
        QCOMPARE(m_app->content()->amountText(), u"$ 1,20"_s);
        QTRY_COMPARE(m_app->content()->amountText(), u"$ 1,50"_s);
        QTRY_COMPARE(lines(), QStringList {u"DeepSeek: ¥ 12,50"_s});

        action(openMenu(), u"Alle Konten abfragen"_s)->trigger();
        QVERIFY(lines().isEmpty() && !Settings::allProvidersEnabled());
    }

    void keyDialog_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("save"); // 0 cancel, 1 save, 2 save once DeepSeek is picked
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("refused"); // the dialog stays open and says why
        QTest::addColumn<QString>("mark"); // typed as the low mark; empty: left as it is
        QTest::newRow("trimmed") << u" \tsk-new\n "_s << 1 << u"sk-new"_s << false << u""_s;
        QTest::newRow("blanks keep the old key")
            << u"  \t\n"_s << 1 << u"sk-old"_s << false << u""_s;
        QTest::newRow("cancel keeps the old key")
            << u"sk-new"_s << 0 << u"sk-old"_s << false << u"20"_s;
        QTest::newRow("tab inside") << u"sk-\tnew"_s << 1 << u"sk-old"_s << true << u""_s;
        QTest::newRow("saved for Moonshot, DeepSeek picked")
            << u"sk-new"_s << 2 << u"sk-new"_s << false << u""_s;
        // The balance of 7 turns red at once under its new mark, before any query.
        QTest::newRow("low mark, German") << u""_s << 1 << u"sk-old"_s << false << u"20,50"_s;
        QTest::newRow("low mark zero") << u"sk-new"_s << 1 << u"sk-old"_s << true << u"0"_s;
    }
    void keyDialog()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QFETCH(QString, typed);
        QFETCH(int, save);
        QFETCH(QString, stored);
        QFETCH(bool, refused);
        QFETCH(QString, mark);
        const bool switched = save == 2;
        QVERIFY(Settings::setProvider(Provider::moonshot));
        QVERIFY(TestSession::storeKey(u"sk-old"_s, u"api-key-moonshot"_s));
        m_server->setResponse("/v1/users/me/balance", 200, R"({"data": {"available_balance": 7}})");
        launch();
        m_item->click(); // the dialog closes the panel when it opens
        QTRY_COMPARE(requests(), 2);

        KeyDialog *dialog = openKeyDialog();
        QVERIFY(dialog && dialog->isVisible() && !m_app->popover()->isShown());
        QCOMPARE(dialog->field()->echoMode(), QLineEdit::Password);
        QTRY_COMPARE(dialog->field()->text(), u"sk-old"_s);
        dialog->field()->setText(typed);
        if (!mark.isEmpty())
            dialog->lowMarkField()->setText(mark);
        if (switched) {
            action(action(openMenu(), u"Anbieter"_s)->menu(), u"DeepSeek"_s)->trigger();
            QTRY_COMPARE(requests(), 3); // Moonshot, now watched beside it
        }
        QTest::mouseClick(save ? dialog->saveButton() : dialog->cancelButton(), Qt::LeftButton);
        if (refused) {
            QVERIFY(dialog->isVisible());
            QVERIFY(dialog->findChild<QLabel *>(u"problem"_s)->isVisible());
            QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
        }
        QTRY_VERIFY(!m_app->keyDialog());

        QTRY_COMPARE(TestSession::readKey(u"api-key-moonshot"_s),
                     KeyStore::ReadResult(std::optional(stored)));
        const bool refreshes = save && !refused && !typed.trimmed().isEmpty();
        QTRY_COMPARE(requests(), (refreshes ? 3 : 2) + int(switched));
        QCOMPARE(m_server->requests().last().header("Authorization"),
                 std::optional("Bearer " + stored.toUtf8()));
        const bool marked = save && !refused && !mark.isEmpty();
        QCOMPARE(Settings::account(u"moonshot"_s)->lowMark, marked ? 20.5 : 2.0);
        QCOMPARE(m_item->lastTitle().alarm, marked || switched); // DeepSeek has no key
    }

    // An account is added from the menu, must be named, and is shown once its key is saved;
    // removed after asking, its key goes with it and its provider's first is shown.
    void accountsInTheMenu()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        m_server->setResponse("/user/balance sk-work", 200, deepseekBody(40));
        launch();
        QMenu *accounts = action(openMenu(), u"Anbieter"_s)->menu();
        action(action(accounts, u"Konto hinzufügen …"_s)->menu(), u"DeepSeek"_s)->trigger();
        KeyDialog *dialog = m_app->keyDialog();
        dialog->field()->setText(u"sk-work"_s);
        QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        QVERIFY(dialog->findChild<QLabel *>(u"problem"_s)->isVisible());
        dialog->nameField()->setText(u" Arbeit "_s);
        QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        QTRY_COMPARE(m_app->content()->titleText(), u"DeepSeek-Guthaben · Arbeit"_s);
        QTRY_COMPARE(m_app->content()->amountText(), u"$ 40,00"_s);
        accounts = action(openMenu(), u"Anbieter"_s)->menu();
        QVERIFY(action(accounts, u"DeepSeek · Arbeit"_s)->isChecked());

        action(accounts, u"Konto entfernen …"_s)->trigger();
        QMessageBox *box = nullptr;
        QTRY_VERIFY(box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
        QCOMPARE(box->text(), u"Konto „DeepSeek · Arbeit“ entfernen?"_s);
        QTest::mouseClick(box->findChild<QPushButton *>(u"remove"_s), Qt::LeftButton);
        QTRY_COMPARE(m_app->content()->titleText(), u"DeepSeek-Guthaben"_s);
        QVERIFY(!action(action(openMenu(), u"Anbieter"_s)->menu(), u"DeepSeek · Arbeit"_s));
        QTRY_COMPARE(TestSession::readKey(u"api-key-deepseek-2"_s),
                     KeyStore::ReadResult(std::optional<QString>()));
    }

    void refusedKeyIsReportedAndNotUsed()
    {
        TEST_SESSION_REQUIRE(SecretService::None);
        launch();
        KeyDialog *dialog = openKeyDialog();
        dialog->field()->setText(u"sk-nowhere"_s);
        QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        QMessageBox *box = nullptr;
        QTRY_VERIFY(box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
        QCOMPARE(box->text(), u"Der API-Key wurde nicht gespeichert."_s);
    }

private:
    void launch()
    {
        auto item = std::make_unique<RecordingStatusItem>();
        m_item = item.get();
        m_app = std::make_unique<AppDelegate>(std::move(item),
                                              RefreshCycle::Options {.watchNetwork = false});
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
