#include "core/Format.h"
#include "store/Settings.h"
#include "ui/BalanceChart.h"
#include "ui/BalanceViewController.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <functional>

using namespace creditgauge;
using namespace Qt::StringLiterals;
using Panel = BalanceViewController;
using Role = Panel::ColorRole;
using Ops = QList<std::function<void(Panel &)>>;
Q_DECLARE_METATYPE(Ops)

namespace {

Ops::value_type show(double total, QString currency = u"USD"_s, QList<BalanceDetail> details = {})
{
    return std::bind(&Panel::showBalance, std::placeholders::_1, Balance {currency, total, details},
                     QDateTime({2024, 5, 1}, {9, 5}));
}

const QDateTime now(QDate(2024, 5, 1), QTime(9, 5));
const QString forecast = u"\u2248 $ 1,20 pro Tag \u00b7 reicht noch \u2248 16 Tage"_s;

Ops::value_type withHistory(int samples, const QString &line = forecast)
{
    return [samples, line](Panel &panel) {
        QList<BalanceSample> list;
        for (int i = 0; i < samples; ++i)
            list << BalanceSample {now.addDays(i - samples), Balance {u"USD"_s, 20.0 - i, {}}};
        panel.showHistory(list, line, now);
    };
}

double luminance(const QColor &c)
{
    const auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
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

    void showStates_data()
    {
        QTest::addColumn<Ops>("ops");
        // amount|detail|status|time after "abgefragt: "|status role; "?" is not checked, "*" is now
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const Ops &ops, const QString &expected) {
            QTest::newRow(name) << ops << expected;
        };
        const auto good = show(12.5, u"USD"_s, {{u"Bonus"_s, 10}});
        row("loading", {&Panel::showLoading}, u"\u2013| |Lade \u2026|\u2013|Secondary"_s);
        row("enough", {good}, u"$ 12,50|Bonus $ 10,00|Alles in Ordnung.|09:05 Uhr|Secondary"_s);
        row("low", {show(1.5, u"CNY"_s)},
            u"\u00a5 1,50| |Guthaben knapp \u2014 bitte aufladen.|09:05 Uhr|Red"_s);
        row("error", {std::bind(&Panel::showError, std::placeholders::_1, u"<b>503</b>"_s)},
            u"$ \u2013| |<b>503</b>|* Uhr (fehlgeschlagen)|Red"_s);
        row("no key", {&Panel::showNoKey},
            u"$ \u2013| |Kein API-Key f\u00fcr DeepSeek hinterlegt.|\u2013|Orange"_s);
        row("loading keeps the result", {good, &Panel::showLoading},
            u"$ 12,50|Bonus $ 10,00|Lade \u2026|09:05 Uhr|Secondary"_s);
        row("three details", {show(50, u"CNY"_s, {{u"A"_s, 1234.5}, {u"B"_s, 2}, {u"C"_s, -0.5}})},
            u"?|A \u00a5 1.234,50 \u00b7 B \u00a5 2,00 \u00b7 C \u00a5 -0,50|?|?|Secondary"_s);
        // Low is below 2, compared unrounded; NaN is never low.
        for (const double total : {1.99, 1.999, 0.0, -3.0})
            QTest::addRow("%g", total) << Ops {show(total)} << u"?|?|?|?|Red"_s;
        for (const double total : {2.0, qQNaN()})
            QTest::addRow("%g", total) << Ops {show(total)} << u"?|?|?|?|Secondary"_s;
    }

