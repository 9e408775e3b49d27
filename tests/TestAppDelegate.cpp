#include "app/AppDelegate.h"
#include "app/KeyDialog.h"
#include "app/Popover.h"
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
using Title = RecordingStatusItem::Title;

Q_DECLARE_METATYPE(Title)

namespace {

const QString noAmount = QStringLiteral("$ \u2013");

QByteArray deepseekBody(const QString &currency, double total)
{
    return QStringLiteral(R"({"balance_infos": [{"currency": "%1", "total_balance": %2}]})")
            .arg(currency)
            .arg(total, 0, 'g', 17)
            .toUtf8();
}

bool secretServiceExpected()
{
    return qEnvironmentVariable("CREDITGAUGE_TEST_SECRET_SERVICE") != QLatin1String("none");
}

void clearKey(const QString &account)
{
    QProcess p;
    p.start(QStringLiteral("secret-tool"), { QStringLiteral("clear"), QStringLiteral("server"),
                                             QStringLiteral("creditgauge"), QStringLiteral("user"),
                                             account });
    p.waitForFinished(10000);
}

bool storeKey(const QString &key, const QString &account)
{
    std::optional<bool> saved;
    KeyStore::save(key, account, [&saved](bool ok) { saved = ok; });
    if (!QTest::qWaitFor([&] { return saved.has_value(); }, 10000))
        return false;
    return saved.value_or(false);
}

std::optional<QString> storedKey(const QString &account)
{
    std::optional<std::optional<QString>> answer;
    KeyStore::read(account, [&answer](std::optional<QString> key) { answer = key; });
    if (!QTest::qWaitFor([&] { return answer.has_value(); }, 10000))
        return std::nullopt;
    return answer.value_or(std::nullopt);
}

QAction *findAction(QMenu *menu, const QString &text)
{
    for (QAction *a : menu->actions()) {
        if (a->text() == text)
            return a;
    }
    return nullptr;
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

// The controller against real parts: fake providers on loopback, the secret service of the
// test session, settings in a temporary folder. Only the tray is a stand-in.
class TestAppDelegate : public QObject
{
    Q_OBJECT
public:
    TestAppDelegate() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void launchWithoutKeyShowsNoKeyAndAsksNothing();
    void balanceSetsTitleAndAlarm_data();
    void balanceSetsTitleAndAlarm();
    void failureAfterBalanceShowsExclamation();
    void clickTogglesPanelAndRefreshes();
    void menuContentsAndCheckMark_data();
    void menuContentsAndCheckMark();
    void pickingProviderStoresItAndKeepsTheTimer();
    void overlappingRefreshesApplyInArrivalOrder();
    void wakeRefreshes();
    void keyDialog_data();
    void keyDialog();
    void refusedKeyIsReportedAndNotUsed();

private:
    void launch();
    int requests() const { return int(m_server->requests().size()); }
    QMenu *openMenu();
    KeyDialog *openKeyDialog();

    QTemporaryDir m_config;
    std::unique_ptr<FakeProviderServer> m_server;
    std::unique_ptr<AppDelegate> m_app;
    RecordingStatusItem *m_item = nullptr;
};

void TestAppDelegate::initTestCase()
{
    QVERIFY(m_config.isValid());
    if (secretServiceExpected() && qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        QSKIP("No D-Bus session with a secret service; run through scripts/test-session.sh");
}

void TestAppDelegate::init()
{
    QFile::remove(m_config.path() + QStringLiteral("/creditgauge/creditgauge.conf"));
    if (secretServiceExpected()) {
        for (const Provider p : Provider::allCases())
            clearKey(p.keychainAccount());
    }

    m_server = std::make_unique<FakeProviderServer>();
    QVERIFY(m_server->listen());
    ProviderClient::Transport transport = ProviderClient::defaultTransport();
    transport.deepseekBalance = m_server->url(QStringLiteral("/user/balance"));
    transport.openrouterCredits = m_server->url(QStringLiteral("/api/v1/credits"));
    transport.openrouterKey = m_server->url(QStringLiteral("/api/v1/key"));
    transport.moonshotBalance = m_server->url(QStringLiteral("/v1/users/me/balance"));
    transport.timeout = 5s;
    ProviderClient::setTransportForTesting(transport);
}

void TestAppDelegate::cleanup()
{
    m_app.reset();
    m_item = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QDialog *>(w))
            delete w;
    }
    m_server.reset();
}

void TestAppDelegate::launch()
{
    auto item = std::make_unique<RecordingStatusItem>();
    m_item = item.get();
    m_app = std::make_unique<AppDelegate>(std::move(item));
    m_app->applicationDidFinishLaunching();
}

QMenu *TestAppDelegate::openMenu()
{
    m_item->popUpMenu();
    return m_item->menu;
}

KeyDialog *TestAppDelegate::openKeyDialog()
{
    QAction *item = findAction(openMenu(), QStringLiteral("API-Key ändern \u2026"));
    if (!item)
        return nullptr;
    item->trigger();
    return m_app->keyDialog();
}

void TestAppDelegate::launchWithoutKeyShowsNoKeyAndAsksNothing()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    launch();
    QCOMPARE(m_item->titles.value(0), (Title { noAmount, false }));
    QTRY_COMPARE(m_item->lastTitle(), (Title { noAmount, true }));
    QCOMPARE(m_app->content()->statusText(), QStringLiteral("Kein API-Key für DeepSeek hinterlegt."));
    QCOMPARE(m_app->content()->statusRole(), BalanceViewController::ColorRole::Orange);
    QVERIFY(m_item->toolTip.contains(QStringLiteral("Kein API-Key für DeepSeek hinterlegt.")));
    QTest::qWait(100);
    QCOMPARE(requests(), 0);
    QVERIFY(!m_app->keyDialog());
    QVERIFY(!m_app->popover()->isShown());
    // The first periodic refresh comes one interval after launch, not at once.
    QVERIFY(m_app->refreshTimer().isActive());
    QCOMPARE(m_app->refreshTimer().intervalAsDuration(), 1800s);
    QVERIFY(m_app->refreshTimer().remainingTimeAsDuration() > 1790s);
}

