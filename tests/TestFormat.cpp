#include "core/Format.h"

#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

class TestFormat : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void amount_data()
    {
        QTest::addColumn<QString>("row"); // value|currency|with cents|expected
        for (const char *row :
             {"12.5|CNY|1|¥ 12,50", "12.5|Cny|0|¥ 13", "-2.5|USD|0|$ -3", "0.125|usd|1|$ 0,13",
              "1234567.891|usd|1|$ 1.234.567,89", "999.999|USD|1|$ 1.000,00", "0|rmb|1|¥ 0,00",
              "7|gbp|1|gbp 7,00", "1e20|USD|0|$ 100.000.000.000.000.000.000", "-0.001|USD|1|$ 0,00",
              "nan|USD|1|$ –", "inf|EUR|1|€ ∞", "-inf|USD|0|$ -∞"})
            QTest::newRow(row) << QString::fromUtf8(row);
    }
    void amount()
    {
        QFETCH(QString, row);
        const QStringList p = row.split(u'|');
        const double value = p[0].toDouble();
        QCOMPARE(Format::amount(value, p[1], p[2] == u"1"_s), p[3]);
        QCOMPARE(Format::title(value, p[1]), Format::amount(value, p[1], false));
    }

    void timeIsLocalHoursAndMinutes()
    {
        const QDateTime morning(QDate(2026, 3, 1), QTime(9, 5, 59));
        QCOMPARE(Format::time(morning.toUTC()), u"09:05"_s);
    }
};

QTEST_GUILESS_MAIN(TestFormat)
#include "TestFormat.moc"