    void showStates()
    {
        QFETCH(Ops, ops);
        QFETCH(QString, expected);
        QStringList e = expected.split(u'|');
        e[3] = e[3] == u"?"_s ? e[3] : u"Zuletzt abgefragt: "_s + e[3];
        const auto role = Role(QMetaEnum::fromType<Role>().keyToValue(qPrintable(e[4])));
        for (const bool viewFirst : {true, false}) { // the view built before or after the ops
            Panel panel;
            if (viewFirst)
                panel.view();
            QSignalSpy changed(&panel, &Panel::changed);
            const QString before = Format::time(QDateTime::currentDateTime());
            for (const auto &op : ops)
                op(panel);
            const QString after = Format::time(QDateTime::currentDateTime());
            QCOMPARE(changed.count(), ops.size());
            QWidget *view = panel.view();
            const QList<QLabel *> shown = view->findChildren<QLabel *>(); // top to bottom
            QCOMPARE(shown[0]->text(), u"DeepSeek-Guthaben"_s);
            for (int i = 0; i < 4; ++i)
                if (e[i] != u"?"_s && shown[i + 1]->text() != QString(e[i]).replace(u'*', before))
                    QCOMPARE(shown[i + 1]->text(), QString(e[i]).replace(u'*', after));
            QCOMPARE(shown[3]->textFormat(), Qt::PlainText); // server text is not markup
            if (viewFirst)
                QCOMPARE(shown[3]->palette().color(QPalette::WindowText),
                         Panel::color(role, view->palette()));
        }
    }

    void history_data()
    {
        QTest::addColumn<Ops>("ops");
        QTest::addColumn<bool>("chartShown");
        QTest::addColumn<QString>("forecastShown");
        QTest::addColumn<int>("changes");
        const auto row
            = [](const char *name, const Ops &ops, bool chart, const QString &line, int changes) {
                  QTest::newRow(name) << ops << chart << line << changes;
              };
        const auto good = show(12.5);
        const auto provider = [](Provider p) {
            return [p](Panel &panel) {
                panel.setProvider(p);
            };
        };
        row("shown", {good, withHistory(3)}, true, forecast, 2);
        row("no forecast line", {good, withHistory(3, {})}, true, {}, 1);
        row("one sample: no chart", {good, withHistory(1)}, false, forecast, 2);
        row("loading keeps them", {good, withHistory(3), &Panel::showLoading}, true, forecast, 3);
        row("the same provider keeps them", {good, withHistory(3), provider(Provider::deepseek)},
            true, forecast, 2);
        row("another provider clears them", {good, withHistory(3), provider(Provider::moonshot)},
            false, {}, 3);
        row("no key clears them", {good, withHistory(3), &Panel::showNoKey}, false, {}, 3);
        row("an error clears them",
            {good, withHistory(3), std::bind(&Panel::showError, std::placeholders::_1, u"x"_s)},
            false, {}, 3);
    }

    void history()
    {
        QFETCH(Ops, ops);
        QFETCH(bool, chartShown);
        QFETCH(QString, forecastShown);
        QFETCH(int, changes);
        enum { ViewFirst, ViewAfter, ViewDeletedAfter };
        for (const int order : {ViewFirst, ViewAfter, ViewDeletedAfter}) {
            Panel panel;
            if (order != ViewAfter)
                panel.view();
            QSignalSpy changed(&panel, &Panel::changed);
            for (const auto &op : ops)
                op(panel);
            QCOMPARE(changed.count(), changes);
            if (order == ViewDeletedAfter)
                delete panel.view();
            QWidget *view = panel.view();

            // Below the time line and above the buttons, the rest of the panel as before.
            const QList<QLabel *> labels = view->findChildren<QLabel *>();
            QCOMPARE(labels.size(), 7); // the last, the notices, stands under the status
            QCOMPARE(labels[0]->text(), panel.provider().titleText());
            QCOMPARE(labels[4]->text(), panel.timeText());
            const auto *chart = view->findChild<BalanceChart *>();
            const auto *layout = qobject_cast<QBoxLayout *>(view->layout());
            QVERIFY(chart && layout);
            QCOMPARE(layout->indexOf(chart), layout->indexOf(labels[4]) + 1);
            QCOMPARE(layout->indexOf(labels[5]), layout->indexOf(chart) + 1);
            QVERIFY(layout->itemAt(layout->indexOf(labels[5]) + 1)->layout()); // the buttons

            QCOMPARE(chart->isVisibleTo(view), chartShown);
            QCOMPARE(labels[5]->isVisibleTo(view), !forecastShown.isEmpty());
            QCOMPARE(labels[5]->text(), forecastShown);
            QCOMPARE(labels[5]->palette().color(QPalette::WindowText),
                     Panel::color(Role::Secondary, view->palette()));
            QStringList expected = panel.summaryLines();
            if (!forecastShown.isEmpty())
                QCOMPARE(expected.takeLast(), forecastShown);
            QCOMPARE(expected.last(), panel.timeText());
        }
    }