void TestAppDelegate::balanceSetsTitleAndAlarm_data()
{
    QTest::addColumn<QString>("currency");
    QTest::addColumn<double>("total");
    QTest::addColumn<Title>("title");

    QTest::newRow("2.0 is not low") << "USD" << 2.0 << Title { QStringLiteral("$ 2"), false };
    QTest::newRow("2.5") << "USD" << 2.5 << Title { QStringLiteral("$ 3"), false };
    QTest::newRow("1.99 is low") << "USD" << 1.99 << Title { QStringLiteral("$ 2"), true };
    QTest::newRow("1.5 rounds up, still low") << "USD" << 1.5 << Title { QStringLiteral("$ 2"), true };
    QTest::newRow("zero") << "USD" << 0.0 << Title { QStringLiteral("$ 0"), true };
    QTest::newRow("negative") << "USD" << -3.0 << Title { QStringLiteral("$ -3"), true };
    QTest::newRow("yuan") << "CNY" << 120.4 << Title { QStringLiteral("\u00a5 120"), false };
    QTest::newRow("low in any currency") << "CNY" << 1.5 << Title { QStringLiteral("\u00a5 2"), true };
}

void TestAppDelegate::balanceSetsTitleAndAlarm()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    QFETCH(QString, currency);
    QFETCH(double, total);
    QFETCH(Title, title);
    QVERIFY(storeKey(QStringLiteral("sk-test"), QStringLiteral("api-key")));
    m_server->setResponse("/user/balance", 200, deepseekBody(currency, total));
    launch();
    QTRY_COMPARE(m_item->lastTitle(), title);
    QCOMPARE(requests(), 1);
    QCOMPARE(m_server->requests().front().header("Authorization"), std::optional<QByteArray>("Bearer sk-test"));
    QVERIFY(m_item->toolTip.contains(title.text));
}

