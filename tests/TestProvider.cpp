#include "core/Provider.h"

#include <QSet>
#include <QTest>

using namespace creditgauge;

class TestProvider : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fromRawValue_data();
    void fromRawValue();
    void texts_data();
    void texts();
    void keyNotes();
    void everyCaseRoundTripsAndIsDistinct();
};

void TestProvider::fromRawValue_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<int>("expected"); // -1: nothing

    QTest::newRow("deepseek") << "deepseek" << int(Provider::deepseek);
    QTest::newRow("openrouter") << "openrouter" << int(Provider::openrouter);
    QTest::newRow("moonshot") << "moonshot" << int(Provider::moonshot);
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("display name") << "DeepSeek" << -1;
    QTest::newRow("capitalised") << "Moonshot" << -1;
    QTest::newRow("trailing blank") << "moonshot " << -1;
    QTest::newRow("leading blank") << " deepseek" << -1;
    QTest::newRow("prefix") << "open" << -1;
}

void TestProvider::fromRawValue()
{
    QFETCH(QString, raw);
    QFETCH(int, expected);
    const std::optional<Provider> p = Provider::fromRawValue(raw);
    if (expected < 0) {
        QVERIFY(!p);
    } else {
        QVERIFY(p);
        QCOMPARE(int(p->value()), expected);
    }
}

void TestProvider::texts_data()
{
    QTest::addColumn<int>("provider");
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("placeholder");
    QTest::addColumn<QString>("title");

    QTest::newRow("deepseek") << int(Provider::deepseek) << "DeepSeek" << "api-key"
                              << "sk-\u2026" << "DeepSeek-Guthaben";
    QTest::newRow("openrouter") << int(Provider::openrouter) << "OpenRouter"
                                << "api-key-openrouter" << "sk-or-\u2026" << "OpenRouter-Guthaben";
    QTest::newRow("moonshot") << int(Provider::moonshot) << "Moonshot" << "api-key-moonshot"
                              << "sk-\u2026" << "Moonshot-Guthaben";
}

void TestProvider::texts()
{
    QFETCH(int, provider);
    const Provider p(static_cast<Provider::Case>(provider));
    QTEST(p.displayName(), "displayName");
    QTEST(p.keychainAccount(), "account");
    QTEST(p.keyPlaceholder(), "placeholder");
    QTEST(p.titleText(), "title");
}

void TestProvider::keyNotes()
{
    QCOMPARE(Provider(Provider::openrouter).keyNote(),
             QStringLiteral("Für das Guthaben ist ein Management-Key nötig (openrouter.ai \u2192 Keys). "
                            "Ein normaler Key zeigt nur das Schlüssel-Limit. "
                            "Der Key wird nur im Schlüsselbund gespeichert."));
    QCOMPARE(Provider(Provider::moonshot).keyNote(),
             QStringLiteral("Key aus platform.moonshot.ai (Region International). "
                            "Der Key wird nur im Schlüsselbund gespeichert."));
#ifndef Q_OS_MACOS
    // Outside macOS the key does not go to a macOS keychain, so the note must not say so.
    QCOMPARE(Provider(Provider::deepseek).keyNote(),
             QStringLiteral("Der Key wird nur im Schlüsselbund gespeichert."));
#endif
    for (const Provider p : Provider::allCases())
        QVERIFY2(!p.keyNote().contains(QLatin1Char('\n')), qPrintable(p.rawValue()));
}

void TestProvider::everyCaseRoundTripsAndIsDistinct()
{
    const auto all = Provider::allCases();
    QCOMPARE(all.size(), 3u);
    QCOMPARE(all[0], Provider::deepseek);
    QCOMPARE(all[1], Provider::openrouter);
    QCOMPARE(all[2], Provider::moonshot);
    QSet<Provider> seen;
    for (const Provider p : all) {
        QCOMPARE(Provider::fromRawValue(p.rawValue()), std::optional<Provider>(p));
        seen.insert(p);
    }
    QCOMPARE(seen.size(), 3);
}

QTEST_GUILESS_MAIN(TestProvider)
#include "TestProvider.moc"
