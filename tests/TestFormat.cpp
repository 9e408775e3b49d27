#include "ui/Format.h"

#include <QTest>
#include <QTimeZone>

#include <limits>

using namespace creditgauge;

class TestFormat : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void symbol_data();
    void symbol();
    void amount_data();
    void amount();
    void titleIsAmountWithoutCents_data();
    void titleIsAmountWithoutCents();
    void time_data();
    void time();
};

void TestFormat::symbol_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("expected");
    QTest::newRow("USD") << "USD" << "$";
    QTest::newRow("usd lower") << "usd" << "$";
    QTest::newRow("Usd mixed") << "Usd" << "$";
    QTest::newRow("eur") << "eur" << "\u20ac";
    QTest::newRow("cny") << "cny" << "\u00a5";
    QTest::newRow("rmb") << "rmb" << "\u00a5";
    QTest::newRow("unknown kept in its case") << "chf" << "chf";
    QTest::newRow("unknown upper") << "XYZ" << "XYZ";
    QTest::newRow("empty") << "" << "";
}

void TestFormat::symbol()
{
    QFETCH(QString, code);
    QFETCH(QString, expected);
    QCOMPARE(Format::symbol(code), expected);
}

void TestFormat::amount_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("currency");
    QTest::addColumn<bool>("cents");
    QTest::addColumn<QString>("expected");

    QTest::newRow("cents") << 12.5 << "CNY" << true << "\u00a5 12,50";
    QTest::newRow("no cents rounds half away") << 12.5 << "CNY" << false << "\u00a5 13";
    QTest::newRow("grouping") << 1234567.891 << "usd" << true << "$ 1.234.567,89";
    QTest::newRow("negative") << -3.2 << "EUR" << true << "\u20ac -3,20";
    QTest::newRow("zero") << 0.0 << "RMB" << true << "\u00a5 0,00";
    QTest::newRow("unknown code") << 7.0 << "gbp" << true << "gbp 7,00";
    QTest::newRow("empty code") << 12.5 << "" << true << " 12,50";
    QTest::newRow("rounds down") << 1.49 << "USD" << false << "$ 1";
    QTest::newRow("tiny") << 0.004 << "USD" << true << "$ 0,00";
    QTest::newRow("half to one") << 0.5 << "USD" << false << "$ 1";
    QTest::newRow("1.5 away from even") << 1.5 << "USD" << false << "$ 2";
    QTest::newRow("2.5 away from even") << 2.5 << "USD" << false << "$ 3";
    QTest::newRow("-2.5 away from zero") << -2.5 << "USD" << false << "$ -3";
    QTest::newRow("0.125 tie") << 0.125 << "USD" << true << "$ 0,13";
    QTest::newRow("carry into new group") << 999.999 << "USD" << true << "$ 1.000,00";
    QTest::newRow("four digits grouped") << 1234.0 << "USD" << false << "$ 1.234";
    QTest::newRow("three digits") << 123.0 << "USD" << false << "$ 123";
    QTest::newRow("leading zero") << 0.5 << "USD" << true << "$ 0,50";
    QTest::newRow("padded") << 7.0 << "USD" << true << "$ 7,00";
    QTest::newRow("no exponent") << 1e20 << "USD" << false << "$ 100.000.000.000.000.000.000";
    QTest::newRow("negative rounding to zero") << -0.001 << "USD" << true << "$ 0,00";
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << "USD" << true << "$ \u2013";
    QTest::newRow("inf") << std::numeric_limits<double>::infinity() << "EUR" << true
                         << "\u20ac \u221e";
    QTest::newRow("-inf") << -std::numeric_limits<double>::infinity() << "USD" << false
                          << "$ -\u221e";
}

void TestFormat::amount()
{
    QFETCH(double, value);
    QFETCH(QString, currency);
    QFETCH(bool, cents);
    QFETCH(QString, expected);
    QCOMPARE(Format::amount(value, currency, cents), expected);
}

void TestFormat::titleIsAmountWithoutCents_data()
{
    amount_data();
}

void TestFormat::titleIsAmountWithoutCents()
{
    QFETCH(double, value);
    QFETCH(QString, currency);
    QCOMPARE(Format::title(value, currency), Format::amount(value, currency, false));
}

void TestFormat::time_data()
{
    QTest::addColumn<QTime>("clock");
    QTest::addColumn<QString>("expected");
    QTest::newRow("evening") << QTime(21, 15, 59) << "21:15";
    QTest::newRow("after midnight") << QTime(0, 7) << "00:07";
    QTest::newRow("padded") << QTime(9, 5) << "09:05";
}

void TestFormat::time()
{
    QFETCH(QTime, clock);
    QFETCH(QString, expected);
    // A local time given in UTC must still come out as the local clock reading.
    const QDateTime local(QDate(2026, 3, 1), clock);
    QCOMPARE(Format::time(local), expected);
    QCOMPARE(Format::time(local.toUTC()), expected);
}

QTEST_GUILESS_MAIN(TestFormat)
#include "TestFormat.moc"
