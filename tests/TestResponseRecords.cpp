#include "providers/ResponseRecords.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>

using namespace creditgauge;

Q_DECLARE_METATYPE(std::optional<double>)

namespace {

// The LB decoded from `json`, given as the text of one JSON value.
LB lbOf(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson("{\"v\":" + json + "}");
    Q_ASSERT(doc.isObject());
    return LB::decode(doc.object().value(QLatin1StringView("v")));
}

enum Record { DS, ORC, ORK, MS };

bool decodes(Record record, const QByteArray &body)
{
    switch (record) {
    case DS:
        return DSResponse::decode(body).has_value();
    case ORC:
        return ORCredits::decode(body).has_value();
    case ORK:
        return ORKey::decode(body).has_value();
    case MS:
        return MSResponse::decode(body).has_value();
    }
    return false;
}

} // namespace

class TestResponseRecords : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lenientAmount_data();
    void lenientAmount();
    void lenientAmountSpecialForms();
    void structure_data();
    void structure();
    void fieldsLandWhereTheyBelong();
};

void TestResponseRecords::lenientAmount_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<std::optional<double>>("expected");
    const std::optional<double> none;

    QTest::newRow("number") << QByteArray("12.5") << std::optional(12.5);
    QTest::newRow("integer number") << QByteArray("110") << std::optional(110.0);
    QTest::newRow("large integer") << QByteArray("9007199254740993") << std::optional(9007199254740992.0);
    QTest::newRow("text with point") << QByteArray(R"("12.50")") << std::optional(12.5);
    QTest::newRow("text with comma") << QByteArray(R"("12,50")") << std::optional(12.5);
    QTest::newRow("negative text") << QByteArray(R"("-3")") << std::optional(-3.0);
    QTest::newRow("exponent text") << QByteArray(R"("1e3")") << std::optional(1000.0);
    QTest::newRow("plus sign") << QByteArray(R"("+4.25")") << std::optional(4.25);
    QTest::newRow("hex text") << QByteArray(R"("0x1p3")") << std::optional(8.0);
    QTest::newRow("empty text") << QByteArray(R"("")") << none;
    QTest::newRow("leading blank") << QByteArray(R"(" 12.5")") << none;
    QTest::newRow("leading tab") << QByteArray(R"("\t12.5")") << none;
    QTest::newRow("leading newline") << QByteArray(R"("\n12.5")") << none;
    QTest::newRow("trailing blank") << QByteArray(R"("12.5 ")") << none;
    QTest::newRow("german grouping") << QByteArray(R"("1.234,56")") << none;
    QTest::newRow("currency suffix") << QByteArray(R"("12 EUR")") << none;
    QTest::newRow("embedded NUL") << QByteArray(R"("12\u00005")") << none;
    QTest::newRow("words") << QByteArray(R"("n/a")") << none;
    QTest::newRow("overflow") << QByteArray(R"("1e999")") << none;
    QTest::newRow("boolean") << QByteArray("true") << none;
    QTest::newRow("object") << QByteArray("{}") << none;
    QTest::newRow("array") << QByteArray("[1]") << none;
}

void TestResponseRecords::lenientAmount()
{
    QFETCH(QByteArray, json);
    QFETCH(std::optional<double>, expected);
    const LB lb = lbOf(json);
    QCOMPARE(lb.value.has_value(), expected.has_value());
    if (expected)
        QCOMPARE(*lb.value, *expected);
}

void TestResponseRecords::lenientAmountSpecialForms()
{
    const LB inf = lbOf(R"("inf")");
    QVERIFY(inf.value && std::isinf(*inf.value) && *inf.value > 0);
    const LB nan = lbOf(R"("NaN")");
    QVERIFY(nan.value && std::isnan(*nan.value));
}

