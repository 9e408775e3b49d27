#include "session/Autostart.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

// The autostart entry under a temporary XDG_CONFIG_HOME, with a temporary system folder
// (XDG_CONFIG_DIRS) standing in for an administrator's entry.
class TestAutostart : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home.emplace();
        m_system.emplace();
        qputenv("XDG_CONFIG_HOME", m_home->path().toUtf8());
        qputenv("XDG_CONFIG_DIRS", m_system->path().toUtf8());
    }

    void turningOnWritesAValidEntryAndOffRemovesIt()
    {
        const QString path = m_home->filePath(u"autostart/creditgauge.desktop"_s);
        QCOMPARE(Autostart::entryPath(), path);
        QVERIFY(!Autostart::isEnabled());

        QVERIFY(Autostart::setEnabled(true)); // the folder does not exist yet
        QVERIFY(Autostart::isEnabled());
        const QByteArray entry = contents(path);
        QVERIFY(entry.startsWith("[Desktop Entry]\nType=Application\n"));
        QVERIFY(entry.contains("\nExec="));
        QVERIFY(entry.contains("\nX-KDE-autostart-after=panel\n"));
        const QString validator = QStandardPaths::findExecutable(u"desktop-file-validate"_s);
        if (!validator.isEmpty()) {
            QProcess validate;
            validate.start(validator, {path});
            QVERIFY(validate.waitForFinished());
            QVERIFY2(validate.exitCode() == 0, validate.readAllStandardOutput().constData());
        }

        QVERIFY(Autostart::setEnabled(true)); // again: still one entry, still on
        QVERIFY(Autostart::isEnabled());
        QVERIFY(Autostart::setEnabled(false));
        QVERIFY(!QFile::exists(path));
        QVERIFY(!Autostart::isEnabled());
        QVERIFY(Autostart::setEnabled(false)); // nothing left to remove is no failure
    }

    // The desktop's own settings switch an entry off rather than delete it.
    void entrySwitchedOffReadsAsOff_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("plain") << QByteArray("[Desktop Entry]\nExec=creditgauge\n") << true;
        QTest::newRow("Hidden") << QByteArray("[Desktop Entry]\nExec=creditgauge\nHidden=true\n")
                                << false;
        QTest::newRow("GNOME's switch")
            << QByteArray("[Desktop Entry]\nExec=creditgauge\nX-GNOME-Autostart-enabled=false\n")
            << false;
        QTest::newRow("GNOME's switch on")
            << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n") << true;
        QTest::newRow("Hidden=false") << QByteArray("[Desktop Entry]\nHidden=false\n") << true;
        QTest::newRow("Hidden in another group only")
            << QByteArray("[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n") << true;
    }
    void entrySwitchedOffReadsAsOff()
    {
        QFETCH(QByteArray, entry);
        write(m_home->filePath(u"autostart/creditgauge.desktop"_s), entry);
        QTEST(Autostart::isEnabled(), "enabled");
    }

    // An administrator's entry starts the program for everyone; a user switches it off for
    // themselves with an entry of their own, and back on by writing a starting one.
    void systemEntryIsOverriddenPerUser()
    {
        write(m_system->filePath(u"autostart/creditgauge.desktop"_s),
              "[Desktop Entry]\nType=Application\nName=CreditGauge\nExec=creditgauge\n");
        QVERIFY(Autostart::isEnabled());
        QVERIFY(Autostart::setEnabled(false));
        QVERIFY(!Autostart::isEnabled());
        QVERIFY(contents(Autostart::entryPath()).contains("\nHidden=true\n"));
        QVERIFY(QFile::exists(m_system->filePath(u"autostart/creditgauge.desktop"_s)));
        QVERIFY(Autostart::setEnabled(true));
        QVERIFY(Autostart::isEnabled());
        QVERIFY(!contents(Autostart::entryPath()).contains("Hidden"));
    }

    // Here a file stands where the folder belongs, which fails for root too.
    void unwritableFolderFails()
    {
        write(m_home->filePath(u"autostart"_s), "not a folder");
        QVERIFY(!Autostart::setEnabled(true));
        QVERIFY(!Autostart::isEnabled());
    }

private:
    static QByteArray contents(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static void write(const QString &path, const QByteArray &data)
    {
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    }

    std::optional<QTemporaryDir> m_home;
    std::optional<QTemporaryDir> m_system;
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "TestAutostart.moc"
