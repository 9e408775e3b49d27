#include "tray/SwayPlacement.h"

#include <QLocalServer>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

using namespace creditgauge;

// Where the panel opens on sway, which a window cannot choose for itself: against the real sway
// in tests/e2e/tray.sh, and here against one that never answers.
class TestSwayPlacement : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A sway that never answers costs the event loop nothing; a new showing supersedes the
    // attempt still waiting, and the newer one gives up on its own.
    void swayThatDoesNotAnswer()
    {
        QTemporaryDir dir;
        QLocalServer sway;
        QVERIFY(sway.listen(dir.filePath(QStringLiteral("sway.sock"))));
        QWidget window;
        window.show();
        const QString path = sway.fullServerName();
        const QPointer<QObject> first = SwayPlacement::placeBelowPointer(&window, path);
        QVERIFY(QSignalSpy(&sway, &QLocalServer::newConnection).wait(10000));
        QVERIFY(first);
        QSignalSpy ended(SwayPlacement::placeBelowPointer(&window, path), &QObject::destroyed);
        QVERIFY(!first);
        QVERIFY(ended.wait(10000));
    }
};

QTEST_MAIN(TestSwayPlacement)
#include "TestSwayPlacement.moc"
