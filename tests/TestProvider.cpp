#include "core/Provider.h"

#include <QSet>
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

    // Each provider's key lives under an account of its own, found again by its raw value.
    void accountsAndRawValuesAreDistinct()
    {
        QSet<QString> accounts;
        for (const Provider p : Provider::allCases()) {
            QCOMPARE(Provider::fromRawValue(p.rawValue()), std::optional(p));
            accounts.insert(p.keychainAccount());
#ifndef Q_OS_MACOS
            // Outside macOS the key goes to no macOS keychain, so no note may say so.
            QVERIFY(!p.keyNote().contains(u"macOS"_s));
#endif
        }
        QCOMPARE(accounts.size(), 3);
        QCOMPARE(Provider(Provider::deepseek).keychainAccount(), u"api-key"_s); // older keys
    }
};

QTEST_GUILESS_MAIN(TestProvider)
#include "TestProvider.moc"
