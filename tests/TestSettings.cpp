#include "store/Settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;

// Runs against a temporary XDG_CONFIG_HOME, set before Qt first looks at it.
class TestSettings : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

    QString file() const
    {
        return m_config.filePath(QStringLiteral("creditgauge/creditgauge.conf"));
    }

public:
    TestSettings() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void choiceIsOnDiskAtOnce()
    {
        QCOMPARE(Settings::provider(), Provider::deepseek);
        QVERIFY(!QFile::exists(file())); // reading a fresh installation writes nothing
        for (const Provider p : Provider::allCases()) {
            QVERIFY(Settings::setProvider(p));
            QFile f(file());
            QVERIFY(f.open(QIODevice::ReadOnly)
                    && f.readAll().contains("provider=" + p.rawValue().toUtf8()));
            QCOMPARE(Settings::provider(), p);
        }
        // Only a provider's exact name counts; anything else reads as DeepSeek.
        QSettings(file(), QSettings::IniFormat)
            .setValue(QStringLiteral("provider"), QStringLiteral("OpenRouter"));
        QCOMPARE(Settings::provider(), Provider::deepseek);
    }

    // The folder's name taken by a file: nothing can be written there, even as root.
    void unwritableLocationFails()
    {
        QVERIFY(QFile::remove(file())
                && QDir().rmdir(m_config.filePath(QStringLiteral("creditgauge"))));
        QFile blocker(m_config.filePath(QStringLiteral("creditgauge")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        QVERIFY(!Settings::setProvider(Provider::openrouter));
        QCOMPARE(Settings::provider(), Provider::deepseek);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "TestSettings.moc"
