#include "store/Settings.h"
#include "ui/BalanceViewController.h"
#include "ui/Format.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

using namespace creditgauge;
using namespace Qt::StringLiterals;

using Role = BalanceViewController::ColorRole;

namespace {

enum Op { Loading, Good, Low, Error, NoKey };

const QString blank = u" "_s;
const QString noTime = u"Zuletzt abgefragt: \u2013"_s;

QDateTime nineOFive()
{
    return QDateTime(QDate(2024, 5, 1), QTime(9, 5));
}

Balance balance(double total, const QString &currency = u"USD"_s, QList<BalanceDetail> details = {})
{
    return Balance {currency, total, std::move(details)};
}

// The label at `index` of the view's column, top to bottom.
QLabel *labelAt(QWidget *view, int index)
{
    return qobject_cast<QLabel *>(view->layout()->itemAt(index)->widget());
}

QStringList shownTexts(QWidget *view)
{
    QStringList texts;
    for (int index : {0, 1, 2, 4, 5})
        texts << labelAt(view, index)->text();
    return texts;
}

QStringList texts(const BalanceViewController &panel)
{
    return {panel.titleText(), panel.amountText(), panel.detailText(), panel.statusText(),
            panel.timeText()};
}

QPushButton *button(QWidget *view, const QString &text)
{
    for (QPushButton *b : view->findChildren<QPushButton *>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

double luminance(const QColor &c)
{
    const auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double contrastRatio(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QPalette makePalette(const QColor &window, const QColor &text)
{
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    return p;
}

QPalette darkPalette()
{
    return makePalette(QColor(0x2b, 0x2b, 0x2b), QColor(0xf0, 0xf0, 0xf0));
}

} // namespace

// Runs against a temporary XDG_CONFIG_HOME, so the user's chosen provider is never read.
class TestBalanceViewController : public QObject
{
    Q_OBJECT
public:
    TestBalanceViewController() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void init();
    void initialState();
    void providerComesFromSettings();
    void showStates_data();
    void showStates();
    void details_data();
    void details();
    void threshold_data();
    void threshold();
    void loadingAfterBalanceKeepsTheRest();
    void noKeyNamesTheProvider_data();
    void noKeyNamesTheProvider();
    void viewTree();
    void buttons_data();
    void buttons();
    void contrast_data();
    void contrast();
    void paletteChangeRecolours();
    void viewDeletedByItsParent();
    void panelDeletedBeforeItsView();

private:
    QTemporaryDir m_config;
};

void TestBalanceViewController::init()
{
    QVERIFY(m_config.isValid());
    QVERIFY(Settings::setProvider(Provider::deepseek));
}

void TestBalanceViewController::initialState()
{
    BalanceViewController panel;
    const QStringList expected {u"DeepSeek-Guthaben"_s, u"\u2013"_s, blank, blank, noTime};
    QCOMPARE(texts(panel), expected);
    QCOMPARE(panel.summary(), u"DeepSeek-Guthaben\n\u2013\nZuletzt abgefragt: \u2013"_s);
    QCOMPARE(panel.statusRole(), Role::Secondary);
    QVERIFY(!panel.isViewLoaded());
    QCOMPARE(shownTexts(panel.view()), expected);
}

void TestBalanceViewController::providerComesFromSettings()
{
    QVERIFY(Settings::setProvider(Provider::moonshot));
    BalanceViewController panel;
    QCOMPARE(panel.provider(), Provider::moonshot);
    QCOMPARE(panel.titleText(), u"Moonshot-Guthaben"_s);

    QSignalSpy changed(&panel, &BalanceViewController::changed);
    panel.setProvider(Provider::openrouter);
    QCOMPARE(panel.titleText(), u"OpenRouter-Guthaben"_s);
    QCOMPARE(labelAt(panel.view(), 0)->text(), u"OpenRouter-Guthaben"_s);
    QCOMPARE(changed.count(), 1);
}

void TestBalanceViewController::showStates_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<bool>("viewFirst");
    QTest::addColumn<QString>("amount");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("time"); // empty: the current time, failed
    QTest::addColumn<Role>("role");

    for (const bool viewFirst : {true, false}) {
        const auto row = [viewFirst](const char *name) -> QTestData & {
            return QTest::addRow("%s, %s", name,
                                 viewFirst ? "view built first" : "view built after");
        };
        row("loading") << int(Loading) << viewFirst << "\u2013" << blank << "Lade \u2026" << noTime
                       << Role::Secondary;
        row("balance") << int(Good) << viewFirst << "$ 12,50"
                       << "Aufgeladen $ 10,00"
                       << "Alles in Ordnung."
                       << "Zuletzt abgefragt: 09:05 Uhr" << Role::Secondary;
        row("low balance") << int(Low) << viewFirst << "\u00a5 1,20" << blank
                           << "Guthaben knapp \u2014 bitte aufladen."
                           << "Zuletzt abgefragt: 09:05 Uhr" << Role::Red;
        row("error") << int(Error) << viewFirst << "$ \u2013" << blank
                     << "Server antwortet nicht <b>(503)</b>" << QString() << Role::Red;
        row("no key") << int(NoKey) << viewFirst << "$ \u2013" << blank
                      << "Kein API-Key f\u00fcr DeepSeek hinterlegt." << noTime << Role::Orange;
    }
}

void TestBalanceViewController::showStates()
{
    QFETCH(int, op);
    QFETCH(bool, viewFirst);
    QFETCH(QString, amount);
    QFETCH(QString, detail);
    QFETCH(QString, status);
    QFETCH(QString, time);
    QFETCH(Role, role);

    BalanceViewController panel;
    if (viewFirst)
        panel.view();
    QSignalSpy changed(&panel, &BalanceViewController::changed);
    const QString before = Format::time(QDateTime::currentDateTime());
    switch (op) {
    case Loading:
        panel.showLoading();
        break;
    case Good:
        panel.showBalance(balance(12.5, u"USD"_s, {{u"Aufgeladen"_s, 10.0}}), nineOFive());
        break;
    case Low:
        panel.showBalance(balance(1.2, u"CNY"_s), nineOFive());
        break;
    case Error:
        panel.showError(status);
        break;
    case NoKey:
        panel.showNoKey();
        break;
    }
    const QString after = Format::time(QDateTime::currentDateTime());
    QCOMPARE(changed.count(), 1);

    QCOMPARE(panel.titleText(), u"DeepSeek-Guthaben"_s);
    QCOMPARE(panel.amountText(), amount);
    QCOMPARE(panel.detailText(), detail);
    QCOMPARE(panel.statusText(), status);
    if (time.isNull()) {
        const auto failedAt = [](const QString &hhmm) {
            return u"Zuletzt abgefragt: "_s + hhmm + u" Uhr (fehlgeschlagen)"_s;
        };
        QVERIFY2(panel.timeText() == failedAt(before) || panel.timeText() == failedAt(after),
                 qPrintable(panel.timeText()));
    } else {
        QCOMPARE(panel.timeText(), time);
    }

    QWidget *view = panel.view();
    QCOMPARE(shownTexts(view), texts(panel));
    // Building the view resets the status colour; the app queries again right after.
    QCOMPARE(panel.statusRole(), viewFirst ? role : Role::Secondary);
    QCOMPARE(labelAt(view, 4)->palette().color(QPalette::WindowText),
             BalanceViewController::color(panel.statusRole(), view->palette()));
}

void TestBalanceViewController::details_data()
{
    QTest::addColumn<QList<BalanceDetail>>("details");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none") << QList<BalanceDetail>() << " ";
    QTest::newRow("one") << QList<BalanceDetail> {{u"Aufgeladen"_s, 5.0}}
                         << "Aufgeladen \u00a5 5,00";
    QTest::newRow("three") << QList<BalanceDetail> {{u"Aufgeladen"_s, 1234.5},
                                                    {u"Geschenkt"_s, 2.0},
                                                    {u"Verbraucht"_s, -0.5}}
                           << "Aufgeladen \u00a5 1.234,50 \u00b7 Geschenkt \u00a5 2,00 \u00b7 "
                              "Verbraucht \u00a5 -0,50";
}

void TestBalanceViewController::details()
{
    QFETCH(QList<BalanceDetail>, details);
    QFETCH(QString, expected);
    BalanceViewController panel;
    panel.showBalance(balance(50, u"CNY"_s, details), nineOFive());
    QCOMPARE(panel.detailText(), expected);
}

void TestBalanceViewController::threshold_data()
{
    QTest::addColumn<double>("total");
    QTest::addColumn<QString>("currency");
    QTest::addColumn<bool>("low");
    QTest::newRow("2.00 exactly") << 2.0 << "USD" << false;
    QTest::newRow("1.99") << 1.99 << "USD" << true;
    QTest::newRow("1.999 shown as 2,00") << 1.999 << "USD" << true;
    QTest::newRow("zero") << 0.0 << "USD" << true;
    QTest::newRow("negative") << -3.0 << "USD" << true;
    QTest::newRow("1.5 CNY") << 1.5 << "CNY" << true;
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << "USD" << false;
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "USD" << false;
}

void TestBalanceViewController::threshold()
{
    QFETCH(double, total);
    QFETCH(QString, currency);
    QFETCH(bool, low);
    BalanceViewController panel;
    panel.view();
    panel.showBalance(balance(total, currency), nineOFive());
    QCOMPARE(panel.statusText(),
             low ? u"Guthaben knapp \u2014 bitte aufladen."_s : u"Alles in Ordnung."_s);
    QCOMPARE(panel.statusRole(), low ? Role::Red : Role::Secondary);
}

void TestBalanceViewController::loadingAfterBalanceKeepsTheRest()
{
    BalanceViewController panel;
    panel.showBalance(balance(1.0, u"EUR"_s, {{u"Guthaben"_s, 1.0}}), nineOFive());
    const QStringList before = texts(panel);
    panel.showLoading();
    QStringList expected = before;
    expected[3] = u"Lade \u2026"_s;
    QCOMPARE(texts(panel), expected);
    QCOMPARE(panel.statusRole(), Role::Secondary);
    QCOMPARE(panel.summary(),
             u"DeepSeek-Guthaben\n\u20ac 1,00\nGuthaben \u20ac 1,00\nLade \u2026\n"
             "Zuletzt abgefragt: 09:05 Uhr"_s);
}

void TestBalanceViewController::noKeyNamesTheProvider_data()
{
    QTest::addColumn<Provider>("provider");
    for (const Provider p : Provider::allCases())
        QTest::newRow(qPrintable(p.rawValue())) << p;
}

void TestBalanceViewController::noKeyNamesTheProvider()
{
    QFETCH(Provider, provider);
    BalanceViewController panel;
    panel.setProvider(provider);
    panel.showNoKey();
    QCOMPARE(panel.statusText(),
             u"Kein API-Key f\u00fcr "_s + provider.displayName() + u" hinterlegt."_s);
    QCOMPARE(panel.titleText(), provider.titleText());
}

void TestBalanceViewController::viewTree()
{
    BalanceViewController panel;
    QWidget *view = panel.view();
    QCOMPARE(panel.view(), view);
    QCOMPARE(view->size(), QSize(268, 172));

    auto *column = qobject_cast<QVBoxLayout *>(view->layout());
    QVERIFY(column);
    QCOMPARE(column->contentsMargins(), QMargins(16, 14, 16, 14));
    QVERIFY(column->count() >= 7);
    auto *separator = qobject_cast<QFrame *>(column->itemAt(3)->widget());
    QVERIFY(separator && !qobject_cast<QLabel *>(separator));
    QCOMPARE(separator->frameShape(), QFrame::HLine);
    QVERIFY(qobject_cast<QHBoxLayout *>(column->itemAt(6)->layout()));

    for (int index : {0, 1, 2, 4, 5}) {
        const QLabel *label = labelAt(view, index);
        QVERIFY(label);
        QCOMPARE(label->textInteractionFlags(), Qt::NoTextInteraction);
        QCOMPARE(label->textFormat(), Qt::PlainText); // messages from servers are not markup
        QCOMPARE(label->wordWrap(), index == 4);
    }

    // Hosted as the popover hosts it, at its size hint: a long message wraps, is cut after the
    // second line and leaves the width alone.
    QWidget host;
    auto *hostLayout = new QVBoxLayout(&host);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    hostLayout->setSizeConstraint(QLayout::SetFixedSize);
    hostLayout->addWidget(view);
    panel.showError(u"Kurz."_s);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const int shortWidth = view->width();
    QVERIFY(shortWidth >= 268);
    panel.showError(QString(u"Sehr lange Fehlermeldung "_s).repeated(20));
    view->layout()->activate(); // rather than wait for the posted layout requests
    hostLayout->activate();
    QCOMPARE(view->width(), shortWidth);
    const QLabel *status = labelAt(view, 4);
    const int line = QFontMetrics(status->font()).lineSpacing();
    QVERIFY2(status->height() > line && status->height() <= 2 * line,
             qPrintable(QString::number(status->height())));

    // Three buttons of one width from margin to margin.
    const QList<QPushButton *> buttons = view->findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 3);
    const int width = buttons[0]->width();
    for (const QPushButton *b : buttons) {
        QCOMPARE(b->width(), width);
        QVERIFY(!b->isDefault() && !b->autoDefault());
        QVERIFY(b->shortcut().isEmpty());
    }
    QCOMPARE(buttons.first()->geometry().left(), 16);
    QCOMPARE(buttons.last()->geometry().right(), view->width() - 16 - 1);
}

void TestBalanceViewController::buttons_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("which"); // 0 refresh, 1 provider, 2 key
    QTest::addColumn<bool>("withCallbacks");
    const char *names[] = {"Aktualisieren", "Anbieter\u2026", "Key\u2026"};
    for (int which = 0; which < 3; ++which) {
        QTest::addRow("%s, callbacks", names[which]) << names[which] << which << true;
        QTest::addRow("%s, none", names[which]) << names[which] << which << false;
    }
}

void TestBalanceViewController::buttons()
{
    QFETCH(QString, text);
    QFETCH(int, which);
    QFETCH(bool, withCallbacks);

    BalanceViewController panel;
    int calls[4] = {};
    if (withCallbacks) {
        panel.onRefresh = [&calls] {
            ++calls[0];
        };
        panel.onSwitchProvider = [&calls] {
            ++calls[1];
        };
        panel.onChangeKey = [&calls] {
            ++calls[2];
        };
        panel.onQuit = [&calls] {
            ++calls[3];
        };
    }
    panel.showBalance(balance(5), nineOFive());
    const QStringList before = texts(panel);
    QSignalSpy changed(&panel, &BalanceViewController::changed);

    QPushButton *b = button(panel.view(), text);
    QVERIFY(b);
    QTest::mouseClick(b, Qt::LeftButton);

    int expected[4] = {};
    if (withCallbacks)
        expected[which] = 1;
    for (int i = 0; i < 4; ++i)
        QCOMPARE(calls[i], expected[i]);
    QCOMPARE(texts(panel), before);
    QCOMPARE(changed.count(), 0);
}

void TestBalanceViewController::contrast_data()
{
    QTest::addColumn<QPalette>("palette");
    QTest::addColumn<Role>("role");
    const QList<std::pair<const char *, QPalette>> palettes {
        {"light grey", makePalette(QColor(0xef, 0xef, 0xef), Qt::black)},
        {"white", makePalette(Qt::white, Qt::black)},
        {"dark", darkPalette()},
        {"application", QApplication::palette()},
    };
    for (const auto &[name, p] : palettes) {
        for (const Role role :
             {Role::Label, Role::Secondary, Role::Tertiary, Role::Red, Role::Orange}) {
            QTest::addRow("%s, %s", name, QMetaEnum::fromType<Role>().valueToKey(int(role)))
                << p << role;
        }
    }
}

void TestBalanceViewController::contrast()
{
    QFETCH(QPalette, palette);
    QFETCH(Role, role);
    const QColor c = BalanceViewController::color(role, palette);
    const double ratio = contrastRatio(c, palette.color(QPalette::Window));
    QVERIFY2(
        ratio >= 4.5,
        qPrintable(
            u"%1 on %2: %3"_s.arg(c.name(), palette.color(QPalette::Window).name()).arg(ratio)));
}

void TestBalanceViewController::paletteChangeRecolours()
{
    BalanceViewController panel;
    QWidget *view = panel.view();
    panel.showError(u"Fehler"_s);
    const auto shown = [view](int index) {
        return labelAt(view, index)->palette().color(QPalette::WindowText);
    };
    const QColor lightRed = shown(4);

    view->setPalette(darkPalette());
    QCOMPARE(shown(4), BalanceViewController::color(Role::Red, darkPalette()));
    QVERIFY(shown(4) != lightRed);
    QCOMPARE(shown(0), BalanceViewController::color(Role::Secondary, darkPalette()));
    QCOMPARE(shown(1), QColor(0xf0, 0xf0, 0xf0));
    QCOMPARE(shown(5), BalanceViewController::color(Role::Tertiary, darkPalette()));
    // Everything but the text colour still comes from the view.
    QCOMPARE(labelAt(view, 4)->palette().color(QPalette::Window), QColor(0x2b, 0x2b, 0x2b));

    // A switch of the whole application reaches a view that has no palette of its own.
    view->setPalette(QPalette());
    const QPalette original = QApplication::palette();
    QApplication::setPalette(darkPalette());
    QCoreApplication::processEvents(); // Qt posts the change
    const QColor afterSwitch = shown(4);
    QApplication::setPalette(original);
    QCoreApplication::processEvents();
    QCOMPARE(afterSwitch, BalanceViewController::color(Role::Red, darkPalette()));
    QCOMPARE(shown(4), BalanceViewController::color(Role::Red, original));
}

void TestBalanceViewController::viewDeletedByItsParent()
{
    BalanceViewController panel;
    auto *window = new QWidget;
    panel.view()->setParent(window);
    panel.showBalance(balance(7, u"USD"_s, {{u"Aufgeladen"_s, 7}}), nineOFive());
    delete window;

    QVERIFY(!panel.isViewLoaded());
    const QStringList kept = texts(panel);
    QCOMPARE(kept[1], u"$ 7,00"_s);
    panel.setProvider(Provider::openrouter);
    panel.showNoKey();
    QCOMPARE(panel.statusText(), u"Kein API-Key f\u00fcr OpenRouter hinterlegt."_s);
    QVERIFY(panel.summary().startsWith(u"OpenRouter-Guthaben\n$ \u2013\n"_s));

    // A later request for the view builds a new one with the current texts.
    QWidget *again = panel.view();
    QVERIFY(again);
    QCOMPARE(shownTexts(again), texts(panel));
}

void TestBalanceViewController::panelDeletedBeforeItsView()
{
    QWidget window;
    int refreshes = 0;
    {
        BalanceViewController panel;
        panel.onRefresh = [&refreshes] {
            ++refreshes;
        };
        panel.view()->setParent(&window);
        panel.showLoading();
    }
    // The window keeps the view; its buttons no longer reach the deleted panel.
    const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 3);
    QTest::mouseClick(buttons.first(), Qt::LeftButton);
    QCOMPARE(refreshes, 0);
    QVERIFY(window.findChild<QLabel *>());
}

QTEST_MAIN(TestBalanceViewController)
#include "TestBalanceViewController.moc"