void TestAppDelegate::failureAfterBalanceShowsExclamation()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    QVERIFY(storeKey(QStringLiteral("sk-test"), QStringLiteral("api-key")));
    m_server->setResponse("/user/balance", 200, deepseekBody(QStringLiteral("USD"), 12.0));
    launch();
    QTRY_COMPARE(m_item->lastTitle(), (Title { QStringLiteral("$ 12"), false }));

    m_server->setResponse("/user/balance", 500, "oops");
    findAction(openMenu(), QStringLiteral("Aktualisieren"))->trigger();
    QTRY_COMPARE(m_item->lastTitle(), (Title { QStringLiteral("$ !"), true }));
    QCOMPARE(m_app->content()->statusText(), QStringLiteral("Serverfehler (HTTP 500)"));
    QCOMPARE(m_app->content()->amountText(), noAmount);
}

void TestAppDelegate::clickTogglesPanelAndRefreshes()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    QVERIFY(storeKey(QStringLiteral("sk-test"), QStringLiteral("api-key")));
    FakeProviderServer::Response slow;
    slow.body = deepseekBody(QStringLiteral("USD"), 5.0);
    slow.delay = 400ms;
    m_server->setResponse("/user/balance", slow);
    launch();
    QTRY_COMPARE(m_item->lastTitle().text, QStringLiteral("$ 5"));
    QCOMPARE(requests(), 1);

    m_item->click();
    QVERIFY(m_app->popover()->isShown());
    QTRY_COMPARE(m_app->content()->statusText(), QStringLiteral("Lade \u2026"));
    QTRY_COMPARE(m_app->content()->statusText(), QStringLiteral("Alles in Ordnung."));
    QCOMPARE(requests(), 2);

    m_item->click();
    QVERIFY(!m_app->popover()->isShown());
    QTRY_COMPARE(requests(), 3);
    // Refreshing with the panel closed shows no loading state.
    QTest::qWait(100);
    QCOMPARE(m_app->content()->statusText(), QStringLiteral("Alles in Ordnung."));

    // Menu requests neither toggle the panel nor refresh.
    openMenu();
    QVERIFY(!m_app->popover()->isShown());
    QTest::qWait(500);
    QCOMPARE(requests(), 3);
}

void TestAppDelegate::menuContentsAndCheckMark_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("checked");
    QTest::newRow("nothing stored") << QByteArray() << "DeepSeek";
    QTest::newRow("openrouter") << QByteArray("[General]\nprovider=openrouter\n") << "OpenRouter";
    QTest::newRow("unknown value") << QByteArray("[General]\nprovider=OpenRouter\n") << "DeepSeek";
}

