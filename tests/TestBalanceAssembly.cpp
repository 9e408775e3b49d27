#include "providers/ProviderDescription.h"

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
        // provider|answers|result: "USD 8.5; Key-Limit 10; Verbraucht 1.5", the message, or
        // "next step" where the answers so far are not enough. Answers to successive requests
        // are parted by " >> "; "!STATUS" is a failed request. ? stands for "Antwort nicht
        // lesbar", - for "Antwort ohne Guthabenangabe".
        QTest::addColumn<QString>("row");
        for (const char *row :
             {"moonshot|!429|Zu viele Abfragen (429)", "openrouter|!403|next step",
              R"(deepseek|{"is_available": true, "balance_infos": [{"currency": "EUR", )"
              R"("total_balance": "110.00", "granted_balance": "10.00", )"
              R"("topped_up_balance": "100.00"}]}|EUR 110; Aufgeladen 100; Geschenkt 10)",
              R"(deepseek|{"balance_infos":[{"total_balance":1.5},)"
              R"({"currency":"CNY","total_balance":9}]}|USD 1.5)",
              "deepseek|{}|-", R"(deepseek|{"balance_infos": []}|-)",
              R"(deepseek|{"is_available": false, "balance_infos": [{"total_balance": 5}]}|)"
              "Guthaben nicht verfügbar",
              R"(deepseek|{"is_available": false}|-)", "deepseek|<html>|?", "deepseek|[]|?",
              R"(deepseek|{"is_available": "true"}|?)", R"(deepseek|{"balance_infos": [null]}|?)",
              R"(deepseek|{"balance_infos": [{"total_balance": 1}, {"currency": 5}]}|?)",
              // The currency reaches the title, the tooltip and the panel: only a code passes.
              R"(deepseek|{"balance_infos":[{"currency":"cny","total_balance":2}]}|cny 2)",
              R"(deepseek|{"balance_infos":[{"currency":"<b>X</b>","total_balance":2}]}|¤ 2)",
              R"(openrouter|{"data": {"total_credits": 25}}|USD 25; Aufgeladen 25; Verbraucht 0)",
              R"(openrouter|{"data": {"total_credits": 10, "total_usage": 12.5}}|)"
              "USD -2.5; Aufgeladen 10; Verbraucht 12.5",
              R"(openrouter|{"data": {}}|next step)",
              R"(openrouter|!403 >> {"data": {"usage": 2, "limit": 10, "limit_remaining": 8}, "x": [1, {}]}|)"
              "USD 8; Key-Limit 10; Verbraucht 2",
              R"(openrouter|!403 >> {"data": {"usage": 2, "limit_remaining": 8}}|)"
              "USD 8; Key-Limit 10; Verbraucht 2",
              R"(openrouter|!403 >> {"data": {"usage": 6.5, "limit": 5}}|USD -1.5; Key-Limit 5; Verbraucht 6.5)",
              R"(openrouter|!403 >> {"data": {"usage": 2, "limit": null}}|Guthaben braucht Management-Key)",
              R"(openrouter|!403 >> {"data": null}|?)",
              R"(moonshot|{"code": 0, "data": {"available_balance": 5.5, "voucher_balance": 1, )"
              R"("cash_balance": 4.5}}|USD 5.5; Bargeld 4.5; Gutschein 1)",
              R"(moonshot|{"data": {}}|-)", R"(moonshot|{"code": 0}|?)",
              // Moonshot's code is read, never consulted, but must be a whole number.
              R"(moonshot|{"code": 1, "data": {"available_balance": 5}}|USD 5)",
              R"(moonshot|{"code": "0", "data": {"available_balance": 5}}|?)",
              R"(moonshot|{"code": 1.5, "data": {"available_balance": 5}}|?)",
              // SiliconFlow: the total is both parts; a refusal may come with 200 and a code.
              R"(siliconflow|{"code": 20000, "message": "OK", "status": true, "data": {"balance": )"
              R"("0.88", "chargeBalance": "88.00", "totalBalance": "88.88"}}|)"
              "USD 88.88; Aufgeladen 88; Geschenkt 0.88",
              R"(siliconflow|{"code": 20012, "message": "Model does not exist", "data": null}|-)",
              R"(siliconflow|{"status": false, "data": {"totalBalance": "1"}}|-)",
              R"(siliconflow|{"code": "20000", "data": {"totalBalance": "1"}}|?)",
              "siliconflow|!401|API-Key ungültig (401)",
              // StepFun: the balance alone is what is left; cash and voucher are totals.
              R"(stepfun|{"object": "account", "type": "prepaid", "balance": 12.5, )"
              R"("total_cash_balance": 0, "total_voucher_balance": 26}|)"
              "CNY 12.5; Bargeld 0; Gutschein 26",
              R"(stepfun|{"error": {"message": "invalid"}}|-)", R"(stepfun|{"balance": "3,5"}|CNY 3.5)",
              // Novita: ten-thousandths of a dollar.
              R"(novita|{"availableBalance": "1000000", "cashBalance": "800000", "creditLimit": )"
              R"("200000", "pendingCharges": "0", "outstandingInvoices": "0"}|)"
              "USD 100; Bargeld 80; Kreditlimit 20",
              R"(novita|{"availableBalance": 12345, "outstandingInvoices": "5000"}|)"
              "USD 1.2345; Offene Rechnungen 0.5",
              R"(novita|{"cashBalance": "1"}|-)", "novita|!403|API-Key ungültig (403)",
              // A relay: its limit less what was used of it, in cents; no limit is no amount.
              R"(relay|{"object": "billing_subscription", "hard_limit_usd": 3} >> )"
              R"({"object": "list", "total_usage": 125}|USD 1.75; Limit 3; Verbraucht 1.25)",
              R"(relay|{"hard_limit_usd": 100000000}|Key ohne Limit: das Relay nennt kein )"
              "Guthaben",
              R"(relay|{"error": {"message": "invalid", "type": "one_api_error"}}|-)",
              R"(relay|{"hard_limit_usd": 3} >> {"error": {"message": "busy"}}|-)",
              "relay|!401|API-Key ungültig (401)"})
            QTest::newRow(row) << QString::fromUtf8(row);
        // Amounts read as in the C locale whatever the process's; a wrong type or an
        // implausible figure is no amount.
        for (const char *amount :
             {"12.5|12.5", R"("12,50"|12.5)", R"("-999999999999999"|-999999999999999)",
              R"("inf"|inf)", R"("nan"|nan)", R"(""|)", R"(" 12.5"|)", R"("1.234,56"|)",
              R"("12\u00005"|)", R"("1e999"|)", "1e15|", "true|"}) {
            const QString a = QString::fromUtf8(amount), shown = a.section(u'|', 1);
            QTest::newRow(amount) << u"moonshot|{\"data\": {\"available_balance\": %1}}|%2"_s.arg(
                a.section(u'|', 0, 0), shown.isEmpty() ? u"-"_s : u"USD "_s + shown);
        }
    }
    void assemble()
    {
        QFETCH(QString, row);
        const QString expected = row.section(u'|', -1);
        StepOutcome outcome = Provider::fromRawValue(row.section(u'|', 0, 0))
                                  ->description()
                                  .query({MoonshotRegion::international, u"https://r.example/v1"_s});
        for (const QString &answer : row.section(u'|', 1, -2).split(u" >> "_s)) {
            const QByteArray body = answer.toUtf8();
            outcome = std::get<QueryStep>(outcome).next(
                body.startsWith('!')
                    ? RequestResult(std::unexpected(HTTPFailure {body.mid(1).toLongLong()}))
                    : RequestResult(body));
        }
        const auto *r = std::get_if<BalanceResult>(&outcome);
        QString s = !r ? u"next step"_s
            : !*r      ? r->error().m
                       : (*r)->currency + u' ' + QString::number((*r)->total, 'g', QLocale::FloatingPointShortest);
        for (const BalanceDetail &d : r &&*r ? (*r)->details : QList<BalanceDetail>())
            s += u"; %1 %2"_s.arg(d.name, QString::number(d.amount, 'g', QLocale::FloatingPointShortest));
        QCOMPARE(s,
                 expected == u"?"_s       ? u"Antwort nicht lesbar"_s
                     : expected == u"-"_s ? u"Antwort ohne Guthabenangabe"_s
                                          : expected);
    }

    // A relay's address as entered: where its first request goes, or why nothing is sent.
    void relayAddress_data()
    {
        QTest::addColumn<QString>("row");
        for (const char *row :
             {"https://r.example/v1/|https://r.example/v1/dashboard/billing/subscription",
              "https://r.example|https://r.example/v1/dashboard/billing/subscription",
              " https://r.example/api/v1 |https://r.example/api/v1/dashboard/billing/subscription",
              "http://127.0.0.1:3000/v1|http://127.0.0.1:3000/v1/dashboard/billing/subscription",
              "http://[::1]:3000|http://[::1]:3000/v1/dashboard/billing/subscription",
              "http://r.example|!https", "http://127.0.0.1.r.example|!https",
              "https://me:pw@r.example|!ungültig", "https://r.example/v1?a=1|!ungültig",
              "ftp://r.example|!ungültig", "|!Keine"})
            QTest::newRow(row) << QString::fromUtf8(row);
    }
    void relayAddress()
    {
        QFETCH(QString, row);
        const QueryStep step = Provider(Provider::relay).description().query(
            {MoonshotRegion::international, row.section(u'|', 0, 0)});
        const QString expected = row.section(u'|', 1);
        QCOMPARE(step.address, expected.startsWith(u'!') ? QString() : expected);
        const StepOutcome said = step.next({});
        if (expected.startsWith(u'!'))
            QVERIFY(std::get<BalanceResult>(said).error().m.contains(expected.mid(1)));
    }
};

QTEST_GUILESS_MAIN(TestBalanceAssembly)
#include "TestBalanceAssembly.moc"
