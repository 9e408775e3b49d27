#include "store/Settings.h"
#include "ui/BalanceChart.h"
#include "ui/BalanceViewController.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace creditgauge;
using namespace Qt::StringLiterals;
using Panel = BalanceViewController;
using Role = BalanceView::ColorRole;
using Kind = RefreshState::Kind;
using Ops = QList<std::function<void(Panel &)>>;
Q_DECLARE_METATYPE(Ops)

namespace {

const QDateTime at(QDate(2024, 5, 1), QTime(9, 5));
const QString forecast = u"\u2248 $ 1,20 pro Tag \u00b7 reicht noch \u2248 16 Tage"_s;

RefreshState balance(double total, QString currency = u"USD"_s, QList<BalanceDetail> details = {})
{
    return {.kind = Kind::Balance, .balance = Balance {currency, total, details}, .at = at};
}

// `samples` days of history before the balance, and a forecast.
RefreshState withHistory(RefreshState state, int samples)
{
    for (int i = 0; i < samples; ++i)
        state.recent << BalanceSample {at.addDays(i - samples), Balance {u"USD"_s, 20.0 - i, {}}};
    state.forecast = SpendingForecast {u"USD"_s, 1.2, 16};
    return state;
}

Ops::value_type show(const RefreshState &state)
{
    return std::bind(&Panel::show, std::placeholders::_1, state);
}

Ops::value_type setProvider(Provider p)
{
    return std::bind(&Panel::setAccount, std::placeholders::_1, Account::first(p));
}

} // namespace

// Runs against a temporary XDG_CONFIG_HOME, so the user's chosen provider is never read.
class TestBalanceViewController : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

public:
    TestBalanceViewController() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void init() { QVERIFY(m_config.isValid() && Settings::setProvider(Provider::deepseek)); }

    void panel_data()
    {
        QTest::addColumn<Ops>("ops");
        // amount|detail|status|time after "Zuletzt abgefragt: "|status role|chart and forecast
        // shown (1) or hidden (0)[|"Red": the last other provider's line red]; "?" is not checked
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("changes"); // -1: one per operation
        const auto row = [](const char *name, const Ops &ops, const char *e, int changes = -1) {
            QTest::newRow(name) << ops << QString::fromUtf8(e) << changes;
        };
        const auto good = show(withHistory(balance(12.5, u"USD"_s, {{u"Bonus"_s, 10}}), 3));
        row("loading", {&Panel::showLoading}, "\u2013| |Lade \u2026|\u2013|Secondary|00");
        row("low", {show(balance(1.999, u"CNY"_s))},
            "\u00a5 2,00| |Guthaben knapp \u2014 bitte aufladen.|09:05 Uhr|Red|00");
        // Low is below 2, compared unrounded.
        row("2", {show(balance(2))}, "?|?|Alles in Ordnung.|?|Secondary|00");
        // The chart and the forecast belong to one provider's balance.
        row("loading keeps them", {good, &Panel::showLoading},
            "$ 12,50|Bonus $ 10,00|Lade \u2026|09:05 Uhr|Secondary|11");
        row("one sample: no chart", {show(withHistory(balance(5), 1))}, "?|?|?|?|Secondary|01");
        row("same provider", {good, setProvider(Provider::deepseek)}, "?|?|?|?|Secondary|11", 1);
        row("another provider", {good, setProvider(Provider::moonshot)},
            "$ \u2013| |Lade \u2026|\u2013|Secondary|00");
        row("error", {good, show({.kind = Kind::Failed, .message = u"<b>503</b>"_s, .at = at})},
            "$ \u2013| |<b>503</b>|09:05 Uhr (fehlgeschlagen)|Red|00");
        row("no key", {good, show({.kind = Kind::NoKey})},
            "$ \u2013| |Kein API-Key f\u00fcr DeepSeek hinterlegt.|\u2013|Orange|00");
        row("other low", {std::bind(&Panel::showOthers, std::placeholders::_1, QList {balance(1)})},
            "?|?|?|?|Secondary|00|Red");
    }
    void panel()
    {
        QFETCH(Ops, ops);
        QFETCH(QString, expected);
        QFETCH(int, changes);
        const QStringList e = expected.split(u'|');
        const auto role = Role(QMetaEnum::fromType<Role>().keyToValue(qPrintable(e[4])));
        enum { ViewFirst, ViewAfter, ViewRebuilt }; // the view built before the ops or after
        for (const int order : {ViewFirst, ViewAfter, ViewRebuilt}) {
            Panel panel;
            if (order != ViewAfter)
                panel.view();
            QSignalSpy changed(&panel, &Panel::changed);
            for (const auto &op : ops)
                op(panel);
            QCOMPARE(changed.count(), changes < 0 ? ops.size() : changes);
            if (order == ViewRebuilt)
                delete panel.view(); // as a window that took it over does
            QWidget *view = panel.view();
            const QList<QLabel *> labels = view->findChildren<QLabel *>(); // top to bottom
            QCOMPARE(labels[0]->text(), panel.account().titleText());
            for (int i = 0; i < 4; ++i) {
                if (e[i] != u"?"_s)
                    QCOMPARE(labels[i + 1]->text(),
                             i == 3 ? u"Zuletzt abgefragt: "_s + e[3] : e[i]);
            }
            QCOMPARE(labels[3]->textFormat(), Qt::PlainText); // server text is not markup
            QCOMPARE(labels[3]->palette().color(QPalette::WindowText),
                     BalanceView::color(role, view->palette()));
            if (e.size() > 6) // another provider's line, red below the low mark too
                QCOMPARE(labels.last()->palette().color(QPalette::WindowText),
                         BalanceView::color(Role::Red, view->palette()));
            QCOMPARE(view->findChild<BalanceChart *>()->isVisibleTo(view), e[5][0] == u'1');
            QCOMPARE(labels[5]->isVisibleTo(view), e[5][1] == u'1');
            QCOMPARE(labels[5]->text(), e[5][1] == u'1' ? forecast : QString());
        }
    }
};

QTEST_MAIN(TestBalanceViewController)
#include "TestBalanceViewController.moc"
