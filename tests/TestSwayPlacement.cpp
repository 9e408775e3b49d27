#include "tray/Popover.h"
#include "tray/SwayPlacement.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <cstring>
#include <utility>

using namespace creditgauge;

namespace {

QByteArray rect(const QRect &r)
{
    return QString::asprintf(R"("rect":{"x":%d,"y":%d,"width":%d,"height":%d})", r.x(), r.y(),
                             r.width(), r.height())
        .toUtf8();
}

// sway's end of the IPC socket on a 1920x1080 output, in the test's own thread: a client that
// waits for it synchronously never hears back. Answers go out in two pieces cut inside the
// first header; a silent sway never answers.
struct FakeSway : QLocalServer
{
    bool silent = false;
    QRect workspace, moved; // moved: where "move position cursor" puts the window
    QList<QByteArray> commands;
    QTemporaryDir dir;
    QByteArray buffer, held;
    int trees = 0;

    FakeSway()
    {
        listen(dir.filePath(QStringLiteral("sway.sock")));
        connect(this, &QLocalServer::newConnection, this, [this] {
            QLocalSocket *client = nextPendingConnection();
            connect(client, &QLocalSocket::readyRead, this, [this, client] { answer(client); });
        });
    }
    QByteArray reply(quint32 type, const QByteArray &payload)
    {
        const QByteArray output = rect({0, 0, 1920, 1080});
        if (type == 0)
            return commands.append(payload), R"([{"success":true}])";
        if (type == 1)
            return R"([{"visible":true,)" + rect(workspace) + "}]";
        if (type == 3)
            return "[{" + output + "}]";
        // Our window shows up in the second tree only, as a freshly mapped one would.
        const QByteArray window = R"({"id":7,"type":"floating_con","focused":true,"pid":)"
            + QByteArray::number(QCoreApplication::applicationPid()) + ','
            + rect(commands.isEmpty() ? QRect(820, 440, 280, 200) : moved) + '}';
        return "{" + output + R"(,"floating_nodes":[)" + (++trees > 1 ? window : "") + "]}";
    }
    void answer(QLocalSocket *client)
    {
        buffer += client->readAll();
        QByteArray out;
        quint32 header[2]; // payload length, message type
        while (!silent && buffer.size() >= 14) {
            std::memcpy(header, buffer.constData() + 6, sizeof header);
            if (buffer.size() < 14 + qsizetype(header[0]))
                break;
            const QByteArray body = reply(header[1], buffer.mid(14, header[0]));
            buffer.remove(0, 14 + header[0]);
            header[0] = body.size();
            out += "i3-ipc" + QByteArray(reinterpret_cast<const char *>(header), 8) + body;
        }
        if (!out.isEmpty() && held.isEmpty()) {
            client->write(out.left(9));
            client->flush();
            out.remove(0, 9);
            QTimer::singleShot(0, client,
                               [this, client] { client->write(std::exchange(held, {})); });
        }
        held += out;
    }
};

} // namespace

// Where the panel opens: Qt's own placement on a screen, and sway's, which a window cannot
// choose for itself.
class TestSwayPlacement : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void popoverStaysOnScreen_data()
    {
        QTest::addColumn<QRect>("anchor");
        QTest::addColumn<QPoint>("cursor");
        QTest::addColumn<QPoint>("expected");
        // A 1280x800 screen whose panel takes the top 24 pixels; the popover is 280x200.
        QTest::newRow("below the icon, centred")
            << QRect(600, 1, 22, 22) << QPoint() << QPoint(470, 24);
        QTest::newRow("right edge") << QRect(1250, 1, 22, 22) << QPoint() << QPoint(1000, 24);
        QTest::newRow("left edge") << QRect(2, 1, 22, 22) << QPoint() << QPoint(0, 24);
        QTest::newRow("tray at the bottom")
            << QRect(600, 777, 22, 22) << QPoint() << QPoint(470, 577);
        QTest::newRow("at the pointer") << QRect() << QPoint(100, 300) << QPoint(0, 301);
    }
    void popoverStaysOnScreen()
    {
        QFETCH(QRect, anchor);
        QFETCH(QPoint, cursor);
        const QRect available(0, 24, 1280, 776);
        const QPoint at = Popover::placement(anchor, QSize(280, 200), available, cursor);
        QTEST(at, "expected");
        QVERIFY(available.contains(QRect(at, QSize(280, 200))));
    }

    // The 280x200 panel centred on the pointer, which is on the 30 px bar, then kept on the
    // output by sway.
    void placesThePanelAgainstTheBar_data()
    {
        QTest::addColumn<QRect>("workspace");
        QTest::addColumn<QRect>("moved");
        QTest::addColumn<int>("y");
        QTest::newRow("top bar") << QRect(0, 30, 1920, 1050) << QRect(900, 0, 280, 200) << 31;
        QTest::newRow("bottom bar") << QRect(0, 0, 1920, 1050) << QRect(900, 880, 280, 200) << 849;
    }
    void placesThePanelAgainstTheBar()
    {
        QFETCH(QRect, workspace);
        QFETCH(QRect, moved);
        QFETCH(int, y);
        FakeSway sway;
        sway.workspace = workspace;
        sway.moved = moved;
        QWidget window;
        window.show();
        QSignalSpy ended(SwayPlacement::placeBelowPointer(&window, sway.fullServerName()),
                         &QObject::destroyed);
        QVERIFY(ended.wait(10000));
        const QByteArray move = "[con_id=7] move absolute position 900 " + QByteArray::number(y);
        QCOMPARE(sway.commands, QList<QByteArray>({"[con_id=7] move position cursor", move}));
    }

    // A sway that never answers costs the event loop nothing; a new showing supersedes the
    // attempt still waiting, and the newer one gives up on its own.
    void swayThatDoesNotAnswer()
    {
        FakeSway sway;
        sway.silent = true;
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