void TestAppDelegate::menuContentsAndCheckMark()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, checked);
    if (!settings.isEmpty()) {
        QDir().mkpath(m_config.path() + QStringLiteral("/creditgauge"));
        QFile f(m_config.path() + QStringLiteral("/creditgauge/creditgauge.conf"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(settings);
    }
    launch();
    QMenu *menu = openMenu();
    QStringList items;
    for (const QAction *a : menu->actions())
        items << (a->isSeparator() ? QStringLiteral("---") : a->text());
    QCOMPARE(items, (QStringList { QStringLiteral("Aktualisieren"), QStringLiteral("Anbieter"),
                                   QStringLiteral("---"), QStringLiteral("Nach Updates suchen \u2026"),
                                   QStringLiteral("---"), QStringLiteral("API-Key ändern \u2026"),
                                   QStringLiteral("---"), QStringLiteral("Beenden") }));
    QCOMPARE(findAction(menu, QStringLiteral("Aktualisieren"))->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    QCOMPARE(findAction(menu, QStringLiteral("Beenden"))->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu *providers = findAction(menu, QStringLiteral("Anbieter"))->menu();
    QVERIFY(providers);
    QStringList names;
    QStringList marked;
    for (const QAction *a : providers->actions()) {
        names << a->text();
        if (a->isChecked())
            marked << a->text();
    }
    QCOMPARE(names, (QStringList { QStringLiteral("DeepSeek"), QStringLiteral("OpenRouter"), QStringLiteral("Moonshot") }));
    QCOMPARE(marked, QStringList { checked });

    // Built afresh for every opening: nothing doubles up.
    QCOMPARE(openMenu()->actions().size(), items.size());
}

void TestAppDelegate::pickingProviderStoresItAndKeepsTheTimer()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    QVERIFY(storeKey(QStringLiteral("sk-moon"), QStringLiteral("api-key-moonshot")));
    m_server->setResponse("/v1/users/me/balance", 200, R"({"code": 0, "data": {"available_balance": 42}})");
    launch();
    QTRY_COMPARE(m_item->lastTitle(), (Title { noAmount, true })); // no DeepSeek key
    const auto before = m_app->refreshTimer().remainingTimeAsDuration();
    QTest::qWait(1100);

    QAction *moonshot = findAction(findAction(openMenu(), QStringLiteral("Anbieter"))->menu(),
                                   QStringLiteral("Moonshot"));
    moonshot->trigger();
    QCOMPARE(Settings::provider(), Provider::moonshot);
    QCOMPARE(m_app->content()->titleText(), QStringLiteral("Moonshot-Guthaben"));
    QTRY_COMPARE(m_item->lastTitle(), (Title { QStringLiteral("$ 42"), false }));
    QCOMPARE(m_server->requestsFor("/v1/users/me/balance").size(), 1);

    QStringList marked;
    for (const QAction *a : findAction(openMenu(), QStringLiteral("Anbieter"))->menu()->actions()) {
        if (a->isChecked())
            marked << a->text();
    }
    QCOMPARE(marked, QStringList { QStringLiteral("Moonshot") });

    // Neither a switch nor a saved key restarts the 30-minute period.
    QVERIFY(storeKey(QStringLiteral("sk-moon-2"), QStringLiteral("api-key-moonshot")));
    QVERIFY(m_app->refreshTimer().remainingTimeAsDuration() < before - 1s);
}

void TestAppDelegate::overlappingRefreshesApplyInArrivalOrder()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    QVERIFY(storeKey(QStringLiteral("sk-test"), QStringLiteral("api-key")));
    m_server->setResponse("/user/balance", 200, deepseekBody(QStringLiteral("USD"), 1.0));
    launch();
    QTRY_COMPARE(m_item->lastTitle().text, QStringLiteral("$ 1"));

    FakeProviderServer::Response slow;
    slow.body = deepseekBody(QStringLiteral("USD"), 10.0);
    slow.delay = 600ms;
    m_server->setResponse("/user/balance", slow);
    findAction(openMenu(), QStringLiteral("Aktualisieren"))->trigger();
    QTRY_COMPARE(requests(), 2);
    m_server->setResponse("/user/balance", 200, deepseekBody(QStringLiteral("USD"), 20.0));
    findAction(openMenu(), QStringLiteral("Aktualisieren"))->trigger();

    // The later request answers first; the earlier one lands last and stays.
    QTRY_COMPARE(m_item->lastTitle().text, QStringLiteral("$ 20"));
    QTRY_COMPARE(m_item->lastTitle().text, QStringLiteral("$ 10"));
}

void TestAppDelegate::wakeRefreshes()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
        QSKIP("needs the private system bus of scripts/test-session.sh");
    QVERIFY(storeKey(QStringLiteral("sk-test"), QStringLiteral("api-key")));
    m_server->setResponse("/user/balance", 200, deepseekBody(QStringLiteral("USD"), 3.0));
    launch();
    QTRY_COMPARE(requests(), 1);

    const auto prepareForSleep = [](bool sleeping) {
        return QProcess::execute(
                QStringLiteral("dbus-send"),
                { QStringLiteral("--system"), QStringLiteral("--sender=org.freedesktop.login1"),
                  QStringLiteral("--type=signal"), QStringLiteral("/org/freedesktop/login1"),
                  QStringLiteral("org.freedesktop.login1.Manager.PrepareForSleep"),
                  sleeping ? QStringLiteral("boolean:true") : QStringLiteral("boolean:false") });
    };
    QCOMPARE(prepareForSleep(true), 0);
    QTest::qWait(300);
    QCOMPARE(requests(), 1); // going to sleep is no reason to ask
    QCOMPARE(prepareForSleep(false), 0);
    QTRY_COMPARE(requests(), 2);
    QTest::qWait(200);
    QCOMPARE(requests(), 2);
}

