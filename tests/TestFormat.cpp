#include "core/Format.h"

#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

// German notation whatever the process locale (run under C and de_DE), rounded half away from
// zero, never with an exponent.
class TestFormat : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void amount_data()
    {
        QTest::addColumn<QString>("row"); // value|currency|with cents|expected
        for (const char *row :
             {"12.5|CNY|1|¥ 12,50", "12.5|Cny|0|¥ 13", "-2.5|USD|0|$ -3", "0.125|usd|1|$ 0,13",
              "999.999|eur|1|€ 1.000,00", "7|gbp|1|gbp 7,00", "-0.001|USD|1|$ 0,00",
              "nan|USD|1|$ –", "1e20|USD|0|$ 100.000.000.000.000.000.000", "-inf|USD|0|$ -∞"})
            QTest::newRow(row) << QString::fromUtf8(row);
    }
    void amount()
    {
        QFETCH(QString, row);
        const QStringList p = row.split(u'|');
        QCOMPARE(Format::amount(p[0].toDouble(), p[1], p[2] == u"1"_s), p[3]);
    }
};

QTEST_GUILESS_MAIN(TestFormat)
#include "TestFormat.moc"