    // A notice wraps within the panel's width, and the panel, which takes the size its content
    // asks for, leaves room for every line of it.
    void noticeIsNotCutOff()
    {
        Panel panel;
        panel.showNotices({u"Der Verlauf wird gerade nicht gespeichert (der Datenträger ist "
                           "voll); die Werte werden nachgetragen."_s,
                           u"Die Anbieterwahl lässt sich nicht speichern; sie gilt, bis "
                           "CreditGauge beendet wird."_s});
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        layout->setSizeConstraint(QLayout::SetFixedSize); // as the popover does
        layout->addWidget(panel.view());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QLabel *notice = panel.view()->findChildren<QLabel *>().last();
        QCOMPARE(notice->text().count(u'\n'), 1);
        QVERIFY(notice->isVisible());
        QVERIFY2(notice->height() >= notice->heightForWidth(notice->width()),
                 qPrintable(u"%1 px for %2"_s.arg(notice->height())
                                .arg(notice->heightForWidth(notice->width()))));
    }

    void providerAndViewLifetime()
    {
        QVERIFY(Settings::setProvider(Provider::moonshot));
        Panel panel;
        QCOMPARE(panel.titleText(), u"Moonshot-Guthaben"_s);
        delete panel.view(); // as a window that took it over does; the next is built anew
        panel.setProvider(Provider::openrouter);
        panel.showNoKey();
        QCOMPARE(panel.summary(), // the tooltip: the labels that are not blank
                 u"OpenRouter-Guthaben\n$ \u2013\nKein API-Key f\u00fcr "
                 "OpenRouter hinterlegt.\nZuletzt abgefragt: \u2013"_s);
        QCOMPARE(panel.view()->findChild<QLabel *>()->text(), u"OpenRouter-Guthaben"_s);
    }

    void buttons()
    {
        Panel panel, bare;
        QList<int> calls(4);
        panel.onRefresh = std::function<void()>([&calls] { ++calls[0]; });
        panel.onSwitchProvider = std::function<void()>([&calls] { ++calls[1]; });
        panel.onChangeKey = std::function<void()>([&calls] { ++calls[2]; });
        panel.onQuit = std::function<void()>([&calls] { ++calls[3]; });
        show(5)(panel);
        const QStringList names {u"Aktualisieren"_s, u"Anbieter\u2026"_s, u"Key\u2026"_s};
        for (QPushButton *b : panel.view()->findChildren<QPushButton *>()) {
            const int i = names.indexOf(b->text());
            QTest::mouseClick(b, Qt::LeftButton);
            QCOMPARE(calls.value(i), 1);
            QTest::mouseClick(bare.view()->findChildren<QPushButton *>().at(i), Qt::LeftButton);
        }
        QCOMPARE(calls, QList<int>({1, 1, 1, 0})); // no button quits
    }

    // 4.5:1 against a light and a dark window, each with the text colour Qt picks for it.
    void contrast()
    {
        for (const QColor window : {QColor(0xef, 0xef, 0xef), QColor(0x2b, 0x2b, 0x2b)}) {
            for (const Role role : {Role::Secondary, Role::Tertiary, Role::Red, Role::Orange}) {
                const QColor c = Panel::color(role, QPalette(window, window));
                const double a = luminance(c), b = luminance(window);
                QVERIFY2(qMax(a, b) + 0.05 >= 4.5 * (qMin(a, b) + 0.05), qPrintable(c.name()));
            }
        }
    }
};

QTEST_MAIN(TestBalanceViewController)
#include "TestBalanceViewController.moc"