void TestAppDelegate::keyDialog_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("save");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("refreshes");

    QTest::newRow("new key") << "sk-new" << true << "sk-new" << true;
    QTest::newRow("trimmed") << " \tsk-new\n " << true << "sk-new" << true;
    QTest::newRow("unchanged field saves again") << QString() << true << "sk-old" << true;
    QTest::newRow("empty keeps the old key") << "" << true << "sk-old" << false;
    QTest::newRow("blanks keep the old key") << "  \t\n" << true << "sk-old" << false;
    QTest::newRow("cancel keeps the old key") << "sk-new" << false << "sk-old" << false;
}

void TestAppDelegate::keyDialog()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    QFETCH(QString, typed);
    QFETCH(bool, save);
    QFETCH(QString, stored);
    QFETCH(bool, refreshes);

    QVERIFY(Settings::setProvider(Provider::moonshot));
    QVERIFY(storeKey(QStringLiteral("sk-old"), QStringLiteral("api-key-moonshot")));
    m_server->setResponse("/v1/users/me/balance", 200, R"({"data": {"available_balance": 7}})");
    launch();
    QTRY_COMPARE(requests(), 1);
    m_item->click(); // the dialog closes the panel when it opens
    QVERIFY(m_app->popover()->isShown());

    KeyDialog *dialog = openKeyDialog();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QVERIFY(!m_app->popover()->isShown());
    QCOMPARE(dialog->heading(dialog->provider()), QStringLiteral("Moonshot-API-Key"));
    QVERIFY(KeyDialog::explanation(Provider::moonshot).endsWith(QStringLiteral("Konto \u201eapi-key-moonshot\u201c.)")));
    QCOMPARE(dialog->field()->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog->field()->placeholderText(), QStringLiteral("sk-\u2026"));
    QTRY_COMPARE(dialog->field()->text(), QStringLiteral("sk-old")); // filled in, masked
    QVERIFY(dialog->saveButton()->isDefault());

    QTRY_COMPARE(requests(), 2);
    if (!typed.isNull()) {
        dialog->field()->selectAll();
        QTest::keyClicks(dialog->field(), typed.isEmpty() ? QString() : QStringLiteral("x"));
        dialog->field()->setText(typed);
    }
    QTest::mouseClick(save ? dialog->saveButton() : dialog->cancelButton(), Qt::LeftButton);
    QTRY_VERIFY(!m_app->keyDialog());

    QTRY_COMPARE(storedKey(QStringLiteral("api-key-moonshot")), std::optional(stored));
    if (refreshes) {
        QTRY_COMPARE(requests(), 3);
        QCOMPARE(m_server->requests().last().header("Authorization"),
                 std::optional<QByteArray>("Bearer " + stored.toUtf8()));
    } else {
        QTest::qWait(300);
        QCOMPARE(requests(), 2);
    }
    QVERIFY(!visibleMessageBox());
}

void TestAppDelegate::refusedKeyIsReportedAndNotUsed()
{
    if (secretServiceExpected())
        QSKIP("runs on a bus without a secret service (see tests/CMakeLists.txt)");
    launch();
    QTRY_COMPARE(m_item->lastTitle(), (Title { noAmount, true }));
    KeyDialog *dialog = openKeyDialog();
    QVERIFY(dialog);
    dialog->field()->setText(QStringLiteral("sk-nowhere"));
    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    QTRY_VERIFY(visibleMessageBox());
    QCOMPARE(visibleMessageBox()->text(), QStringLiteral("Der API-Key wurde nicht gespeichert."));
    QTest::qWait(200);
    QCOMPARE(requests(), 0);
    QCOMPARE(m_item->lastTitle(), (Title { noAmount, true }));
}

QTEST_MAIN(TestAppDelegate)
#include "TestAppDelegate.moc"
