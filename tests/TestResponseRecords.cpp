#include "providers/ResponseRecords.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>

using namespace creditgauge;

Q_DECLARE_METATYPE(std::optional<double>)

// Field mapping is covered through fetch() in TestProviderClient; this guards the decoding
// rules themselves: lenient amounts, strict everything else.
class TestResponseRecords : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lenientAmount_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<std::optional<double>>("expected");
        const std::optional<double> none;
        const auto row = [](const char *json, std::optional<double> v) {
            QTest::newRow(json) << QByteArray(json) << v;
        };
        row("12.5", 12.5);
        row(R"("12.50")", 12.5);
        row(R"("12,50")", 12.5);
        row(R"("-3")", -3.0);
        row(R"("1e3")", 1000.0);
        row(R"("0x1p3")", 8.0);
        row("999999999999999", 999999999999999.0);
        row(R"("-999999999999999")", -999999999999999.0);
        for (const char *absent : {R"("")", R"(" 12.5")", R"("\t12.5")", R"("12.5 ")",
                                   R"("1.234,56")", R"("12 EUR")", R"("12\u00005")", R"("1e999")",
                                   "1e15", R"("-1e297")", "9007199254740993", "true", "{}", "[1]"})
            row(absent, none);
    }
    void lenientAmount()
    {
        QFETCH(QByteArray, json);
        QFETCH(std::optional<double>, expected);
        const QJsonDocument doc = QJsonDocument::fromJson("{\"v\":" + json + "}");
        QCOMPARE(LB::decode(doc.object().value(QLatin1StringView("v"))).value, expected);
    }

    void specialNumericTexts()
    {
        const auto lb = [](const char *text) {
            return LB::decode(QJsonValue(QString::fromLatin1(text))).value;
        };
        QVERIFY(lb("inf") && std::isinf(*lb("inf")));
        QVERIFY(lb("NaN") && std::isnan(*lb("NaN")));
    }

    void structure_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("dsDecodes");
        QTest::addColumn<bool>("innerDecodes"); // ORCredits, ORKey and MSResponse alike
        QTest::newRow("empty object") << QByteArray("{}") << true << true;
        QTest::newRow("unknown keys")
            << QByteArray(R"({"label": [1, {}], "x": null})") << true << true;
        for (const char *bad : {"", "<html>", R"({"data": {)", "[]", R"("x")", "1", "null"})
            QTest::newRow(bad) << QByteArray(bad) << false << false;
        QTest::newRow("data null") << QByteArray(R"({"data": null})") << true << true;
        QTest::newRow("data text") << QByteArray(R"({"data": "x"})") << true << false;
        QTest::newRow("unreadable amounts")
            << QByteArray(R"({"data": {"total_credits": true, "usage": {},
            "limit": "x", "available_balance": []}, "balance_infos": [{"total_balance": true}]})")
            << true << true;
        QTest::newRow("is_available text")
            << QByteArray(R"({"is_available": "true"})") << false << true;
        QTest::newRow("is_available number")
            << QByteArray(R"({"is_available": 1})") << false << true;
        QTest::newRow("empty infos") << QByteArray(R"({"balance_infos": []})") << true << true;
        QTest::newRow("null entry") << QByteArray(R"({"balance_infos": [null]})") << false << true;
        QTest::newRow("bad later entry")
            << QByteArray(R"({"balance_infos": [{}, {"currency": 5}]})") << false << true;
    }
    void structure()
    {
        QFETCH(QByteArray, body);
        QTEST(DSResponse::decode(body).has_value(), "dsDecodes");
        QFETCH(bool, innerDecodes);
        QCOMPARE(ORCredits::decode(body).has_value(), innerDecodes);
        QCOMPARE(ORKey::decode(body).has_value(), innerDecodes);
        QCOMPARE(MSResponse::decode(body).has_value(), innerDecodes);
    }

    void moonshotCodeMustBeAnInteger_data()
    {
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<bool>("decodes");
        for (const char *ok : {"0", "-7", "1e3"})
            QTest::newRow(ok) << QByteArray(ok) << true;
        for (const char *bad : {R"("0")", "1.5", "9223372036854775808", "false"})
            QTest::newRow(bad) << QByteArray(bad) << false;
    }
    void moonshotCodeMustBeAnInteger()
    {
        QFETCH(QByteArray, code);
        QTEST(MSResponse::decode(R"({"data": {}, "code": )" + code + "}").has_value(), "decodes");
    }
};

QTEST_GUILESS_MAIN(TestResponseRecords)
#include "TestResponseRecords.moc"
