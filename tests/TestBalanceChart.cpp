#include "ui/BalanceChart.h"

#include <QTest>

#include <algorithm>

using namespace creditgauge;
using namespace Qt::StringLiterals;

// Noon, so the window's first day is the same date in any time zone the test runs in.
const QDateTime now(QDate(2024, 12, 7), QTime(12, 0), Qt::UTC);

class TestBalanceChart : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stepPoints_data()
    {
        // "DAY:TOTAL[:CURRENCY] ...", days after the window's start (negative: before it), USD
        // unless said -> "DAY,VALUE" for each corner of the line, left to right.
        QTest::addColumn<QString>("row");
        for (const char *row :
             {"25:20 5:3 16:25 15:1.5 -> 5,3 15,3 15,1.5 16,1.5 16,25 25,25 25,20 30,20",
              "12:40:CNY 1:10 10:50:cny 3:9 -> 10,50 12,50 12,40 30,40", // newest currency only
              "-10:12 6:7 -3:10 -> 0,10 6,10 6,7 30,7", // the level before the window, pinned
              "5:1 10:-2 -> 5,1 10,1 10,-2 30,-2", // overdrawn: the axis goes below zero
              "-2:5:EUR 1:4:EUR 3:5 -> ", "-5:3 -> "})
            QTest::newRow(row) << QString::fromLatin1(row);
    }
    void stepPoints()
    {
        QFETCH(QString, row);
        QList<QPointF> expected;
        for (const QString &p : row.section(u" -> "_s, 1).split(u' ', Qt::SkipEmptyParts))
            expected.append({p.section(u',', 0, 0).toDouble(), p.section(u',', 1).toDouble()});
        const QRectF area(10, 5, 300, 100); // ten pixels a day
        QList<BalanceSample> history;
        for (const QString &s : row.section(u" -> "_s, 0, 0).split(u' ', Qt::SkipEmptyParts)) {
            const QStringList p = s.split(u':');
            history.append(
                {now.addDays(-BalanceChart::days).addMSecs(qint64(p[0].toDouble() * 86'400'000)),
                 Balance {p.value(2, u"USD"_s), p[1].toDouble(), {}}});
        }
        const QList<QPointF> points = BalanceChart::stepPoints(history, now, area);
        BalanceChart chart;
        chart.setSamples(history, now);
        QCOMPARE(chart.hasData(), !expected.isEmpty());
        QCOMPARE(points.size(), expected.size());
        if (expected.isEmpty())
            return;

        // y must be one falling linear function of the value, with the lower of zero and the
        // lowest value on the bottom edge.
        const double low = std::min(0.0, std::ranges::min(expected, {}, &QPointF::y).y());
        const double perUnit = (area.bottom() - points[0].y()) / (expected[0].y() - low);
        QVERIFY(perUnit > 0);
        for (qsizetype i = 0; i < points.size(); ++i) {
            QCOMPARE(points[i].x(), area.left() + 10 * expected[i].x());
            QCOMPARE(points[i].y(), area.bottom() - (expected[i].y() - low) * perUnit);
        }
    }
};

QTEST_MAIN(TestBalanceChart)
#include "TestBalanceChart.moc"
