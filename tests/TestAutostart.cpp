#include "session/Autostart.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

// The autostart entry under a temporary XDG_CONFIG_HOME, with a temporary XDG_CONFIG_DIRS for
// an administrator's entry. The menu's switch and an unwritable folder are TestAppDelegate's.
class TestAutostart : public QObject
{
    Q_OBJECT
    std::optional<QTemporaryDir> m_home, m_system;

    static QByteArray contents(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void init()
    {
        m_home.emplace();
        m_system.emplace();
        qputenv("XDG_CONFIG_HOME", m_home->path().toUtf8());
        qputenv("XDG_CONFIG_DIRS", m_system->path().toUtf8());
    }

    // Run from a folder whose name holds a space (the test runs itself again from one), the
    // entry quotes the program's path.
    void entryQuotesThePathAndStartsAfterThePanel()
    {
        QVERIFY(Autostart::setEnabled(false)); // nothing to remove is no failure
        QVERIFY(Autostart::setEnabled(true) && Autostart::setEnabled(true));
        const QByteArray entry = contents(m_home->filePath(u"autostart/creditgauge.desktop"_s));
        QVERIFY(entry.startsWith("[Desktop Entry]\nType=Application\n"));
        QVERIFY(entry.contains("\nExec=") && entry.contains("\nX-KDE-autostart-after=panel\n"));
        const QString self = QCoreApplication::applicationFilePath();
        if (self.contains(u' ')) {
            QVERIFY2(entry.contains("\nExec=\"" + self.toUtf8() + "\"\n"), entry.constData());
            return;
        }
        const QString copy = m_system->filePath(u"a b/TestAutostart"_s);
        QVERIFY(QDir().mkpath(QFileInfo(copy).path()) && QFile::copy(self, copy));
        QVERIFY(QProcess::execute(copy, {u"entryQuotesThePathAndStartsAfterThePanel"_s}) == 0);
    }

    // An administrator's entry starts the program for everyone; a user switches it off for
    // themselves with an entry of their own, and back on by writing a starting one.
    void systemEntryIsOverriddenPerUser()
    {
        const QString system = m_system->filePath(u"autostart/creditgauge.desktop"_s);
        QFile file(system);
        QVERIFY(QDir().mkpath(QFileInfo(system).path()) && file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("[Desktop Entry]\nType=Application\nName=CG\nExec=creditgauge\n") > 0);
        file.close();
        QVERIFY(Autostart::isEnabled());
        QVERIFY(Autostart::setEnabled(false) && !Autostart::isEnabled());
        QVERIFY(contents(Autostart::entryPath()).contains("\nHidden=true\n"));
        QVERIFY(QFile::exists(system));
        QVERIFY(Autostart::setEnabled(true) && Autostart::isEnabled());
        QVERIFY(!contents(Autostart::entryPath()).contains("Hidden"));
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "TestAutostart.moc"