void TestResponseRecords::structure_data()
{
    QTest::addColumn<int>("record");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("decodes");

    for (const auto &[record, name] : { std::pair(DS, "DS"), std::pair(ORC, "ORCredits"),
                                        std::pair(ORK, "ORKey"), std::pair(MS, "MS") }) {
        const auto row = [name](const char *what) -> QTestData & { return QTest::addRow("%s: %s", name, what); };
        row("empty object") << int(record) << QByteArray("{}") << true;
        row("empty body") << int(record) << QByteArray() << false;
        row("not JSON") << int(record) << QByteArray("<html>") << false;
        row("truncated") << int(record) << QByteArray(R"({"data": {)") << false;
        row("top-level array") << int(record) << QByteArray("[]") << false;
        row("top-level string") << int(record) << QByteArray(R"("x")") << false;
        row("top-level number") << int(record) << QByteArray("1") << false;
        row("top-level null") << int(record) << QByteArray("null") << false;
        row("unknown keys") << int(record) << QByteArray(R"({"label": [1, {}], "x": null})") << true;
        if (record != DS) {
            row("data null") << int(record) << QByteArray(R"({"data": null})") << true;
            row("data text") << int(record) << QByteArray(R"({"data": "x"})") << false;
            row("data array") << int(record) << QByteArray(R"({"data": []})") << false;
            row("extra key in data") << int(record) << QByteArray(R"({"data": {"label": "x"}})") << true;
            row("amounts unreadable") << int(record)
                                      << QByteArray(R"({"data": {"total_credits": true, "usage": {},
                                         "limit": "x", "available_balance": []}})")
                                      << true;
        }
    }

    QTest::newRow("DS: is_available text") << int(DS) << QByteArray(R"({"is_available": "true"})") << false;
    QTest::newRow("DS: is_available number") << int(DS) << QByteArray(R"({"is_available": 1})") << false;
    QTest::newRow("DS: is_available null") << int(DS) << QByteArray(R"({"is_available": null})") << true;
    QTest::newRow("DS: empty infos") << int(DS) << QByteArray(R"({"balance_infos": []})") << true;
    QTest::newRow("DS: infos object") << int(DS) << QByteArray(R"({"balance_infos": {}})") << false;
    QTest::newRow("DS: null entry") << int(DS) << QByteArray(R"({"balance_infos": [null]})") << false;
    QTest::newRow("DS: number entry") << int(DS) << QByteArray(R"({"balance_infos": [1]})") << false;
    QTest::newRow("DS: bad later entry")
            << int(DS) << QByteArray(R"({"balance_infos": [{}, {"currency": 5}]})") << false;
    QTest::newRow("DS: currency number")
            << int(DS) << QByteArray(R"({"balance_infos": [{"currency": 5}]})") << false;
    QTest::newRow("DS: total unreadable")
            << int(DS) << QByteArray(R"({"balance_infos": [{"total_balance": true}]})") << true;
    QTest::newRow("MS: code text") << int(MS) << QByteArray(R"({"code": "0", "data": {}})") << false;
    QTest::newRow("MS: code zero") << int(MS) << QByteArray(R"({"code": 0})") << true;
    QTest::newRow("MS: code negative") << int(MS) << QByteArray(R"({"code": -7})") << true;
    QTest::newRow("MS: code fraction") << int(MS) << QByteArray(R"({"code": 1.5})") << false;
    QTest::newRow("MS: code exponent") << int(MS) << QByteArray(R"({"code": 1e3})") << true;
    QTest::newRow("MS: code beyond 64 bits")
            << int(MS) << QByteArray(R"({"code": 9223372036854775808})") << false;
    QTest::newRow("MS: code bool") << int(MS) << QByteArray(R"({"code": false})") << false;
}

void TestResponseRecords::structure()
{
    QFETCH(int, record);
    QFETCH(QByteArray, body);
    QTEST(decodes(Record(record), body), "decodes");
}

void TestResponseRecords::fieldsLandWhereTheyBelong()
{
    const auto ds = DSResponse::decode(R"({"is_available": false, "balance_infos": [
        {"currency": "CNY", "total_balance": "110,00", "granted_balance": 10, "topped_up_balance": "100.00"},
        {"currency": "USD", "total_balance": null}]})");
    QVERIFY(ds && ds->balanceInfos && ds->balanceInfos->size() == 2);
    QCOMPARE(ds->isAvailable, std::optional(false));
    const DSInfo &first = ds->balanceInfos->front();
    QCOMPARE(first.currency, std::optional(QStringLiteral("CNY")));
    QCOMPARE(amountOf(first.totalBalance), std::optional(110.0));
    QCOMPARE(amountOf(first.grantedBalance), std::optional(10.0));
    QCOMPARE(amountOf(first.toppedUpBalance), std::optional(100.0));
    QVERIFY(!ds->balanceInfos->at(1).totalBalance); // null is absent

    const auto credits = ORCredits::decode(R"({"data": {"total_credits": 25, "total_usage": "2,5"}})");
    QVERIFY(credits && credits->data);
    QCOMPARE(amountOf(credits->data->totalCredits), std::optional(25.0));
    QCOMPARE(amountOf(credits->data->totalUsage), std::optional(2.5));

    const auto key = ORKey::decode(R"({"data": {"usage": 2, "limit": "10", "limit_remaining": 8}})");
    QVERIFY(key && key->data);
    QCOMPARE(amountOf(key->data->usage), std::optional(2.0));
    QCOMPARE(amountOf(key->data->limit), std::optional(10.0));
    QCOMPARE(amountOf(key->data->limitRemaining), std::optional(8.0));

    const auto ms = MSResponse::decode(
            R"({"code": 1, "data": {"available_balance": 5.5, "voucher_balance": 1, "cash_balance": "4.5"}})");
    QVERIFY(ms && ms->data);
    QCOMPARE(ms->code, std::optional<std::int64_t>(1));
    QCOMPARE(amountOf(ms->data->availableBalance), std::optional(5.5));
    QCOMPARE(amountOf(ms->data->voucherBalance), std::optional(1.0));
    QCOMPARE(amountOf(ms->data->cashBalance), std::optional(4.5));
}

QTEST_GUILESS_MAIN(TestResponseRecords)
#include "TestResponseRecords.moc"
