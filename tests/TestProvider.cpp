#include "core/Provider.h"

#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

class TestProvider : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fromRawValueIsExact_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<int>("expected"); // -1: nothing
        QTest::newRow("openrouter") << "openrouter" << int(Provider::openrouter);
        QTest::newRow("moonshot") << "moonshot" << int(Provider::moonshot);
        for (const char *wrong : {"", "DeepSeek", "Moonshot", "moonshot ", " deepseek", "open"})
            QTest::newRow(wrong) << QString::fromLatin1(wrong) << -1;
    }
    void fromRawValueIsExact()
    {
        QFETCH(QString, raw);
        QFETCH(int, expected);
        const std::optional<Provider> p = Provider::fromRawValue(raw);
        QCOMPARE(p ? int(p->value()) : -1, expected);
    }

    void texts()
    {
        QStringList rows;
        for (const Provider p : Provider::allCases()) {
            QCOMPARE(Provider::fromRawValue(p.rawValue()), std::optional(p));
            rows << QStringList {p.rawValue(), p.displayName(), p.keychainAccount(),
                                 p.keyPlaceholder(), p.titleText()}
                        .join(u'|');
        }
        QCOMPARE(rows,
                 (QStringList {
                     u"deepseek|DeepSeek|api-key|sk-\u2026|DeepSeek-Guthaben"_s,
                     u"openrouter|OpenRouter|api-key-openrouter|sk-or-\u2026|OpenRouter-Guthaben"_s,
                     u"moonshot|Moonshot|api-key-moonshot|sk-\u2026|Moonshot-Guthaben"_s}));
#ifndef Q_OS_MACOS
        // Outside macOS the key goes to no macOS keychain, so the note must not say so.
        QCOMPARE(Provider(Provider::deepseek).keyNote(),
                 u"Der Key wird nur im Schlüsselbund gespeichert."_s);
#endif
        QCOMPARE(
            Provider(Provider::openrouter).keyNote(),
            u"Für das Guthaben ist ein Management-Key nötig (openrouter.ai \u2192 Keys). Ein "
            u"normaler "
            u"Key zeigt nur das Schlüssel-Limit. Der Key wird nur im Schlüsselbund gespeichert."_s);
        QCOMPARE(Provider(Provider::moonshot).keyNote(),
                 u"Key aus platform.moonshot.ai (Region International). Der Key wird nur im "
                 u"Schlüsselbund gespeichert."_s);
    }
};

QTEST_GUILESS_MAIN(TestProvider)
#include "TestProvider.moc"
