#include "providers/BalanceAssembly.h"

#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

namespace {

enum class Step { DeepSeek, Credits, Key, Moonshot };

// A result as one comparable line: "USD 8.5; Key-Limit 10; Verbraucht 1.5", the message, or
// "key step" where OpenRouter's credits answer is not enough.
QString show(const std::optional<BalanceResult> &r)
{
    if (!r)
        return u"key step"_s;
    if (!*r)
        return r->error().m;
    QString s = (*r)->currency + u' ' + QString::number((*r)->total, 'g', 17);
    for (const BalanceDetail &d : (*r)->details)
        s += u"; %1 %2"_s.arg(d.name, QString::number(d.amount, 'g', 17));
    return s;
}

std::optional<BalanceResult> assemble(Step step, const RequestResult &response)
{
    switch (step) {
    case Step::DeepSeek:
        return BalanceAssembly::deepseek(response);
    case Step::Credits:
        if (auto balance = BalanceAssembly::openrouterCredits(response))
            return BalanceResult(*balance);
        return std::nullopt;
    case Step::Key:
        return BalanceAssembly::openrouterKey(response);
    case Step::Moonshot:
        return BalanceAssembly::moonshot(response);
    }
    return std::nullopt;
}

QByteArray dsWithCurrency(const QByteArray &currency)
{
    return R"({"balance_infos":[{"currency":)" + currency + R"(,"total_balance":2}]})";
}

} // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(RequestResult)

// Every provider's answer to a Balance or a message, without HTTP; TestProviderClient covers
// the transport.
class TestBalanceAssembly : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void assemble_data()
    {
        QTest::addColumn<Step>("step");
        QTest::addColumn<RequestResult>("response");
        QTest::addColumn<QString>("expected");
        const auto body = [](const char *name, Step step, const QByteArray &json, const QString &e) {
            QTest::newRow(name) << step << RequestResult(json) << e;
        };
        const auto failed = [](const char *name, Step step, std::int64_t status, const QString &e) {
            QTest::newRow(name) << step << RequestResult(std::unexpected(HTTPFailure {status})) << e;
        };
        const QString unreadable = u"Antwort nicht lesbar"_s, noTotal = u"Antwort ohne Guthabenangabe"_s;
        const Step ds = Step::DeepSeek, cr = Step::Credits, key = Step::Key, ms = Step::Moonshot;

        failed("no response", ds, HTTPFailure::noResponse, u"Netzwerkfehler"_s);
        failed("invalid address", ms, HTTPFailure::invalidAddress, u"Ungültige Adresse"_s);
        failed("401", key, 401, u"API-Key ungültig (401)"_s);
        failed("403", ds, 403, u"API-Key ungültig (403)"_s);
        failed("429", ms, 429, u"Zu viele Abfragen (429)"_s);
        failed("204", ds, 204, u"Serverfehler (HTTP 204)"_s);
        failed("500", key, 500, u"Serverfehler (HTTP 500)"_s);
        failed("credits 403 leads to the key step", cr, 403, u"key step"_s);

        body("ds details in fixed order", ds, R"({"is_available": true, "balance_infos": [{"currency":
             "EUR", "total_balance": "110.00", "granted_balance": "10.00", "topped_up_balance":
             "100.00"}]})", u"EUR 110; Aufgeladen 100; Geschenkt 10"_s);
        body("ds first entry only, USD by default", ds,
             R"({"balance_infos":[{"total_balance":1.5},{"currency":"CNY","total_balance":9}]})",
             u"USD 1.5"_s);
        body("ds empty", ds, "{}", noTotal);
        body("ds empty list", ds, R"({"balance_infos": []})", noTotal);
        body("ds unreadable total", ds, R"({"balance_infos": [{"total_balance": "n/a"}]})", noTotal);
        body("ds unavailable", ds, R"({"is_available": false, "balance_infos": [{"total_balance":
             5}]})", u"Guthaben nicht verfügbar"_s);
        body("ds unavailable without total", ds, R"({"is_available": false})", noTotal);
        body("ds not JSON", ds, "<html>", unreadable);
        body("ds empty body", ds, "", unreadable);
        // The currency reaches the title, the tooltip and the panel: only a code passes.
        body("ds lower-case code kept", ds, dsWithCurrency(R"("cny")"), u"cny 2"_s);
        body("ds empty code kept", ds, dsWithCurrency(R"("")"), u" 2"_s);
        body("ds markup as currency", ds, dsWithCurrency(R"("<b>X</b>")"), u"\u00a4 2"_s);
        body("ds control character", ds, dsWithCurrency(R"("US\nD")"), u"\u00a4 2"_s);
        body("ds megabyte currency", ds, dsWithCurrency('"' + QByteArray(1 << 20, 'A') + '"'),
             u"\u00a4 2"_s);

        body("credits, no usage", cr, R"({"data": {"total_credits": 25}})",
             u"USD 25; Aufgeladen 25; Verbraucht 0"_s);
        body("credits below usage, not clamped", cr, R"({"data": {"total_credits": 10,
             "total_usage": 12.5}})", u"USD -2.5; Aufgeladen 10; Verbraucht 12.5"_s);
        body("credits without data", cr, R"({"data": {}})", u"key step"_s);
        body("credits not JSON", cr, "oops", u"key step"_s);
        body("credits empty body", cr, "", u"key step"_s);

        body("key remaining and limit", key, R"({"data": {"usage": 2, "limit": 10,
             "limit_remaining": 8}})", u"USD 8; Key-Limit 10; Verbraucht 2"_s);
        body("key limit from remaining", key, R"({"data": {"usage": 2, "limit_remaining": 8}})",
             u"USD 8; Key-Limit 10; Verbraucht 2"_s);
        body("key limit minus usage", key, R"({"data": {"usage": 6.5, "limit": 5}})",
             u"USD -1.5; Key-Limit 5; Verbraucht 6.5"_s);
        body("key without limit", key, R"({"data": {"usage": 2, "limit": null}})",
             u"Guthaben braucht Management-Key"_s);
        body("key without data", key, R"({"data": null})", unreadable);

        body("ms details in fixed order", ms, R"({"code": 0, "data": {"available_balance": 5.5,
             "voucher_balance": 1, "cash_balance": 4.5}})", u"USD 5.5; Bargeld 4.5; Gutschein 1"_s);
        body("ms code not consulted", ms, R"({"code": 1, "data": {"available_balance": 5}})",
             u"USD 5"_s);
        body("ms without available", ms, R"({"data": {}})", noTotal);
        body("ms without data", ms, R"({"code": 0})", unreadable);
        body("ms code as text", ms, R"({"code": "0", "data": {"available_balance": 5}})",
             unreadable);
    }
    void assemble()
    {
        QFETCH(Step, step);
        QFETCH(RequestResult, response);
        QTEST(show(::assemble(step, response)), "expected");
    }
};

QTEST_APPLESS_MAIN(TestBalanceAssembly)
#include "TestBalanceAssembly.moc"
