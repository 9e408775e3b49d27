#include "history/Forecast.h"

#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

class TestForecast : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pace_data()
    {
        // Samples "HOURS_AGO:TOTAL[:CURRENCY[:key]]" (USD and the account's credit unless said;
        // "key": a key's limit) -> "PER_DAY DAYS_LEFT", or "-" for no forecast.
        QTest::addColumn<QString>("row");
        for (const char *row :
             {"0:10 48:12 24:11 -> 1 10", // in any order
              "48:5 36:4 24:3 23:23 0:21 -> 2 10.5", // a top-up is no negative spending
              "72:8 24:8 0:8 -> -", "23:9 0:5 -> -", " -> -",
              "400:100 168:14 0:7 -> 1 7", // only the last 7 days count
              // After a switch of currency or figure only the newest one's samples compare.
              "96:700:CNY 72:500:CNY 48:6 0:4 -> 1 4", "96:700:CNY 48:500:CNY 12:6 0:4 -> -",
              "48:12:usd 0:10 -> 1 10", "96:50 72:49 48:8:USD:key 0:6:USD:key -> 1 6",
              "24:1 0:-0.5 -> 1.5 0"})
            QTest::newRow(row) << QString::fromLatin1(row);
    }
    void pace()
    {
        QFETCH(QString, row);
        const QDateTime now(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);
        QList<BalanceSample> history;
        for (const QString &s : row.section(u" -> "_s, 0, 0).split(u' ', Qt::SkipEmptyParts)) {
            const QStringList p = s.split(u':');
            const auto figure
                = p.value(3) == u"key"_s ? BalanceFigure::KeyLimit : BalanceFigure::Credit;
            history.append({now.addSecs(qint64(-p[0].toDouble() * 3600)),
                            {p.value(2, u"USD"_s), p[1].toDouble(), {}, figure}});
        }
        const std::optional<SpendingForecast> f = Forecast::compute(history, now);
        QCOMPARE(f ? u"%1 %2"_s.arg(f->perDay).arg(f->daysLeft) : u"-"_s,
                 row.section(u" -> "_s, 1));
    }
};

QTEST_GUILESS_MAIN(TestForecast)
#include "TestForecast.moc"
