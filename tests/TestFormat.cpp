#include "core/Format.h"

#include <QTest>

#include <limits>

using namespace creditgauge;
using namespace Qt::StringLiterals;

class TestFormat : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void amount_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("currency");
        QTest::addColumn<bool>("cents");
        QTest::addColumn<QString>("expected");
        const auto row
            = [](const char *name, double v, const QString &c, bool cents, const QString &e) {
                  QTest::newRow(name) << v << c << cents << e;
              };
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        constexpr double inf = std::numeric_limits<double>::infinity();
        row("cents", 12.5, u"CNY"_s, true, u"¥ 12,50"_s);
        row("tie away from zero", 12.5, u"Cny"_s, false, u"¥ 13"_s);
        row("1.5 not to even", 1.5, u"usd"_s, false, u"$ 2"_s);
        row("negative tie", -2.5, u"USD"_s, false, u"$ -3"_s);
        row("exact tie in cents", 0.125, u"USD"_s, true, u"$ 0,13"_s);
        row("grouping", 1234567.891, u"usd"_s, true, u"$ 1.234.567,89"_s);
        row("carry into a new group", 999.999, u"USD"_s, true, u"$ 1.000,00"_s);
        row("four digits", 1234.0, u"USD"_s, false, u"$ 1.234"_s);
        row("negative euro", -3.2, u"eur"_s, true, u"€ -3,20"_s);
        row("rmb zero", 0.0, u"rmb"_s, true, u"¥ 0,00"_s);
        row("unknown code kept", 7.0, u"gbp"_s, true, u"gbp 7,00"_s);
        row("empty code", 12.5, QString(), true, u" 12,50"_s);
        row("rounds down", 1.49, u"USD"_s, false, u"$ 1"_s);
        row("no exponent", 1e20, u"USD"_s, false, u"$ 100.000.000.000.000.000.000"_s);
        row("negative rounding to zero", -0.001, u"USD"_s, true, u"$ 0,00"_s);
        row("nan", nan, u"USD"_s, true, u"$ –"_s);
        row("inf", inf, u"EUR"_s, true, u"€ ∞"_s);
        row("-inf", -inf, u"USD"_s, false, u"$ -∞"_s);
    }
    void amount()
    {
        QFETCH(double, value);
        QFETCH(QString, currency);
        QFETCH(bool, cents);
        QTEST(Format::amount(value, currency, cents), "expected");
        QCOMPARE(Format::title(value, currency), Format::amount(value, currency, false));
    }

    void timeIsLocalHoursAndMinutes()
    {
        const QDateTime evening(QDate(2026, 3, 1), QTime(21, 15, 59));
        QCOMPARE(Format::time(evening), u"21:15"_s);
        QCOMPARE(Format::time(evening.toUTC()), u"21:15"_s);
        QCOMPARE(Format::time(QDateTime(QDate(2026, 3, 1), QTime(9, 5))), u"09:05"_s);
    }
};

QTEST_GUILESS_MAIN(TestFormat)
#include "TestFormat.moc"
