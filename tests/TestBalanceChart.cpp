#include "ui/BalanceChart.h"

#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;
using Samples = QList<BalanceSample>;
Q_DECLARE_METATYPE(Samples)

namespace {

// Noon, so the window's first day is the same date in any time zone the test runs in.
const QDateTime now(QDate(2024, 12, 7), QTime(12, 0), Qt::UTC);
const QDateTime start = now.addDays(-BalanceChart::days);

// A sample `day` days after the window's start (negative: before it).
BalanceSample at(double day, double total, const QString &currency = u"USD"_s)
{
    return {start.addMSecs(qint64(day * 86'400'000)), Balance {currency, total, {}}};
}

} // namespace

class TestBalanceChart : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stepPoints_data()
    {
        QTest::addColumn<Samples>("samples");
        // (day in the window, value) for each corner of the line, left to right.
        QTest::addColumn<QList<QPointF>>("expected");
        QTest::newRow("steady spending")
            << Samples {at(0, 10), at(10, 8), at(20, 6)}
            << QList<QPointF> {{0, 10}, {10, 10}, {10, 8}, {20, 8}, {20, 6}, {30, 6}};
        QTest::newRow("top-up in the middle: an upward step at its time")
            << Samples {at(25, 20), at(5, 3), at(16, 25), at(15, 1.5)}
            << QList<QPointF> {{5, 3},   {15, 3},  {15, 1.5}, {16, 1.5},
                               {16, 25}, {25, 25}, {25, 20},  {30, 20}};
        QTest::newRow("samples before a currency switch ignored")
            << Samples {at(12, 40, u"CNY"_s), at(1, 10), at(10, 50, u"cny"_s), at(3, 9)}
            << QList<QPointF> {{10, 50}, {12, 50}, {12, 40}, {30, 40}};
        QTest::newRow("newest sample before the window pinned to its left edge")
            << Samples {at(-10, 12), at(6, 7), at(-3, 10)}
            << QList<QPointF> {{0, 10}, {6, 10}, {6, 7}, {30, 7}};
        QTest::newRow("overdrawn: the axis goes below zero")
            << Samples {at(5, 1), at(10, -2)}
            << QList<QPointF> {{5, 1}, {10, 1}, {10, -2}, {30, -2}};
        QTest::newRow("single sample") << Samples {at(3, 5)} << QList<QPointF> {};
        QTest::newRow("single sample, older ones in another currency")
            << Samples {at(-2, 5, u"EUR"_s), at(1, 4, u"EUR"_s), at(3, 5)} << QList<QPointF> {};
        QTest::newRow("only a sample before the window")
            << Samples {at(-5, 3)} << QList<QPointF> {};
    }

    void stepPoints()
    {
        QFETCH(Samples, samples);
        QFETCH(QList<QPointF>, expected);
        const QRectF area(10, 5, 300, 100); // ten pixels a day
        const QList<QPointF> points = BalanceChart::stepPoints(samples, now, area);

        BalanceChart chart;
        chart.setSamples(samples, now);
        QCOMPARE(chart.hasData(), !expected.isEmpty());
        QCOMPARE(points.size(), expected.size());
        if (expected.isEmpty())
            return;

        // y must be one falling linear function of the value, with the lower of zero and the
        // lowest value on the bottom edge and a little room above the highest.
        double low = 0, high = 0;
        for (const QPointF &e : expected) {
            low = std::min(low, e.y());
            high = std::max(high, e.y());
        }
        const double perUnit = (area.bottom() - points[0].y()) / (expected[0].y() - low);
        QVERIFY(perUnit > 0);
        for (qsizetype i = 0; i < points.size(); ++i) {
            QCOMPARE(points[i].x(), area.left() + 10 * expected[i].x());
            QCOMPARE(points[i].y(), area.bottom() - (expected[i].y() - low) * perUnit);
        }
        const double top = area.bottom() - (high - low) * perUnit;
        QVERIFY2(top > area.top() && top < area.top() + area.height() / 4,
                 qPrintable(QString::number(top)));
    }

    void description_data()
    {
        QTest::addColumn<Samples>("samples");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two top-ups, start before the window")
            << Samples {at(-5, 25), at(2, 1.5), at(3, 20), at(10, 15), at(11, 16), at(20, 12.5)}
            << u"Guthaben seit 7. November: h\u00f6chster Stand $ 25,00, tiefster $ 1,50, "
               "jetzt $ 12,50, 2 Aufladungen."_s;
        QTest::newRow("one top-up, thousands")
            << Samples {at(24, 1234.5, u"CNY"_s), at(22, 80, u"CNY"_s), at(20, 100, u"CNY"_s)}
            << u"Guthaben seit 27. November: h\u00f6chster Stand \u00a5 1.234,50, tiefster "
               "\u00a5 80,00, jetzt \u00a5 1.234,50, 1 Aufladung."_s;
        QTest::newRow("spending only")
            << Samples {at(29, 9.99), at(28, 10)}
            << u"Guthaben seit 5. Dezember: h\u00f6chster Stand $ 10,00, tiefster $ 9,99, "
               "jetzt $ 9,99, keine Aufladung."_s;
        QTest::newRow("single sample") << Samples {at(3, 5)} << QString();
    }

    void description()
    {
        QFETCH(Samples, samples);
        QFETCH(QString, expected);
        BalanceChart chart;
        chart.setSamples(samples, now);
        QCOMPARE(chart.accessibleName(), u"Verlauf der letzten 30 Tage"_s);
        QCOMPARE(chart.accessibleDescription(), expected);
    }
};

QTEST_MAIN(TestBalanceChart)
#include "TestBalanceChart.moc"
