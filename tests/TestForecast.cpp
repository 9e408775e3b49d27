#include "history/Forecast.h"

#include <QTest>
#include <QTimeZone>

using namespace creditgauge;
using namespace Qt::StringLiterals;

namespace {

const QDateTime now(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);

// (hours before now, total) in USD, or in `currency` where given; the account's credit unless
// said otherwise.
struct Point
{
    double hoursAgo;
    double total;
    QString currency = u"USD"_s;
    BalanceFigure figure = BalanceFigure::Credit;
};

QList<BalanceSample> samples(std::initializer_list<Point> points)
{
    QList<BalanceSample> result;
    for (const Point &p : points)
        result.append(
            {now.addSecs(qint64(-p.hoursAgo * 3600)), {p.currency, p.total, {}, p.figure}});
    return result;
}

} // namespace

class TestForecast : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pace_data()
    {
        QTest::addColumn<QList<BalanceSample>>("history");
        QTest::addColumn<double>("perDay"); // -1: no forecast
        QTest::addColumn<double>("daysLeft");
        QTest::newRow("steady: 1 a day, 10 left")
            << samples({{144, 16}, {120, 15}, {96, 14}, {72, 13}, {48, 12}, {24, 11}, {0, 10}})
            << 1.0 << 10.0;
        QTest::newRow("top-up in the middle is not negative spending")
            << samples({{48, 5}, {36, 4}, {24, 3}, {23, 23}, {0, 21}}) << 2.0 << 10.5;
        QTest::newRow("in any order") << samples({{0, 10}, {48, 12}, {24, 11}}) << 1.0 << 10.0;
        QTest::newRow("flat") << samples({{72, 8}, {24, 8}, {0, 8}}) << -1.0 << 0.0;
        QTest::newRow("only top-ups") << samples({{48, 1}, {0, 30}}) << -1.0 << 0.0;
        QTest::newRow("under a day") << samples({{23, 9}, {0, 5}}) << -1.0 << 0.0;
        QTest::newRow("a single sample") << samples({{0, 5}}) << -1.0 << 0.0;
        QTest::newRow("nothing") << QList<BalanceSample>() << -1.0 << 0.0;
        // Only the last 7 days count: the fast spending before them does not.
        QTest::newRow("older than a week left out")
            << samples({{400, 100}, {168, 14}, {0, 7}}) << 1.0 << 7.0;
        // After a switch of currency only the newest currency's samples are comparable.
        QTest::newRow("mixed currencies")
            << samples({{96, 700, u"CNY"_s}, {72, 500, u"CNY"_s}, {48, 6}, {0, 4}}) << 1.0 << 4.0;
        QTest::newRow("mixed currencies, too short in the newest")
            << samples({{96, 700, u"CNY"_s}, {48, 500, u"CNY"_s}, {12, 6}, {0, 4}}) << -1.0 << 0.0;
        QTest::newRow("currency in another letter case")
            << samples({{48, 12, u"usd"_s}, {0, 10}}) << 1.0 << 10.0;
        // A key's limit is another figure than the account's credit: the switch is no spending.
        constexpr auto keyLimit = BalanceFigure::KeyLimit;
        QTest::newRow("key limit after credit") << samples(
            {{96, 50}, {72, 49}, {48, 8, u"USD"_s, keyLimit}, {0, 6, u"USD"_s, keyLimit}})
                                                << 1.0 << 6.0;
        QTest::newRow("overdrawn lasts no day") << samples({{24, 1}, {0, -0.5}}) << 1.5 << 0.0;
    }
    void pace()
    {
        QFETCH(QList<BalanceSample>, history);
        QFETCH(double, perDay);
        const std::optional<SpendingForecast> f = Forecast::compute(history, now);
        if (perDay < 0) {
            QVERIFY(!f);
            return;
        }
        QVERIFY(f);
        QCOMPARE(f->perDay, perDay);
        QTEST(f->daysLeft, "daysLeft");
    }

    void line_data()
    {
        QTest::addColumn<SpendingForecast>("forecast");
        QTest::addColumn<QString>("line");
        QTest::newRow("days") << SpendingForecast {u"USD"_s, 1.2, 16.4}
                              << u"≈ $ 1,20 pro Tag · reicht noch ≈ 16 Tage"_s;
        QTest::newRow("one day") << SpendingForecast {u"CNY"_s, 3.5, 1.4}
                                 << u"≈ ¥ 3,50 pro Tag · reicht noch ≈ 1 Tag"_s;
        QTest::newRow("less than a day") << SpendingForecast {u"USD"_s, 4, 0.4}
                                         << u"≈ $ 4,00 pro Tag · reicht keinen Tag mehr"_s;
        QTest::newRow("years") << SpendingForecast {u"USD"_s, 0.01, 2500}
                               << u"≈ $ 0,01 pro Tag · reicht noch ≈ 2.500 Tage"_s;
    }
    void line()
    {
        QFETCH(SpendingForecast, forecast);
        QTEST(Forecast::line(forecast), "line");
    }
};

QTEST_GUILESS_MAIN(TestForecast)
#include "TestForecast.moc"
