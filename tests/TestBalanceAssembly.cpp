#include "providers/BalanceAssembly.h"

#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

// Every provider's answer to a Balance or a message, without HTTP (TestProviderClient: transport).
// Amounts are lenient (a number or numeric text, never a reason to reject an answer); every other
// field must have its exact JSON type, or the answer is unreadable.
class TestBalanceAssembly : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void assemble_data()
    {
        // step|body|result: "USD 8.5; Key-Limit 10; Verbraucht 1.5", the message, or "key step"
        // where OpenRouter's credits answer is not enough. A body "!STATUS" is a failed
        // request; ? stands for "Antwort nicht lesbar", - for "Antwort ohne Guthabenangabe".
        QTest::addColumn<QString>("row");
        for (const char *row :
             {"ms|!429|Zu viele Abfragen (429)", "credits|!403|key step",
              R"(ds|{"is_available": true, "balance_infos": [{"currency": "EUR", )"
              R"("total_balance": "110.00", "granted_balance": "10.00", )"
              R"("topped_up_balance": "100.00"}]}|EUR 110; Aufgeladen 100; Geschenkt 10)",
              R"(ds|{"balance_infos":[{"total_balance":1.5},)"
              R"({"currency":"CNY","total_balance":9}]}|USD 1.5)",
              "ds|{}|-", R"(ds|{"balance_infos": []}|-)",
              R"(ds|{"is_available": false, "balance_infos": [{"total_balance": 5}]}|)"
              "Guthaben nicht verfügbar",
              R"(ds|{"is_available": false}|-)", "ds|<html>|?", "ds|[]|?",
              R"(ds|{"is_available": "true"}|?)", R"(ds|{"balance_infos": [null]}|?)",
              R"(ds|{"balance_infos": [{"total_balance": 1}, {"currency": 5}]}|?)",
              // The currency reaches the title, the tooltip and the panel: only a code passes.
              R"(ds|{"balance_infos":[{"currency":"cny","total_balance":2}]}|cny 2)",
              R"(ds|{"balance_infos":[{"currency":"<b>X</b>","total_balance":2}]}|¤ 2)",
              R"(credits|{"data": {"total_credits": 25}}|USD 25; Aufgeladen 25; Verbraucht 0)",
              R"(credits|{"data": {"total_credits": 10, "total_usage": 12.5}}|)"
              "USD -2.5; Aufgeladen 10; Verbraucht 12.5",
              R"(credits|{"data": {}}|key step)",
              R"(key|{"data": {"usage": 2, "limit": 10, "limit_remaining": 8}, "x": [1, {}]}|)"
              "USD 8; Key-Limit 10; Verbraucht 2",
              R"(key|{"data": {"usage": 2, "limit_remaining": 8}}|)"
              "USD 8; Key-Limit 10; Verbraucht 2",
              R"(key|{"data": {"usage": 6.5, "limit": 5}}|USD -1.5; Key-Limit 5; Verbraucht 6.5)",
              R"(key|{"data": {"usage": 2, "limit": null}}|Guthaben braucht Management-Key)",
              R"(key|{"data": null}|?)",
              R"(ms|{"code": 0, "data": {"available_balance": 5.5, "voucher_balance": 1, )"
              R"("cash_balance": 4.5}}|USD 5.5; Bargeld 4.5; Gutschein 1)",
              R"(ms|{"data": {}}|-)", R"(ms|{"code": 0}|?)",
              // Moonshot's code is read, never consulted, but must be a whole number.
              R"(ms|{"code": 1, "data": {"available_balance": 5}}|USD 5)",
              R"(ms|{"code": "0", "data": {"available_balance": 5}}|?)",
              R"(ms|{"code": 1.5, "data": {"available_balance": 5}}|?)"})
            QTest::newRow(row) << QString::fromUtf8(row);
        // Amounts read as in the C locale whatever the process's; a wrong type or an
        // implausible figure is no amount.
        for (const char *amount :
             {"12.5|12.5", R"("12,50"|12.5)", R"("-999999999999999"|-999999999999999)",
              R"("inf"|inf)", R"("nan"|nan)", R"(""|)", R"(" 12.5"|)", R"("1.234,56"|)",
              R"("12\u00005"|)", R"("1e999"|)", "1e15|", "true|"}) {
            const QString a = QString::fromUtf8(amount), shown = a.section(u'|', 1);
            QTest::newRow(amount) << u"ms|{\"data\": {\"available_balance\": %1}}|%2"_s.arg(
                a.section(u'|', 0, 0), shown.isEmpty() ? u"-"_s : u"USD "_s + shown);
        }
    }
    void assemble()
    {
        QFETCH(QString, row);
        const QString step = row.section(u'|', 0, 0), expected = row.section(u'|', -1);
        const QByteArray body = row.section(u'|', 1, -2).toUtf8();
        const RequestResult response = body.startsWith('!')
            ? RequestResult(std::unexpected(HTTPFailure {body.mid(1).toLongLong()}))
            : RequestResult(body);
        std::optional<BalanceResult> r;
        if (step == u"ds"_s)
            r = BalanceAssembly::deepseek(response);
        else if (step == u"key"_s)
            r = BalanceAssembly::openrouterKey(response);
        else if (step == u"ms"_s)
            r = BalanceAssembly::moonshot(response);
        else if (const auto balance = BalanceAssembly::openrouterCredits(response))
            r = *balance;
        QString s = !r ? u"key step"_s
            : !*r      ? r->error().m
                       : (*r)->currency + u' ' + QString::number((*r)->total, 'g', 17);
        for (const BalanceDetail &d : r &&*r ? (*r)->details : QList<BalanceDetail>())
            s += u"; %1 %2"_s.arg(d.name, QString::number(d.amount, 'g', 17));
        QCOMPARE(s,
                 expected == u"?"_s       ? u"Antwort nicht lesbar"_s
                     : expected == u"-"_s ? u"Antwort ohne Guthabenangabe"_s
                                          : expected);
    }
};

QTEST_GUILESS_MAIN(TestBalanceAssembly)
#include "TestBalanceAssembly.moc"
