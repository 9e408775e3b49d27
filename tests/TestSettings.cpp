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

    void choiceIsOnDiskAtOnce()
    {
        QCOMPARE(Settings::provider(), Provider::deepseek);
        QVERIFY(!QFile::exists(dir())); // reading a fresh installation writes nothing
        for (const Provider p : Provider::allCases()) {
            QVERIFY(Settings::setProvider(p));
            QVERIFY(file().contains("provider=" + p.rawValue().toUtf8()));
            QCOMPARE(Settings::provider(), p);
        }
        // The folder's name taken by a file: nothing can be written there, even as root.
        init();
        QFile blocker(dir());
        QVERIFY(blocker.open(QIODevice::WriteOnly) && blocker.write("x") == 1);
        blocker.close();
        QVERIFY(!Settings::setProvider(Provider::openrouter));
        QCOMPARE(Settings::provider(), Provider::deepseek);
    }

    void storedValues_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("openrouter") << QByteArray("openrouter") << int(Provider::openrouter);
        for (const char *other : {"OpenRouter", "\" moonshot\""})
            QTest::newRow(other) << QByteArray(other) << int(Provider::deepseek);
        QTest::newRow("corrupt") << QByteArray("\x80\x81\n\x00garbage[", 12)
                                 << int(Provider::deepseek);
    }
    void storedValues()
    {
        QFETCH(QByteArray, value);
        const QByteArray content = "[General]\nprovider=" + value + '\n';
        QDir().mkpath(dir());
        QFile f(dir() + QStringLiteral("/creditgauge.conf"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size() && f.flush());
        // Qt notices outside edits by time stamp and size; make each one distinct.
        static int edits = 0;
        f.setFileTime(QDateTime::currentDateTime().addSecs(++edits),
                      QFileDevice::FileModificationTime);
        QTEST(int(Settings::provider().value()), "expected");
        QCOMPARE(file(), content); // reading never writes
        QVERIFY(Settings::setProvider(Provider::moonshot)); // and the next write replaces it
        QCOMPARE(Settings::provider(), Provider::moonshot);
    }

private:
    QString dir() const { return m_config.path() + QStringLiteral("/creditgauge"); }
    QByteArray file() const
    {
        QFile f(dir() + QStringLiteral("/creditgauge.conf"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir m_config;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "TestSettings.moc"
