#include "store/Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;

// Runs against a temporary XDG_CONFIG_HOME, set before Qt first looks at it.
class TestSettings : public QObject
{
    Q_OBJECT
public:
    TestSettings() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void init()
    {
        QDir(dir()).removeRecursively();
        QFile::remove(dir());
    }

    void freshInstallationReadsDeepseekAndWritesNothing()
    {
        QCOMPARE(Settings::provider(), Provider::deepseek);
        QVERIFY(!QFile::exists(dir()));
    }

    void choiceIsOnDiskAtOnce()
    {
        for (const Provider p : Provider::allCases()) {
            QVERIFY(Settings::setProvider(p));
            QVERIFY(file().contains("provider=" + p.rawValue().toUtf8()));
            QCOMPARE(Settings::provider(), p);
        }
    }

    void storedValues_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("openrouter") << QByteArray("openrouter") << int(Provider::openrouter);
        QTest::newRow("moonshot") << QByteArray("moonshot") << int(Provider::moonshot);
        for (const char *other :
             {"OpenRouter", "\" moonshot\"", "anthropic", "", "moonshot, openrouter"})
            QTest::newRow(other) << QByteArray(other) << int(Provider::deepseek);
        QTest::newRow("corrupt file")
            << QByteArray("\x80\x81\n\x00garbage[", 12) << int(Provider::deepseek);
    }
    void storedValues()
    {
        QFETCH(QByteArray, value);
        const QByteArray content = "[General]\nprovider=" + value + '\n';
        writeFile(content);
        QTEST(int(Settings::provider().value()), "expected");
        QCOMPARE(file(), content); // reading never writes
        QVERIFY(Settings::setProvider(Provider::moonshot)); // and the next write replaces it
        QCOMPARE(Settings::provider(), Provider::moonshot);
    }

    void unwritableLocationFailsWithoutCrashing()
    {
        // The settings folder's name taken by a file: nothing can be written there, even as root.
        QFile blocker(dir());
        QVERIFY(blocker.open(QIODevice::WriteOnly) && blocker.write("x") == 1);
        blocker.close();
        QCOMPARE(Settings::setProvider(Provider::openrouter), false);
        QCOMPARE(Settings::provider(), Provider::deepseek);
    }

private:
    QString dir() const { return m_config.path() + QStringLiteral("/creditgauge"); }
    QByteArray file() const
    {
        QFile f(dir() + QStringLiteral("/creditgauge.conf"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void writeFile(const QByteArray &content)
    {
        QDir().mkpath(dir());
        QFile f(dir() + QStringLiteral("/creditgauge.conf"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size() && f.flush());
        // Qt notices outside edits by time stamp and size; make each one distinct.
        static int edits = 0;
        f.setFileTime(QDateTime::currentDateTime().addSecs(++edits),
                      QFileDevice::FileModificationTime);
    }

    QTemporaryDir m_config;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "TestSettings.moc"
