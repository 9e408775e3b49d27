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
    TestSettings()
    {
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

private Q_SLOTS:
    void init();
    void freshInstallationReadsDeepseekAndWritesNothing();
    void roundTrip_data();
    void roundTrip();
    void storedValues_data();
    void storedValues();
    void corruptFileIsReplacedByTheNextWrite();
    void unwritableLocationFailsWithoutCrashing();

private:
    QString dir() const { return m_config.path() + QStringLiteral("/creditgauge"); }
    QString file() const { return dir() + QStringLiteral("/creditgauge.conf"); }
    void writeFile(const QByteArray &content);
    QByteArray readFile() const;

    QTemporaryDir m_config;
};

void TestSettings::init()
{
    QVERIFY(m_config.isValid());
    QFile::remove(file());
    QDir(dir()).removeRecursively();
    QFile::remove(dir());
}

void TestSettings::writeFile(const QByteArray &content)
{
    QDir().mkpath(dir());
    QFile f(file());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
    f.flush(); // a later flush would set the time stamp again
    // Qt caches settings files by time stamp and size; an edit from outside within the same
    // instant and of the same size would go unnoticed, as it would in real use.
    static int edits = 0;
    f.setFileTime(QDateTime::currentDateTime().addSecs(++edits), QFileDevice::FileModificationTime);
}

QByteArray TestSettings::readFile() const
{
    QFile f(file());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestSettings::freshInstallationReadsDeepseekAndWritesNothing()
{
    QCOMPARE(Settings::provider(), Provider::deepseek);
    QVERIFY(!QFile::exists(file()));
    QVERIFY(!QFile::exists(dir()));
}

void TestSettings::roundTrip_data()
{
    QTest::addColumn<int>("provider");
    for (const Provider p : Provider::allCases())
        QTest::newRow(qPrintable(p.rawValue())) << int(p.value());
}

void TestSettings::roundTrip()
{
    QFETCH(int, provider);
    const Provider p(static_cast<Provider::Case>(provider));
    QVERIFY(Settings::setProvider(p));
    // On disk at once, as the raw value: a kill right after the choice must not lose it.
    QVERIFY2(readFile().contains("provider=" + p.rawValue().toUtf8()), readFile().constData());
    QCOMPARE(Settings::provider(), p);
}

void TestSettings::storedValues_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("expected");
    QTest::newRow("openrouter") << QByteArray("[General]\nprovider=openrouter\n") << int(Provider::openrouter);
    QTest::newRow("moonshot") << QByteArray("[General]\nprovider=moonshot\n") << int(Provider::moonshot);
    QTest::newRow("deepseek") << QByteArray("[General]\nprovider=deepseek\n") << int(Provider::deepseek);
    QTest::newRow("different case") << QByteArray("[General]\nprovider=OpenRouter\n") << int(Provider::deepseek);
    QTest::newRow("surrounding blanks") << QByteArray("[General]\nprovider=\" moonshot\"\n") << int(Provider::deepseek);
    QTest::newRow("unknown") << QByteArray("[General]\nprovider=anthropic\n") << int(Provider::deepseek);
    QTest::newRow("empty") << QByteArray("[General]\nprovider=\n") << int(Provider::deepseek);
    QTest::newRow("a list") << QByteArray("[General]\nprovider=moonshot, openrouter\n") << int(Provider::deepseek);
    QTest::newRow("other keys only") << QByteArray("[General]\nsomething=1\n") << int(Provider::deepseek);
}

void TestSettings::storedValues()
{
    QFETCH(QByteArray, content);
    writeFile(content);
    QTEST(int(Settings::provider().value()), "expected");
    // Reading leaves what is stored alone, whatever it is.
    QCOMPARE(readFile(), content);
}

void TestSettings::corruptFileIsReplacedByTheNextWrite()
{
    writeFile(QByteArray("\x00\xff\xfe[General\nprovider=\x80\x81\n\x00garbage", 32));
    QCOMPARE(Settings::provider(), Provider::deepseek);
    QVERIFY(Settings::setProvider(Provider::moonshot));
    QCOMPARE(Settings::provider(), Provider::moonshot);
    QVERIFY(readFile().contains("provider=moonshot"));
}

void TestSettings::unwritableLocationFailsWithoutCrashing()
{
    // The settings folder's name taken by a file: nothing can be written there, whoever we are.
    QFile blocker(dir());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a folder");
    blocker.close();

    QCOMPARE(Settings::setProvider(Provider::openrouter), false);
    QCOMPARE(Settings::provider(), Provider::deepseek);
    QCOMPARE(blocker.size(), qint64(12));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "TestSettings.moc"
